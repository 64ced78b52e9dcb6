// Gateway stream framing: length-prefixed frames around encoded gateway records.
#include "jexlink/transport/JexGatewayFrame.h"

#include <algorithm>

#include "jexlink/transport/JexTransport.h"

int jex_write_frame(JexTransport& transport, const JexBuffer& body) {
    const int n = body.Length();
    if (n > kJexMaxFrameLength) return kJexFrameTooBig;
    JexBuffer work;
    work.SetLength(n + 13);  // one allocation for head and body
    work.SetLength(0);
    if (n > 0 && n < 0x10000) {
        work += static_cast<char>(n & 0xFF);
        work += static_cast<char>((n >> 8) & 0xFF);
    } else {
        work += '\0';
        work += '\0';
        for (int shift = 0; shift < 32; shift += 8)
            work += static_cast<char>((static_cast<uint32_t>(n) >> shift) & 0xFF);
    }
    work += '\0';  // reserved
    work += body;
    if (work.Data() == nullptr) return kJexFrameTransportError;
    return transport.PutData(work.Data(), work.Length(), 0) == 0 ? kJexFrameOk
                                                                 : kJexFrameTransportError;
}

int jex_read_frame_from(JexFrameSource read, void* context, JexBuffer& body) {
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
    // The body grows as its bytes arrive, one piece at a time, and a piece
    // is allocated only once its first byte is there: a peer that announces
    // a large frame and stops costs what it sent and at most one piece.
    const int length = static_cast<int>(n);
    body.SetLength(0);
    for (int got = 0; got < length;) {
        const int size = std::min(length - got, kJexFramePiece);
        char first = 0;
        if (read(context, &first, 1) != 0) return kJexFrameTransportError;
        body.SetLength(got + size);
        if (body.Data() == nullptr || body.Length() != got + size) {
            body.Free();
            body.SetLong(static_cast<int32_t>(n));
            return kJexFrameTooBig;
        }
        body.Data()[got] = first;
        if (size > 1 && read(context, body.Data() + got + 1, size - 1) != 0)
            return kJexFrameTransportError;
        got += size;
    }
    return kJexFrameOk;
}

namespace {

int ReadFromTransport(void* context, char* p, int n) {
    int got = 0;
    auto* transport = static_cast<JexTransport*>(context);
    return transport->GetData(p, n, got, 0) == 0 && got == n ? 0 : 1;
}

}  // namespace

int jex_read_frame(JexTransport& transport, JexBuffer& body) {
    return jex_read_frame_from(&ReadFromTransport, &transport, body);
}
