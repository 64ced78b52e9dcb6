// What the tests of the "Jex_Sra" server share: its installation, a recording back end, a raw
// client over the loopback and the server run for one connection.
#pragma once

#include "jexlink/sra/JexSraServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/messages/JexTIE.h"
#include "jexlink/session/JexSession.h"
#include "jexlink/sra/JexCreateSrq.h"
#include "jexlink/sra/JexSraAugmentSrq.h"
#include "jexlink/sra/JexSraFetchList.h"
#include "jexlink/sra/JexSraProtocol.h"
#include "jexlink/sra/JexSraReviewSrq.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/CapturedFile.h"
#include "testing/support/JexConfigTestSupport.h"
#include "testing/support/SessionServer.h"
#include "testing/support/SraMemoryLink.h"
#include "testing/support/TempDir.h"

namespace tavro::testing::sra_server {

using tavro::testing::ReadFile;
using tavro::testing::SessionServer;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr const char* kDomain = "srv";
constexpr const char* kNode = "snode";

// The server that serves on this platform.
class ServingServer : public JexSraServer {
public:
    using JexSraServer::Serve;

protected:
    bool ServesOnThisPlatform() const override { return true; }
};

// One installation for the whole process (the server computes its route
// map and key directory once per process): local domains "cli" (the
// client's) and "srv" (the server's), the shared MD5 key, a rule that lets
// everyone in, and the current directory, where work files go.
class Install {
public:
    static Install& Get() {
        static Install install;
        return install;
    }
    const std::filesystem::path& Path() const { return dir_.Path(); }
    void Route(const SessionServer& server) {
        WriteFile(dir_.Path() / "data" / "jex_route_map.dat",
                  server.RouteLine(kDomain, kNode, kSraApplication));
    }
    void Rules(const std::string& rules) {
        WriteFile(dir_.Path() / "data" / "jex_remote_auth.dat", rules);
    }
    void Limit(uint32_t limit) {
        ASSERT_TRUE(
            tavro::testing::WriteDword(JexConfig::kApplications, "SRA.MaxSubmitBytes", limit));
    }
    // Work files left in the current directory.
    std::vector<std::string> WorkFiles() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir_.Path()))
            if (entry.path().filename().string().rfind("jex_sra_", 0) == 0)
                names.push_back(entry.path().filename().string());
        return names;
    }

private:
    Install() {
        using namespace tavro::testing;
        std::filesystem::create_directories(dir_.Path() / "data");
        std::filesystem::create_directories(dir_.Path() / "logs");
        std::filesystem::create_directories(dir_.Path() / "keys");
        EXPECT_TRUE(WriteInstallPath(dir_.Path().string()));
        EXPECT_TRUE(WriteList(JexConfig::kApplications, "Local.Domain", {"cli", kDomain}));
        EXPECT_TRUE(WriteList(JexConfig::kApplications, "Local.Node", {"cnode", kNode}));
        EXPECT_TRUE(WriteText(JexConfig::kApplications, "Remote.Domain", kDomain));
        EXPECT_TRUE(WriteText(JexConfig::kApplications, "Remote.Node", kNode));
        EXPECT_TRUE(WriteText(JexConfig::kApplications, "SRA.ReplyTimeout", "30"));
        WriteFile(dir_.Path() / "keys" / "MD5-CLI-SRV", "shared sra secret\n");
        setenv("JEXCRYPTO_PATH", (dir_.Path() / "keys").c_str(), 1);
        Rules("allow * * * * * * * everyone\n");
        EXPECT_EQ(::chdir(dir_.Path().c_str()), 0);
    }
    TempDir dir_{"sra-server"};
};

// A back-end that keeps what it was handed and answers as told.
struct TestBackEnd : JexSraBackEnd {
    int status = 0;  // what Submit, Augment and FetchList return
    std::string number = "SR-4711";
    std::vector<std::string> list = {"first", "", "third"};
    std::string owner = "CLI";  // of every request; empty: not found
    std::vector<std::string> units;
    std::string work;  // the last work file's bytes
    std::string work_name;
    int calls = 0;

    int Take(const char* file, JexException& error) {
        ++calls;
        work_name = file;
        work = ReadFile(file);
        if (status) error.ExcSet(status, JexExcArgs("test back-end", "SR-0"));
        return status;
    }
    int Submit(const char* file, JexString& out, JexException& error) override {
        out = number.c_str();
        return Take(file, error);
    }
    int Augment(const char* file, JexException& error) override { return Take(file, error); }
    int FetchList(const char* file, JexFieldedString& lines, JexException& error) override {
        for (size_t i = 0; i < list.size(); ++i) lines[static_cast<int>(i)] = list[i].c_str();
        return Take(file, error);
    }
    int LookupSrq(const JexString&, JexString& acid) override {
        if (owner.empty()) return JexObligation_CHS_NOSRQ;
        acid = owner.c_str();
        return 0;
    }
    int WorkUnits(const JexString&, JexFieldedString& out) override {
        for (size_t i = 0; i < units.size(); ++i) out[static_cast<int>(i)] = units[i].c_str();
        return 0;
    }
    static constexpr int JexObligation_CHS_NOSRQ = 8;
};

inline std::string Bytes(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : std::string();
}

// The error an error image carries.
struct Carried {
    int code = -1;
    std::string context;
    std::string text;
};

