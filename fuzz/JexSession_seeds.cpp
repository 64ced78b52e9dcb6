// Records good session conversations in memory and writes what each end said as seeds of
// JexSession_fuzz for the other end.
//
//   JexSession_seeds DIR   writes DIR/<case>-<end>-handshake for each recorded case
#include <cstdio>
#include <fstream>
#include <string>

#include "fuzz/SessionFuzzScript.h"
#include "jexlink/JexLinkSetUp.h"

int main(int argc, char** argv) {
    JexLinkSetUp();
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    fuzz_support::UseSessionKeys();
    int failed = 0;
    for (const fuzz_support::RecordedCase& c : fuzz_support::kRecordedCases) {
        const fuzz_support::Conversation talk =
            fuzz_support::Converse(fuzz_support::SessionCase::Of(c.byte));
        if (!talk.clientDone || !talk.serverDone) {
            std::fprintf(stderr, "%s: the conversation did not run to its end\n", c.name);
            ++failed;
            continue;
        }
        const std::string base = std::string(argv[1]) + "/" + c.name;
        std::ofstream(base + "-server-handshake", std::ios::binary)
            << fuzz_support::InputOf(c.byte, talk.clientSaid);
        std::ofstream(base + "-client-handshake", std::ios::binary)
            << fuzz_support::InputOf(static_cast<uint8_t>(c.byte | 1), talk.serverSaid);
    }
    return failed ? 1 : 0;
}
