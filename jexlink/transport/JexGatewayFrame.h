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
// storage growing by a piece once the first byte of that piece has arrived
// (storage the body already has is filled in one stretch).
constexpr int kJexFramePiece = 64 * 1024;

constexpr int kJexFrameOk = 0;
constexpr int kJexFrameTooBig = 12;
constexpr int kJexFrameTransportError = 23;

// The head of a frame of an n-byte body into head (room for 7 bytes); its size.
int JexFrameHead(char* head, int n);

// Writes the body in one frame with a single write. A body longer than the
// maximum is not sent (a peer would refuse it): 12.
int jex_write_frame(JexTransport& transport, const JexBuffer& body);
// Writes one frame whose body is the n bytes of lead followed by the body's
// bytes, without copying the body (the head and lead go in a small array).
int jex_write_frame(JexTransport& transport, const char* lead, int n, const JexBuffer& body);
// Likewise with a body made of the bytes of count pieces one after the other
// (at most kJexFramePieces), none of them copied; with `more`, the frame may
// wait to go out with the next one written without it.
constexpr int kJexFramePieces = 8;
int jex_write_frame(JexTransport& transport, const char* lead, int n,
                    const JexBuffer* const* pieces, int count, bool more = false);

// Reads one frame into body. 23 when a read fails or the stream ends early;
// 12 when the announced length is above the maximum or cannot be allocated,
// with the length stored in body as a 4-byte little-endian value (the
// argument of the too-big message); the body bytes then stay unread.
int jex_read_frame(JexTransport& transport, JexBuffer& body);

// The reader over any byte source: read(context, p, n) fills exactly n bytes
// and returns 0, or returns non-zero.
using JexFrameSource = int (*)(void* context, char* p, int n);
int JexReadFrameFrom(JexFrameSource read, void* context, JexBuffer& body);

// The two halves of JexReadFrameFrom. The head: its announced body
// length into length; 12 (with the length stored in body as for the whole
// read) when it is above the maximum.
int JexReadFrameHead(JexFrameSource read, void* context, JexBuffer& body, int& length);
// The next length bytes of the stream into body, which grows as they
// arrive, one piece at a time (storage the body already has is used first).
// 12 when storage cannot be had (announced stored as for the whole read).
int JexReadFrameBody(JexFrameSource read, void* context, int length, JexBuffer& body,
                     int announced);

// Reads one connection's frames through a small buffer of its own, so that
// a short record's head and body come in one read; bytes read past a frame
// stay for the next one. A long body is read straight into its storage.
// One thread at a time reads through a reader.
class JexFrameReader {
public:
    // The buffer's size, allocated on the first read.
    static constexpr int kBufferSize = 16 * 1024;

    // Exactly n bytes into p: 0, or 23 when a read fails or the stream ends.
    int Read(JexTransport& transport, char* p, int n);
    // A frame source over a reader and its transport.
    struct Source {
        JexFrameReader* reader;
        JexTransport* transport;
        static int Read(void* context, char* p, int n);
    };
    // The next byte, left for the next read: 0, or 23 as for Read.
    int Peek(JexTransport& transport, char& c);
    // Bytes read and not yet taken.
    int Buffered() const { return end_ - start_; }
    // Takes up to max of the buffered bytes without copying them: p points
    // at them until the next read. Returns their count.
    int Take(int max, const char*& p);
    // Forgets the buffered bytes and the storage (a new connection).
    void Reset();

private:
    // Reads at least min bytes (below kBufferSize) into the empty buffer.
    int Fill(JexTransport& transport, int min);

    JexBuffer buffer_;
    int start_ = 0;
    int end_ = 0;
};