inline Carried Unload(const JexNetMsg& msg) {
    JexSra holder;
    JexTIEUnloadException(msg, holder, 1, 0);
    Carried c;
    c.code = holder.Code();
    c.context = Bytes(holder.Args()[0]);
    c.text = holder.FormattedText(0).Text();
    return c;
}

// The clients' own contact address: user@computer.
inline std::string ClientContact() {
    JexPlatform platform;
    JexString computer = platform.Field(1);
    if (computer.FindChar('.') >= 0) computer = computer.Left(computer.FindChar('.'));
    return std::string(JexGetUserName().Text()) + "@" + computer.Text();
}

// A connect message of the given kind with every item a kind needs, but
// the item `omit` and, when version is kNoVersion, the version.
constexpr int32_t kNoVersion = -12345;
inline JexNetMsg Connect(const char* kind, int32_t version = 20, int omit = -1) {
    JexNetMsg msg(kSraConnect);
    auto text = [&](int item, const char* value) {
        if (item != omit && value) JexSraSetText(msg[item], JexString(value));
    };
    text(kSraItemKind, kind);
    if (version != kNoVersion) msg[kSraItemVersion].SetLong(version);
    text(kSraItemSubject, "The subject");
    text(kSraItemContact, "tom@example");
    text(kSraItemAccessNumber, "ACC-1");
    text(kSraItemRequestNumber, "SR-9");
    text(kSraItemListType, "2");
    return msg;
}

// A client session driven by hand: connect data, messages, replies.
class RawClient {
public:
    RawClient() {
        s_.SetSuppress(1);
        s_.SetAttr(JexSession::SRC_ACID, "cli");
        s_.SetAttr(JexSession::SRC_NODE, "cnode");
        const std::string map = (Install::Get().Path() / "data" / "jex_route_map.dat").string();
        s_.SetAttr(JexSession::ROUTE_MAP, map.c_str());
        s_.SetAttr(JexSession::READ_TIMEOUT, 30);
    }
    // The session's result; reply holds the accept or reject data.
    int Open(const JexBuffer& data) {
        const int rc = s_.Connect(kSraApplication, kDomain, kNode, data, reply_);
        s_.Gateway().SetReadTimeout(30);
        return rc;
    }
    int Open(const JexNetMsg& connect) { return Open(connect.Encode()); }
    JexNetMsg Reply() const {
        JexNetMsg m;
        m.Decode(reply_);
        return m;
    }
    int Send(const JexNetMsg& msg) { return s_.PutMsg(msg.Encode(), 0); }
    int Line(const std::string& text) {
        JexNetMsg m;
        JexSraBuildLine(JexString(text.c_str()), m);
        return Send(m);
    }
    int End() {
        JexNetMsg m;
        JexSraBuildEnd(m);
        return Send(m);
    }
    // The next message; type 0xFF when the receive failed. (A copied net
    // message keeps its items but not its type: the type travels beside.)
    struct Msg {
        int type = 0xFF;
        JexNetMsg m;
        const JexBuffer& operator[](int item) const { return m[item]; }
        int Type() const { return type; }
    };
    Msg Next() {
        JexBuffer in;
        Msg got;
        if (s_.GetMsg(in, 0) != 0) return got;
        got.m.Decode(in);
        got.type = got.m.Type();
        return got;
    }
    // Reads the failure reply, then ends the connection as the clients do.
    Msg NextAndLeave() {
        Msg got = Next();
        s_.Disconnect();
        return got;
    }
    JexSession& Session() { return s_; }

private:
    JexSession s_;
    JexBuffer reply_;
};

// Serves one connection with a serving server while the test's client runs.
struct Served {
    ServingServer server;
    TestBackEnd backEnd;
    int status = -1;
    std::string stderr_text;
    std::string path;  // the server session's PATH

    void Run(const std::function<void()>& client, bool with_back_end = true) {
        SessionServer listener;
        ASSERT_TRUE(listener.Listening());
        Install::Get().Route(listener);
        if (with_back_end) server.SetBackEnd(&backEnd);
        ::testing::internal::CaptureStderr();
        ASSERT_TRUE(listener.Serve([this](JexSession& s) {
            s.SetAttr(JexSession::READ_TIMEOUT, 30);
            status = server.Server(s);
            JexString p;
            s.GetAttr(JexSession::PATH, p);
            path = p.Text();
        }));
        client();
        EXPECT_TRUE(listener.Join(std::chrono::seconds(90)));
        stderr_text = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(Install::Get().WorkFiles().empty()) << "work file left behind";
    }
    std::string Context() { return Bytes(server.Args()[0]); }
    // The header records the server writes for a request record.
    std::string Header(const std::string& request, const std::string& subject = "The subject",
                       const std::string& contact = "tom@example") const {
        JexBuffer dispatch;
        dispatch.SetLong(200);
        JexBuffer word;
        word.SetLong((2 << 8) + JexSraServer::PlatformCode(JexString(path.c_str())));
        return "\x01" + contact + "\n\x02" + request + "\n\x04" + subject + "\n\x06" +
               Bytes(dispatch) + Bytes(word) + "\n";
    }
};

class JexSraServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        Install::Get().Rules("allow * * * * * * * everyone\n");
        Install::Get().Limit(0);
    }
};

}  // namespace tavro::testing::sra_server
