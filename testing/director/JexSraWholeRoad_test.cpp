// The whole road of a service request on one machine: the director's native entry in a Java VM,
// the create client, MD5-signed sessions over the loopback, and a server host process with a
// back-end.
//
// Two installation trees and two registries: the test process's (the
// client's, which the VM inherits) and the server host's own platform state.
// The client's route map leads to the host's port; both trees hold the
// shared MD5 key of the pair cli/srv.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/PlatformState.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/JavaVm.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/RouteMap.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/Wait.h"

namespace {

using tavro::testing::ChildGuard;
using tavro::testing::ChildResult;
using tavro::testing::ReadFile;
using tavro::testing::RunChild;
using tavro::testing::TempDir;
using tavro::testing::WaitFor;
using tavro::testing::WriteFile;

constexpr int kVmBoundMs = 90000;
constexpr const char* kKey = "whole road secret\n";

using Record = std::map<std::string, std::string>;

class JexSraWholeRoad : public ::testing::Test {
protected:
    void SetUp() override {
        using namespace tavro::testing;
        // The client's tree and registry (this process's platform state).
        for (const char* sub : {"data", "logs", "keys"})
            std::filesystem::create_directories(client_.Path() / sub);
        ASSERT_TRUE(WriteInstallPath(client_.Path().string()));
        ASSERT_TRUE(WriteText(JexConfig::kApplications, "Local.Domain", "cli"));
        ASSERT_TRUE(WriteText(JexConfig::kApplications, "Local.Node", "cnode"));
        ASSERT_TRUE(WriteText(JexConfig::kApplications, "Remote.Domain", "srv"));
        ASSERT_TRUE(WriteText(JexConfig::kApplications, "Remote.Node", "snode"));
        ASSERT_TRUE(WriteText(JexConfig::kApplications, "SRA.ReplyTimeout", "30"));
        WriteFile(client_.Path() / "keys" / "MD5-CLI-SRV", kKey);
        setenv("JEXCRYPTO_PATH", (client_.Path() / "keys").c_str(), 1);
        record_ = client_.Path() / "record.txt";
        setenv("TAVRO_DIRECTOR_RECORD", record_.c_str(), 1);
        setenv("ASAN_OPTIONS", kJavaVmSanitizerOptions, 1);

        // The server's tree; its registry is written by the host itself.
        for (const char* sub : {"data", "logs", "Keys", "out"})
            std::filesystem::create_directories(server_.Path() / sub);
        WriteFile(server_.Path() / "data" / "jex_route_map.dat", "");
        WriteFile(server_.Path() / "data" / "jex_remote_auth.dat", "allow cli * * * * * * road\n");
        WriteFile(server_.Path() / "data" / "jex_obligation_map.dat", "");
        WriteFile(server_.Path() / "Keys" / "MD5-CLI-SRV", kKey);
    }

    void TearDown() override { StopHost(); }

    // Starts the server host; false when it does not report its port.
    bool StartHost(const char* limit, bool fail = false) {
        const std::string out = (server_.Path() / "host.out").string();
        host_ = fork();
        if (host_ == 0) {
            const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd < 0 || ::dup2(fd, 1) < 0 || ::dup2(fd, 2) < 0) _exit(127);
            setenv(platform::kStateDirVar, server_state_.Path().c_str(), 1);
            unsetenv("JEXCRYPTO_PATH");
            const std::string install = server_.Path().string();
            const std::string outDir = (server_.Path() / "out").string();
            execl(SRASERVER_PROGRAM, SRASERVER_PROGRAM, install.c_str(), outDir.c_str(), limit,
                  fail ? "fail" : static_cast<char*>(nullptr), static_cast<char*>(nullptr));
            _exit(127);
        }
        if (host_ < 0) return false;
        std::string port;
        const bool reported = WaitFor([&] {
            const std::string text = ReadFile(out);
            if (text.rfind("port ", 0) != 0 || text.find('\n') == std::string::npos) return false;
            port = text.substr(5, text.find('\n') - 5);
            return true;
        });
        if (!reported) return false;
        port_ = std::stoi(port);
        WriteFile(client_.Path() / "data" / "jex_route_map.dat",
                  tavro::testing::LoopbackRouteEntry("srv/snode/Jex_Sra", port_, 1));
        return true;
    }

    void StopHost() {
        if (host_ <= 0) return;
        ::kill(host_, SIGTERM);
        ChildGuard::WaitChild(host_, 20000);
        host_ = -1;
    }

