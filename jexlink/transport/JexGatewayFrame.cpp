// Gateway stream framing: length-prefixed frames around encoded gateway records.
#include "jexlink/transport/JexGatewayFrame.h"

#include <algorithm>
#include <cstring>

#include "jexlink/transport/JexTransport.h"

int JexFrameHead(char* head, int n) {
    if (n > 0 && n < 0x10000) {
        head[0] = static_cast<char>(n & 0xFF);
        head[1] = static_cast<char>((n >> 8) & 0xFF);
        head[2] = '\0';  // reserved
        return 3;
    }
    head[0] = '\0';
    head[1] = '\0';
    for (int i = 0; i < 4; ++i)
        head[2 + i] = static_cast<char>((static_cast<uint32_t>(n) >> (8 * i)) & 0xFF);
    head[6] = '\0';  // reserved
    return 7;
}

int jex_write_frame(JexTransport& transport, const char* lead, int n, const JexBuffer& body) {
    const JexBuffer* pieces[1] = {&body};
    return jex_write_frame(transport, lead, n, pieces, 1);
}

int jex_write_frame(JexTransport& transport, const char* lead, int n,
                    const JexBuffer* const* pieces, int count, bool more) {
    if (n < 0 || n > 8 || count < 0 || count > kJexFramePieces) return kJexFrameTooBig;
    int64_t length = n;
    for (int i = 0; i < count; ++i) length += pieces[i]->Length();
    if (length > kJexMaxFrameLength) return kJexFrameTooBig;
    char head[16];
    int used = JexFrameHead(head, static_cast<int>(length));
    for (int i = 0; i < n; ++i) head[used++] = lead[i];
    iovec parts[1 + kJexFramePieces];
    parts[0] = {head, static_cast<size_t>(used)};
    int partsN = 1;
    for (int i = 0; i < count; ++i)
        if (pieces[i]->Length() > 0)
            parts[partsN++] = {pieces[i]->Data(), static_cast<size_t>(pieces[i]->Length())};
    const int rc = partsN > 1 || more ? transport.PutDataParts(parts, partsN, more)
                                      : transport.PutData(head, used, 0);
    return rc == 0 ? kJexFrameOk : kJexFrameTransportError;
}

int jex_write_frame(JexTransport& transport, const JexBuffer& body) {
    return jex_write_frame(transport, nullptr, 0, body);
}

int JexReadFrameHead(JexFrameSource read, void* context, JexBuffer& body, int& length) {
    // Every head has at least three bytes: the short form whole in one read;
    // the long form (two zero bytes first) takes four more.
    unsigned char head[7] = {};
    if (read(context, reinterpret_cast<char*>(head), 3) != 0) return kJexFrameTransportError;
    uint32_t n = static_cast<uint32_t>(head[0]) | static_cast<uint32_t>(head[1]) << 8;
    if (n == 0) {
        if (read(context, reinterpret_cast<char*>(head) + 3, 4) != 0)
            return kJexFrameTransportError;
        n = static_cast<uint32_t>(head[2]) | static_cast<uint32_t>(head[3]) << 8 |
            static_cast<uint32_t>(head[4]) << 16 | static_cast<uint32_t>(head[5]) << 24;
    }
    if (n > kJexMaxFrameLength) {
        body.SetLength(0);
        body.SetLong(static_cast<int32_t>(n));
        return kJexFrameTooBig;
    }
    length = static_cast<int>(n);
    return kJexFrameOk;
}

