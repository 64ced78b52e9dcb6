// printf-style formatting whose arguments are byte buffers.
#pragma once

#include "jexlink/core/JexBuffer.h"

// Number of argument buffers a template can see: 0 (never formatted) to 9.
constexpr int kJexVBPrintFArgs = 10;

// Formats the template into out with args[1] to args[9] (args points to
// kJexVBPrintFArgs buffers; null counts as all empty). Texts are rendered by
// "%s"; numbers are 4-byte little-endian values ("h" reads 2 bytes).
// Conversions are sequential ("%d") or positional ("%2$d"), never both; only
// the first nine are formatted. Returns the output length, or -1 for a
// malformed template, the output then reading "Botched JexVBPrintF format: "
// and the template. Templates may come from peers: every conversion is
// rebuilt from checked parts before the C library sees it, widths and
// precisions are capped at 1024, and no piece is limited by a fixed area.
int JexVBPrintF(JexBuffer& out, const char* format, const JexBuffer* args);
