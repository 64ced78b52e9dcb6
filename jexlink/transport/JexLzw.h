// Dynamic LZW compression of a connection: the compressor and the expander.
#pragma once

#include "jexlink/core/JexBuffer.h"
#include "jexlink/transport/JexCompressionBase.h"
#include "jexlink/transport/LzwCodec.h"

// Compresses the messages of one connection and direction as one LZW
// stream: each message becomes its own run of codes, while the dictionary
// carries over from message to message. Every message must go through the
// same compressor, in order, and be expanded by one JexLzw on the other side.
class JexLzwCompressor : public JexCompressor {
public:
    // out becomes the codes of in (empty for an empty message): 0, or
    // NOMEMORY (raised) when out cannot hold them.
    int Compress(const JexBuffer& in, JexBuffer& out) override;

private:
    LzwEncoder encoder_;
};

// Expands what one JexLzwCompressor produced, message by message, in order.
// Input that no compressor can have produced is CORRUPT; after that the
// stream cannot continue.
class JexLzw : public JexExpander {
public:
    // The decode work of Expand: out becomes the expanded message: 0, or
    // CORRUPT (raised with "JexLzw::Decompress") with out holding what was
    // expanded before the fault.
    int Decompress(const JexBuffer& in, JexBuffer& out);
    int Expand(const JexBuffer& in, JexBuffer& out) override { return Decompress(in, out); }

private:
    LzwDecoder decoder_;
};
