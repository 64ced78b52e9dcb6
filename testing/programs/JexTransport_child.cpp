// Helper program of the stream tests: a server started with an inherited connection.
//
// It adopts the connection through JexTransport::Listen, prints its address
// texts, then answers every block it reads with the same bytes
// XOR 0x5A until the peer closes. Exit status 0 after a clean end, else the
// failing code.
#include <cstdio>

#include "jexlink/JexLinkSetUp.h"
#include "jexlink/transport/JexTransport.h"

int main() {
    JexLinkSetUp();
    JexTransport t;
    t.SetSuppress(1);  // errors are returned and printed here, never fatal
    if (const int rc = t.Listen()) {
        std::printf("listen failed: %s\n", t.Describe(1).Text());
        return rc;
    }
    JexString called;
    JexString calling;
    t.GetAttr(JexTransport::kCalled, called);
    t.GetAttr(JexTransport::kCalling, calling);
    std::printf("called=%s calling=%s\n", called.Text(), calling.Text());
    std::fflush(stdout);
    for (;;) {
        JexBuffer block;
        const int rc = t.GetData(block, 0);
        if (rc == JexTransport::END) return 0;
        if (rc != 0) {
            std::printf("read failed: %s\n", t.Describe(1).Text());
            return rc;
        }
        for (int i = 0; i < block.Length(); ++i) block.Data()[i] ^= 0x5A;
        if (const int put = t.PutData(block.Data(), block.Length(), 0)) {
            std::printf("write failed: %s\n", t.Describe(1).Text());
            return put;
        }
    }
}
