// The modem peers of the multi-process tests: the fake modem daemon, an echoing modem server and a
// session server that listens through the modem endpoint.
//
//   fake_modem_peer daemon LINE...    serves until its standard input ends
//   fake_modem_peer echo NAME         answers one call and echoes every message
//   fake_modem_peer session APP NAME  a session server for APP over JEX_TRANSPORT_TYPE=M,
//                                     answering modem calls for NAME
//
// Each writes what it did on standard output, one line a step, and ends by
// itself within two minutes whatever happens.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jexlink/JexLinkSetUp.h"
#include "jexlink/modem/JexModemAPI.h"
#include "jexlink/session/JexSession.h"
#include "testing/support/FakeModemDaemon.h"

namespace {

void Say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

int Daemon(int argc, char** argv) {
    std::vector<tavro::testing::FakeModemDaemon::Line> lines;
    for (int i = 2; i < argc; ++i) lines.push_back({argv[i], "pots", "", 9600});
    if (lines.empty()) lines.push_back({"line1", "pots", "", 9600});
    tavro::testing::FakeModemDaemon daemon(lines);
    if (!daemon.Start()) return 1;
    Say("ready " + daemon.BoxName());
    char c;
    while (::read(0, &c, 1) > 0) {
    }
    daemon.Stop();
    Say("stopped");
    return 0;
}

int Echo(const char* name) {
    JexModemAPI api;
    const int listened = api.Listen(name);
    Say("connected " + std::to_string(listened));
    if (listened != 0) return 1;
    JexBuffer message;
    int code = 0;
    for (;;) {
        code = api.GetMsg(message, 1, 60);
        if (code != 0) break;
        if (api.PutMsg(message, 0) != 0) break;
    }
    Say("ended " + std::to_string(code));
    Say("disconnect " + std::to_string(api.Disconnect()));
    return 0;
}

JexBuffer Bytes(const std::string& s) {
    JexBuffer b;
    b.SetLength(static_cast<int>(s.size()));
    if (!s.empty()) std::memcpy(b.Data(), s.data(), s.size());
    return b;
}

int Session(const char* application, const char* modemName) {
    ::setenv("JEX_TRANSPORT_TYPE", "M", 1);
    ::setenv("JEX_MODEM_APPLICATION_NAME", modemName, 1);
    JexSession s;
    s.SetSuppress(1);
    s.SetAttr(JexSession::DST_NODE, "snode");
    s.SetAttr(JexSession::READ_TIMEOUT, 30);
    JexBuffer data;
    const int listened = s.Listen(application, "srv", data);
    Say("listened " + std::to_string(listened) + " " +
        std::string(data.Data() ? data.Data() : "", static_cast<size_t>(data.Length())));
    if (listened != 0) {
        Say(s.Describe(1).Text());
        return 1;
    }
    Say("accepted " + std::to_string(s.Accept(Bytes("welcome"))));
    JexBuffer in;
    int code = 0;
    for (;;) {
        code = s.GetMsg(in, 0);
        if (code != 0) break;
        const std::string text(in.Data() ? in.Data() : "", static_cast<size_t>(in.Length()));
        if (s.PutMsg(Bytes("echo:" + text), 0) != 0) break;
    }
    Say("ended " + std::to_string(code));
    Say("disconnect " + std::to_string(s.Disconnect()));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    ::alarm(120);
    if (argc >= 2 && std::strcmp(argv[1], "daemon") == 0) return Daemon(argc, argv);
    if (argc == 3 && std::strcmp(argv[1], "echo") == 0) return Echo(argv[2]);
    if (argc == 4 && std::strcmp(argv[1], "session") == 0) return Session(argv[2], argv[3]);
    std::fprintf(stderr, "usage: %s daemon LINE... | echo NAME | session APP NAME\n", argv[0]);
    return 2;
}