    // The statuses the host printed ("served N" lines), once it has printed
    // `count` of them.
    std::vector<std::string> Served(size_t count) {
        std::vector<std::string> served;
        WaitFor(
            [&] {
                served.clear();
                std::istringstream in(ReadFile(server_.Path() / "host.out"));
                for (std::string line; std::getline(in, line);)
                    if (line.rfind("served ", 0) == 0) served.push_back(line.substr(7));
                return served.size() >= count;
            },
            30000);
        return served;
    }

    // Runs the parcel probe with the arguments; its record, by tag.
    Record Probe(std::vector<std::string> arguments) {
        std::vector<std::string> argv = {
            TAVRO_JAVARUN,
            "-Xcheck:jni",
            std::string("-Djava.class.path=") + TAVRO_PARCEL_PROBE_JAR,
            std::string("-Djava.library.path=") + TAVRO_JEXLINKAPI_DIR,
            "com.pelmar.vantrix.tavro.core.ParcelProbe",
        };
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        const ChildResult result = RunChild(argv, {}, kVmBoundMs);
        EXPECT_EQ(result.exitStatus, 0) << result.output;
        EXPECT_EQ(result.output.find("FATAL"), std::string::npos) << result.output;
        Record record;
        std::istringstream in(ReadFile(record_));
        for (std::string line; std::getline(in, line);) {
            // "tag text", or "[i] tag text" from a submission on thread i.
            const size_t from = line.rfind("[", 0) == 0 ? line.find("] ") + 2 : 0;
            const size_t space = line.find(' ', from);
            record[line.substr(0, space)] =
                space == std::string::npos ? "" : line.substr(space + 1);
        }
        return record;
    }

    static std::vector<std::string> Parcel(const std::string& contact, const std::string& body) {
        return {"getSubject=Printer on fire",
                "getBody=" + body,
                "getOSType=Linux 6",
                "getEntityType=Blade",
                "getSoftwareVer=2.2.1",
                "getContactInfo=" + contact,
                "access=acc-5"};
    }

    std::string Work(int n) {
        return ReadFile(server_.Path() / "out" / ("request-" + std::to_string(n)));
    }

    ChildGuard guard_;
    TempDir client_{"sra-road-client"};
    TempDir server_{"sra-road-server"};
    TempDir server_state_{"sra-road-state"};
    std::filesystem::path record_;
    pid_t host_ = -1;
    int port_ = -1;
};

TEST_F(JexSraWholeRoad, ASilentCallerDoesNotHoldUpTheServer) {
    ASSERT_TRUE(StartHost("0"));
    // A caller that connects first and says nothing is never served: the
    // request that speaks is served beside it, and served first.
    const int silent = tavro::testing::ConnectLoopback(port_);
    ASSERT_GE(silent, 0);
    const Record record = Probe(Parcel("me@site", "Quiet neighbour"));
    EXPECT_EQ(record.at("call"), "sendJEXParcel 0");
    EXPECT_EQ(Served(1), std::vector<std::string>{"0"});
    ::close(silent);
}

TEST_F(JexSraWholeRoad, SubmissionReachesTheBackEndAndBothHistoryLogs) {
    ASSERT_TRUE(StartHost("0"));
    const Record record = Probe(Parcel("me@site", "It burns\nstill"));
    EXPECT_EQ(record.at("call"), "sendJEXParcel 0");
    EXPECT_EQ(record.at("exception"), "none");
    EXPECT_EQ(Served(1), std::vector<std::string>{"0"});

    // The work file: contact, access number, subject, dispatch record (the
    // request's 2 and the client's platform code), then the header fields
    // and the lines of the text.
    const std::string work = Work(1);
    std::string head =
        "\x01me@site\n\x02"
        "ACC-5\n\x04Printer on fire\n\x06";
    head += std::string("\xc8\0\0\0", 4);
    ASSERT_GE(work.size(), head.size() + 5);
    EXPECT_EQ(work.substr(0, head.size()), head);
    EXPECT_EQ(work[head.size() + 1], '\x02');  // the request's integer setting 2, shifted by 8
    EXPECT_EQ(work.substr(head.size() + 4),
              "\n\x05Operating System Info : Linux 6\n\x05Hardware Info : Blade\n"
              "\x05Software Info : 2.2.1\n\x05\n\x05It burns\n\x05still\n\x05\n");
    // Deleted from the host's working directory.
    EXPECT_TRUE(std::filesystem::is_empty(server_.Path() / "work"));

    StopHost();
    const std::string client_log = ReadFile(client_.Path() / "logs" / "jex_history.log");
    EXPECT_NE(client_log.find("Client/New Sevice Request"), std::string::npos) << client_log;
    EXPECT_NE(client_log.find("SUCCESSFUL"), std::string::npos) << client_log;
    const std::string server_log = ReadFile(server_.Path() / "logs" / "jex_history.log");
    EXPECT_NE(server_log.find("Connection request from Client"), std::string::npos) << server_log;
    EXPECT_NE(server_log.find("SUCCESSFUL"), std::string::npos) << server_log;
}

