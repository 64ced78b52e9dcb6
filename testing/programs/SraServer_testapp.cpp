// A host of the "Jex_Sra" server for tests: serves loopback connections one after the other.
//
// Usage: sraserver_testapp INSTALL OUT LIMIT [fail]
// Writes its own settings into the registry of its platform state (the
// installation directory INSTALL, local domain "srv" and node "snode",
// SRA.MaxSubmitBytes LIMIT), works in INSTALL/work, prints "port N" on
// standard output and then serves each connection whose caller has spoken
// (callers wait side by side for their turn; one that says nothing for
// SRASERVER_FIRST_RECORD_SECONDS, default 5, is closed without holding up
// the others, and so is one that says nothing after its gateway CONNECT)
// with a server
// that serves on this platform (the library's own answers that it does not
// run here): the connection is adopted as the inherited connection of a new
// session, Server runs once, and "served STATUS" is printed. Its back-end
// copies each work file to OUT/request-N (N from 1), keeping those of the
// last 4 requests only (so that a long run leaves a bounded directory),
// and answers with the number "SR-N" (printed as "issued SR-N"), or with
// the failure NOPRODUCTS when "fail" is given.
// It listens on an ephemeral loopback port, or on SRASERVER_PORT when that
// is set. Exit status 2 on bad usage or a socket failure ("listen on port
// N: why" on standard error), 3 when nothing happened for 60 seconds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "jexlink/JexLinkSetUp.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexSraServer.h"
#include "testing/support/FirstBytesAcceptor.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/Sockets.h"

namespace {

class ServingServer : public JexSraServer {
protected:
    bool ServesOnThisPlatform() const override { return true; }
};

class CopyingBackEnd : public JexSraBackEnd {
public:
    // The requests whose work files OUT keeps.
    static constexpr int kKeptRequests = 4;

    CopyingBackEnd(std::filesystem::path out, bool fail) : out_(std::move(out)), fail_(fail) {}

    int Submit(const char* file, JexString& number, JexException& error) override {
        const int n = Take(file);
        number = ("SR-" + std::to_string(n)).c_str();
        if (!fail_) std::printf("issued SR-%d\n", n);
        return Answer(error);
    }
    int Augment(const char* file, JexException& error) override {
        Take(file);
        return Answer(error);
    }
    int FetchList(const char* file, JexFieldedString& lines, JexException& error) override {
        Take(file);
        lines[0] = "no list here";
        return Answer(error);
    }

private:
    int Take(const char* file) {
        const int n = ++count_;
        const std::filesystem::path to = out_ / ("request-" + std::to_string(n));
        // A second name of the work file, which the server removes after
        // the submission: no copy, and no new file to make. A copy where
        // the two directories lie on different file systems.
        std::error_code failed;
        std::filesystem::create_hard_link(file, to, failed);
        if (failed) std::filesystem::copy_file(file, to, failed);
        if (n > kKeptRequests)
            std::filesystem::remove(out_ / ("request-" + std::to_string(n - kKeptRequests)),
                                    failed);
        return n;
    }
    int Answer(JexException& error) {
        if (!fail_) return JexSra::OK;
        error.ExcSet(JexSra::NOPRODUCTS, JexExcArgs("test back-end"));
        return JexSra::NOPRODUCTS;
    }

    std::filesystem::path out_;
    bool fail_;
    int count_ = 0;
};

// Serves the connection `fd` as the session's inherited connection; a
// caller silent for `firstRecordSeconds` before its first record is dropped.
int Serve(int fd, CopyingBackEnd& backEnd, int firstRecordSeconds) {
    const int reserved = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (reserved < 0 || ::dup3(fd, reserved, O_CLOEXEC) < 0) return -1;
    ::close(fd);
    struct stat before {};
    ::fstat(reserved, &before);
    setenv("JEX_TRANSPORT_TYPE", "T", 1);
    setenv("JEX_NET_HANDLE", std::to_string(reserved).c_str(), 1);
    int status;
    {
        JexSession session;
        session.SetSuppress(1);
        session.SetAttr(JexSession::READ_TIMEOUT, 30);
        session.Gateway().SetFirstRecordTimeout(firstRecordSeconds);
        ServingServer server;
        server.SetBackEnd(&backEnd);
        status = server.Server(session);
    }
    // A session that never adopted the connection leaves it open.
    struct stat after {};
    if (::fstat(reserved, &after) == 0 && after.st_ino == before.st_ino &&
        after.st_dev == before.st_dev)
        ::close(reserved);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    JexLinkSetUp();
    if (argc < 4 || argc > 5) {
        std::fprintf(stderr, "usage: %s INSTALL OUT LIMIT [fail]\n", argv[0]);
        return 2;
    }
    using namespace tavro::testing;
    const std::filesystem::path install = argv[1];
    if (!WriteInstallPath(install.string()) ||
        !WriteText(JexConfig::kApplications, "Local.Domain", "srv") ||
        !WriteText(JexConfig::kApplications, "Local.Node", "snode") ||
        !WriteDword(JexConfig::kApplications, "SRA.MaxSubmitBytes",
                    static_cast<uint32_t>(std::strtoul(argv[3], nullptr, 10)))) {
        std::fprintf(stderr, "cannot write the settings\n");
        return 2;
    }
    std::filesystem::create_directories(install / "work");
    if (::chdir((install / "work").c_str()) != 0) return 2;
    CopyingBackEnd backEnd(argv[2], argc == 5 && std::string(argv[4]) == "fail");

    const char* bound = std::getenv("SRASERVER_FIRST_RECORD_SECONDS");
    const long firstRecordSeconds =
        bound ? std::strtol(bound, nullptr, 10) : JexGateway::kDefaultFirstRecordTimeout;
    // At most a day: the bound in milliseconds stays well inside an int.
    if (firstRecordSeconds <= 0 || firstRecordSeconds > 86400) {
        std::fprintf(stderr, "SRASERVER_FIRST_RECORD_SECONDS must be 1 to 86400\n");
        return 2;
    }
    // A fixed port is taken again at once after an earlier run.
    const char* port = std::getenv("SRASERVER_PORT");
    const int listener = tavro::testing::ListenLoopbackOn(
        port ? static_cast<int>(std::strtoul(port, nullptr, 10)) : 0, SOMAXCONN, port != nullptr);
    if (listener < 0) {
        std::fprintf(stderr, "listen on port %s: %s\n", port ? port : "0", std::strerror(errno));
        return 2;
    }
    std::printf("port %d\n", tavro::testing::LocalPort(listener));
    std::fflush(stdout);
    FirstBytesAcceptor callers(listener, 64, static_cast<int>(firstRecordSeconds) * 1000);
    for (;;) {
        const int fd = callers.Next(60000);
        if (fd < 0) return 3;
        const int status = Serve(fd, backEnd, static_cast<int>(firstRecordSeconds));
        std::printf("served %d\n", status);
        std::fflush(stdout);
    }
}