int JexReadFrameBody(JexFrameSource read, void* context, int length, JexBuffer& body,
                     int announced) {
    // The body grows as its bytes arrive, and a piece is allocated only once
    // its first byte is there: a peer that announces a large frame and stops
    // costs at most twice what it sent and one piece. Each step grows the
    // body by as much as it holds (a piece at least), so that a large frame
    // is moved a few times in all, not once per piece. The new storage is
    // not zero-filled: the read overwrites it.
    body.SetLength(0);
    for (int got = 0; got < length;) {
        // Storage the body has already is filled in one stretch; past it the
        // body grows by at most what it has received, or a piece.
        const int room = body.AllocatedLength() - 1 - got;
        const int size = std::min(length - got, std::max({kJexFramePiece, room, got}));
        char first = 0;
        if (read(context, &first, 1) != 0) return kJexFrameTransportError;
        if (!body.SetLengthForOverwrite(got + size) || body.Data() == nullptr ||
            body.Length() != got + size) {
            body.Free();
            body.SetLong(static_cast<int32_t>(announced));
            return kJexFrameTooBig;
        }
        body.Data()[got] = first;
        if (size > 1 && read(context, body.Data() + got + 1, size - 1) != 0)
            return kJexFrameTransportError;
        got += size;
    }
    return kJexFrameOk;
}

int JexReadFrameFrom(JexFrameSource read, void* context, JexBuffer& body) {
    int length = 0;
    const int rc = JexReadFrameHead(read, context, body, length);
    if (rc != kJexFrameOk) return rc;
    return JexReadFrameBody(read, context, length, body, length);
}

int JexFrameReader::Read(JexTransport& transport, char* p, int n) {
    const int buffered = std::min(n, end_ - start_);
    if (buffered > 0) {
        std::memcpy(p, buffer_.Data() + start_, static_cast<size_t>(buffered));
        start_ += buffered;
    }
    if (start_ == end_) start_ = end_ = 0;
    int left = n - buffered;
    if (left == 0) return kJexFrameOk;
    p += buffered;
    if (left >= kBufferSize / 2) {
        int got = 0;
        // A long stretch goes straight to its place.
        return transport.GetData(p, left, got, 0) == 0 && got == left ? kJexFrameOk
                                                                      : kJexFrameTransportError;
    }
    if (Fill(transport, left) != kJexFrameOk) return kJexFrameTransportError;
    std::memcpy(p, buffer_.Data(), static_cast<size_t>(left));
    start_ = left;
    if (start_ == end_) start_ = end_ = 0;
    return kJexFrameOk;
}

int JexFrameReader::Take(int max, const char*& p) {
    const int n = std::clamp(end_ - start_, 0, std::max(max, 0));
    p = buffer_.Data() ? buffer_.Data() + start_ : nullptr;
    // The bytes stay where they are until the next read fills the buffer.
    start_ += n;
    return n;
}

int JexFrameReader::Fill(JexTransport& transport, int min) {
    if (buffer_.Length() < kBufferSize && !buffer_.SetLengthForOverwrite(kBufferSize))
        return kJexFrameTransportError;
    // One read takes what is there, up to the buffer's size: the rest of a
    // short frame and the head of the next one come with it.
    int got = 0;
    if (transport.GetSome(buffer_.Data(), min, kBufferSize, got) != 0 || got < min)
        return kJexFrameTransportError;
    start_ = 0;
    end_ = got;
    return kJexFrameOk;
}

int JexFrameReader::Peek(JexTransport& transport, char& c) {
    if (start_ == end_ && Fill(transport, 1) != kJexFrameOk) return kJexFrameTransportError;
    c = buffer_.Data()[start_];
    return kJexFrameOk;
}

int JexFrameReader::Source::Read(void* context, char* p, int n) {
    auto* source = static_cast<Source*>(context);
    return source->reader->Read(*source->transport, p, n);
}

void JexFrameReader::Reset() {
    buffer_.Free();
    start_ = end_ = 0;
}

namespace {

int ReadFromTransport(void* context, char* p, int n) {
    int got = 0;
    auto* transport = static_cast<JexTransport*>(context);
    return transport->GetData(p, n, got, 0) == 0 && got == n ? 0 : 1;
}

}  // namespace

int jex_read_frame(JexTransport& transport, JexBuffer& body) {
    return JexReadFrameFrom(&ReadFromTransport, &transport, body);
}