TEST_F(JexSraWholeRoad, NoContactOpensNoConnection) {
    ASSERT_TRUE(StartHost("0"));
    const Record record = Probe(Parcel("", "body"));
    EXPECT_EQ(record.at("returnCode"), "-1");
    EXPECT_EQ(record.at("exception"), "no contact address");
    StopHost();
    EXPECT_TRUE(Served(0).empty());
}

TEST_F(JexSraWholeRoad, StoppedServerGivesSix) {
    ASSERT_TRUE(StartHost("0"));
    StopHost();
    const Record record = Probe(Parcel("me@site", "body"));
    EXPECT_EQ(record.at("call"), "sendJEXParcel thrown");
    EXPECT_EQ(record.at("returnCode"), "6");
}

TEST_F(JexSraWholeRoad, OversizedBodyGivesEight) {
    ASSERT_TRUE(StartHost("10"));
    const Record record = Probe(Parcel("me@site", "a body longer than ten bytes"));
    EXPECT_EQ(record.at("returnCode"), "8");
    EXPECT_NE(record.at("exception").find("exceeds the size limit of 10 bytes"), std::string::npos)
        << record.at("exception");
    // The client gave up after the accept: nothing reached the back-end.
    EXPECT_EQ(Served(1), std::vector<std::string>{"33"});
    EXPECT_FALSE(std::filesystem::exists(server_.Path() / "out" / "request-1"));
}

TEST_F(JexSraWholeRoad, BackEndErrorGivesSixWithTheServersError) {
    ASSERT_TRUE(StartHost("0", true));
    const Record record = Probe(Parcel("me@site", "body"));
    EXPECT_EQ(record.at("returnCode"), "6");
    EXPECT_NE(record.at("exception").find("No product information found"), std::string::npos)
        << record.at("exception");
    EXPECT_EQ(Served(1), std::vector<std::string>{"26"});
}

TEST_F(JexSraWholeRoad, TwoSubmissionsAtOnce) {
    ASSERT_TRUE(StartHost("0"));
    std::vector<std::string> arguments = Parcel("me@site", "twice");
    arguments.push_back("threads=2");
    const Record record = Probe(arguments);
    EXPECT_EQ(record.at("[0] call"), "sendJEXParcel 0");
    EXPECT_EQ(record.at("[1] call"), "sendJEXParcel 0");
    EXPECT_EQ(Served(2), (std::vector<std::string>{"0", "0"}));
    EXPECT_NE(Work(1).find("\x05twice\n"), std::string::npos);
    EXPECT_NE(Work(2).find("\x05twice\n"), std::string::npos);
}

TEST_F(JexSraWholeRoad, ManyRequestsLeaveTheWorkFilesOfTheLastFourOnly) {
    ASSERT_TRUE(StartHost("0"));
    constexpr int kRequests = 7;
    std::vector<std::string> arguments = Parcel("me@site", "once more");
    arguments.push_back("threads=" + std::to_string(kRequests));
    const Record record = Probe(arguments);
    for (int i = 0; i < kRequests; ++i)
        EXPECT_EQ(record.at("[" + std::to_string(i) + "] call"), "sendJEXParcel 0") << i;
    EXPECT_EQ(Served(kRequests), std::vector<std::string>(kRequests, "0"));
    std::vector<std::string> kept;
    for (const auto& entry : std::filesystem::directory_iterator(server_.Path() / "out"))
        kept.push_back(entry.path().filename().string());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, (std::vector<std::string>{"request-4", "request-5", "request-6", "request-7"}));
    EXPECT_NE(Work(kRequests).find("\x05once more\n"), std::string::npos);
    EXPECT_TRUE(std::filesystem::is_empty(server_.Path() / "work"));
}

}  // namespace
