// Gateway stream framing: length-prefixed frames around encoded gateway records.
#pragma once

#include <cstdint>

#include "jexlink/core/JexBuffer.h"

class JexTransport;

// A frame is a head and a body (an encoded net message). The head is the
// body length n as two little-endian bytes when 1 <= n <= 0xFFFF; otherwise
// two zero bytes and n as four little-endian bytes. One reserved byte (0 when
// written, ignored when read) ends the head.
//
// Results are gateway codes: 0, 12 (too big) or 23 (transport error). The
// functions set no error themselves: the transport raises its own failures,
// which reach the gateway through its transport handler.

// The largest body accepted: one item of the net message's item limit and
// room for the record's other items. A longer announced length is refused
// before anything is allocated.
constexpr int64_t kJexMaxFrameLength = (int64_t{1} << 24) + 65536;

// The body of a frame is read in pieces of at most this many bytes, its
// storage growing by a piece once the first byte of that piece has arrived.
constexpr int kJexFramePiece = 64 * 1024;

constexpr int kJexFrameOk = 0;
constexpr int kJexFrameTooBig = 12;
constexpr int kJexFrameTransportError = 23;

// Writes the body in one frame with a single write. A body longer than the
// maximum is not sent (a peer would refuse it): 12.
int jex_write_frame(JexTransport& transport, const JexBuffer& body);

// Reads one frame into body. 23 when a read fails or the stream ends early;
// 12 when the announced length is above the maximum or cannot be allocated,
// with the length stored in body as a 4-byte little-endian value (the
// argument of the too-big message); the body bytes then stay unread.
int jex_read_frame(JexTransport& transport, JexBuffer& body);

// The reader over any byte source: read(context, p, n) fills exactly n bytes
// and returns 0, or returns non-zero.
using JexFrameSource = int (*)(void* context, char* p, int n);
int jex_read_frame_from(JexFrameSource read, void* context, JexBuffer& body);
