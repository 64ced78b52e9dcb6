// Gateway handshakes against a scripted peer that speaks the frame and record formats itself.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayFrame.h"
#include "testing/support/TempDir.h"

namespace {

using namespace std::chrono_literals;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr int kWaitMs = 20000;

struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : "<absent>";
}

int ItemShortOf(const std::string& item) {
    if (item.size() == 1) return static_cast<unsigned char>(item[0]);
    return static_cast<unsigned char>(item[0]) | static_cast<unsigned char>(item[1]) << 8;
}

std::string Short(int v) {
    return std::string{static_cast<char>(v & 255), static_cast<char>((v >> 8) & 255)};
}

using Items = std::map<int, std::string>;

JexNetMsg Record(int type, const Items& items) {
    JexNetMsg m(type);
    for (const auto& [item, text] : items)
        m[item] = JexBuffer(JexBufferBase(text.data(), static_cast<int>(text.size())));
    return m;
}

// The items of an answer to CONNECT, with the error items of an error name.
Items Answer(const std::string& error = "JexGateway::OK", const std::string& y = "far/fnode") {
    return {{'t', "Thu, 10 Dec 2026 04:00:00 +0000"},
            {'h', Short(1)},
            {'a', "T/127.0.0.1/1"},
            {'P', "cli/cnode|plat||a&b\nfar/fnode|fplat|b&a|"},
            {'r', Short(0)},
            {'s', "CONNREPLY"},
            {'/', error},
            {'0', "text"},
            {'y', y},
            {'V', "2.32 Exp"},
            {'z', "fplat"}};
}

// A CONNECT as an originating end sends it, for srv/snode/echo.
Items ConnectItems() {
    return {{'A', "echo"},
            {'t', "Thu, 10 Dec 2026 04:00:00 +0000"},
            {'T', "srv"},
            {'N', "snode"},
            {'h', std::string(1, '\0')},
            {'H', Short(7)},
            {'R', Short(5)},
            {'P', "cli/cnode|cplat||T/localhost/1&T/localhost/2"},
            {'z', "cplat"},
            {'p', Short(10)},
            {'r', Short(0)},
            {'S', "cli"},
            {'n', "cnode"},
            {'y', "cli/cnode"},
            {'V', "2.32 Exp"}};
}

// One end of a gateway connection written against the formats: each record
// is an encoded net message in a frame of a 2-byte length (or 0 and a
// 4-byte length), one reserved byte and the body.
class ScriptedPeer {
public:
    ~ScriptedPeer() {
        Close();
        if (listenFd_ >= 0) ::close(listenFd_);
    }

    bool Listen() {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof in;
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&in), size) != 0) return false;
        if (::listen(listenFd_, 8) != 0) return false;
        if (::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&in), &size) != 0) return false;
        port_ = ntohs(in.sin_port);
        return true;
    }
    std::string Address() const { return "T/127.0.0.1/" + std::to_string(port_); }
    int Port() const { return port_; }

    // Takes the next connection made to the listener.
    bool Accept() {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) != 1) return false;
        Close();
        fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        return fd_ >= 0;
    }
    bool Connect(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in in{};
        in.sin_family = AF_INET;
        in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        in.sin_port = htons(static_cast<uint16_t>(port));
        return ::connect(fd_, reinterpret_cast<sockaddr*>(&in), sizeof in) == 0;
    }

    bool Send(const JexNetMsg& record) {
        JexBuffer body;
        if (record.Encode(body) != JexNetMsg::kEncoded) return false;
        const auto n = static_cast<uint32_t>(body.Length());
        std::string frame;
        if (n > 0 && n < 0x10000)
            frame = {static_cast<char>(n & 255), static_cast<char>(n >> 8)};
        else
            frame = {0,
                     0,
                     static_cast<char>(n & 255),
                     static_cast<char>((n >> 8) & 255),
                     static_cast<char>((n >> 16) & 255),
                     static_cast<char>(n >> 24)};
        frame += '\0';
        frame.append(body.Data(), n);
        return Write(frame);
    }
    bool Send(int type, const Items& items) { return Send(Record(type, items)); }

    bool Write(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (w <= 0) return false;
            done += static_cast<size_t>(w);
        }
        return true;
    }

    // The next record; false when the stream ends or stays silent.
    bool Receive(JexNetMsg& record) {
        unsigned char head[2];
        if (!Read(head, 2)) return false;
        uint32_t n = head[0] | (head[1] << 8);
        if (n == 0) {
            unsigned char longer[4];
            if (!Read(longer, 4)) return false;
            n = longer[0] | (longer[1] << 8) | (longer[2] << 16) | (uint32_t{longer[3]} << 24);
        }
        unsigned char reserved;
        if (!Read(&reserved, 1)) return false;
        std::string body(n, '\0');
        if (!Read(body.data(), n)) return false;
        record.Decode(body.data(), static_cast<int>(n));
        return !record.Corrupt();
    }
    // The types of the records that arrive until the stream ends.
    std::string ReceiveAll() {
        std::string types;
        for (JexNetMsg r; Receive(r);) types += static_cast<char>(r.Type());
        return types;
    }
    // True when the peer closed the connection (nothing more arrives).
    bool Closed() {
        char c;
        return !Read(&c, 1);
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int Fd() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    bool Read(void* p, size_t n) {
        auto* at = static_cast<char*>(p);
        for (size_t got = 0; got < n;) {
            pollfd w{fd_, POLLIN, 0};
            if (::poll(&w, 1, kWaitMs) != 1) return false;
            const ssize_t r = ::recv(fd_, at + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }

    int listenFd_ = -1;
    int fd_ = -1;
    int port_ = 0;
};

std::string CauseName(JexException& e) {
    JexException* cause = e.Cause();
    if (!cause) return "<none>";
    JexString name;
    cause->CodeName(name);
    return name.Text();
}

std::string StateName(JexGateway& g) {
    JexString s;
    g.GetAttr(JexGateway::STATE, s);
    return s.Text();
}

// ---------------------------------------------------------------------------
// The calling side: Connect against a scripted far gateway.

class CallingSide : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(far.Listen());
        ASSERT_TRUE(other.Listen());
        Map("srv/snode/echo\t" + far.Address() + "\n");
        client->SetAttr(JexGateway::ACID, "cli");
        client->SetAttr(JexGateway::NODE, "cnode");
    }
    void Map(const std::string& lines) {
        WriteFile(dir.Path() / "client->map", lines);
        client->SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "client->map").c_str());
    }
    void StartConnect() {
        result = std::async(std::launch::async, [this] {
            return client->Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                   JexString("echo"));
        });
    }
    int Result() {
        if (result.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready) {
            client->Transport(1) ? (void)client->Transport(1)->Disconnect() : (void)0;
            return -1;
        }
        return result.get();
    }
    // Accepts the client and reads its CONNECT.
    void TakeConnect(ScriptedPeer& peer) {
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(peer.Receive(connect));
        ASSERT_EQ(connect.Type(), 'C');
    }

    TempDir dir{"gwcall"};
    ScriptedPeer far;
    ScriptedPeer other;
    std::unique_ptr<QuietGateway> client = std::make_unique<QuietGateway>();
    JexNetMsg connect;
    std::future<int> result;
};

TEST_F(CallingSide, ConnectRecordCarriesEveryItem) {
    StartConnect();
    TakeConnect(far);
    EXPECT_EQ(JexGateway::check_connect(connect), 0);
    EXPECT_EQ(Text(connect['A']), "echo");
    EXPECT_EQ(Text(connect['T']), "srv");
    EXPECT_EQ(Text(connect['N']), "snode");
    EXPECT_EQ(Text(connect['h']), std::string(1, '\0'));
    EXPECT_EQ(Text(connect['H']), Short(7));
    EXPECT_EQ(Text(connect['R']), Short(5));
    EXPECT_EQ(Text(connect['p']), Short(10));
    EXPECT_EQ(Text(connect['r']), Short(0));
    EXPECT_EQ(Text(connect['S']), "cli");
    EXPECT_EQ(Text(connect['n']), "cnode");
    EXPECT_EQ(Text(connect['y']), "cli/cnode");
    EXPECT_EQ(Text(connect['V']), "2.32 Exp");
    const std::string entry = Text(connect['P']);
    EXPECT_EQ(entry.rfind("cli/cnode|" + Text(connect['z']) + "||", 0), 0u) << entry;
    EXPECT_NE(entry.find('&'), std::string::npos);
    far.Close();
    EXPECT_EQ(Result(), JexGateway::TRANSPORTERR);
}

// One answer script per case: what the far gateway sends after the CONNECT,
// and the code and state Connect ends with.
struct AnswerCase {
    const char* name;
    std::function<void(ScriptedPeer& far, ScriptedPeer& other)> script;
    int code;
    const char* state;
    const char* cause;
};

TEST_F(CallingSide, EachAnswerGivesItsCodeAndState) {
    auto redirectTo = [](ScriptedPeer& to, int count) {
        Items r = Answer();
        r['a'] = to.Address();
        r['r'] = Short(count);
        return r;
    };
    const AnswerCase cases[] = {
        {"hit", [](ScriptedPeer& f, ScriptedPeer&) { f.Send('H', Answer()); }, 0, "RUN", "<none>"},
        {"progress then hit",
         [](ScriptedPeer& f, ScriptedPeer&) {
             for (int i = 0; i < 5; ++i) f.Send('P', Answer("JexGateway::FORWARDED"));
             f.Send('H', Answer());
         },
         0, "RUN", "<none>"},
        {"redirect followed",
         [&](ScriptedPeer& f, ScriptedPeer& o) {
             f.Send('r', redirectTo(o, 3));
             ASSERT_TRUE(o.Accept());
             JexNetMsg again;
             ASSERT_TRUE(o.Receive(again));
             EXPECT_EQ(Text(again['r']), Short(4));
             o.Send('H', Answer());
         },
         0, "RUN", "<none>"},
        {"redirect at the limit",
         [&](ScriptedPeer& f, ScriptedPeer& o) { f.Send('r', redirectTo(o, 4)); },
         JexGateway::TULIPS, "ERROR", "<none>"},
        {"reject",
         [](ScriptedPeer& f, ScriptedPeer&) { f.Send('J', Answer("JexGateway::NOPATH")); },
         JexGateway::REMOTEFAIL, "ERROR", "JexGateway::NOPATH"},
        {"reject of a version, without an address",
         [](ScriptedPeer& f, ScriptedPeer&) {
             Items r = Answer("JexGateway::BADVERSION");
             r.erase('a');
             f.Send('J', r);
         },
         JexGateway::REMOTEFAIL, "ERROR", "JexGateway::BADVERSION"},
        {"hit without a version",
         [](ScriptedPeer& f, ScriptedPeer&) {
             Items r = Answer();
             r.erase('V');
             f.Send('H', r);
         },
         JexGateway::PROTOCOL, "ERROR", "<none>"},
        {"response", [](ScriptedPeer& f, ScriptedPeer&) { f.Send('R', Answer()); },
         JexGateway::PROTOCOL, "ERROR", "<none>"},
        {"data before the hit",
         [](ScriptedPeer& f, ScriptedPeer&) {
             f.Send('D', {{'D', "x"}});
         },
         JexGateway::PROTOCOL, "ERROR", "<none>"},
        {"closed without an answer", [](ScriptedPeer& f, ScriptedPeer&) { f.Close(); },
         JexGateway::TRANSPORTERR, "ERROR", "JexTransport::END"},
        {"garbage frame",
         [](ScriptedPeer& f, ScriptedPeer&) { f.Write(std::string("\5\0\0Hxxxx", 8)); },
         JexGateway::CORRUPTMSG, "ERROR", "<none>"},
    };
    for (const AnswerCase& c : cases) {
        SCOPED_TRACE(c.name);
        client = std::make_unique<QuietGateway>();
        client->SetAttr(JexGateway::ACID, "cli");
        client->SetAttr(JexGateway::NODE, "cnode");
        client->SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "client->map").c_str());
        StartConnect();
        TakeConnect(far);
        c.script(far, other);
        EXPECT_EQ(Result(), c.code) << client->Describe(1).Text();
        EXPECT_EQ(StateName(*client), c.state);
        EXPECT_EQ(client->Code(), c.code);
        EXPECT_EQ(CauseName(*client), c.cause);
        if (c.code == 0) {
            EXPECT_NE(client->Transport(1), nullptr);
        } else if (c.code != JexGateway::PROTOCOL) {
            EXPECT_EQ(client->Transport(1), nullptr);
        }
        far.Close();
        other.Close();
    }
}

TEST_F(CallingSide, RejectNamesTheRefusingGatewayWithItsError) {
    StartConnect();
    TakeConnect(far);
    far.Send('J', Answer("JexGateway::WEEDS", "far/away"));
    ASSERT_EQ(Result(), JexGateway::REMOTEFAIL);
    const std::string described = client->Describe(1).Text();
    EXPECT_NE(described.find("Remote gateway failure at \"far/away\""), std::string::npos)
        << described;
    EXPECT_NE(described.find("Max hops exceeded"), std::string::npos) << described;
}

TEST_F(CallingSide, RouteMapOutcomes) {
    struct MapCase {
        const char* name;
        std::string lines;  // empty name: no file at all
        bool exists;
        int code;
    };
    const MapCase cases[] = {
        {"every entry barred", "srv/snode/echo\tT/127.0.0.1/1\t1\tX\nsrv\tT/127.0.0.1/2\t2\tx\n",
         true, JexGateway::NOROUTEMAPENTRY},
        {"no matching entry", "other/node/app\tT/127.0.0.1/1\n", true, JexGateway::NOROUTEMAPENTRY},
        {"every entry unreachable", "srv/snode/echo\tT/127.0.0.1/1\nsrv\tZ/nowhere\n", true,
         JexGateway::NOPATH},
        {"no route map file", "", false, JexGateway::NOROUTEMAP},
    };
    for (const MapCase& c : cases) {
        SCOPED_TRACE(c.name);
        QuietGateway g;
        const auto file = dir.Path() / (std::string(c.name) + ".map");
        if (c.exists) WriteFile(file, c.lines);
        g.SetAttr(JexGateway::ROUTE_MAP, file.c_str());
        g.SetAttr(JexGateway::ACID, "cli");
        g.SetAttr(JexGateway::NODE, "cnode");
        EXPECT_EQ(g.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                            JexString("echo")),
                  c.code);
        EXPECT_EQ(StateName(g), "ERROR");
        const std::string described = g.Describe(1).Text();
        if (c.code == JexGateway::NOROUTEMAPENTRY) {
            EXPECT_NE(described.find("Entry \"srv/snode/echo\" not found in route map\n\twhoami="
                                     "cli/cnode/echo"),
                      std::string::npos)
                << described;
        }
        if (c.code == JexGateway::NOROUTEMAP) {
            EXPECT_EQ(CauseName(g), "JexRouteMap::OPENFAIL");
        }
        // A gateway serves one connection.
        EXPECT_EQ(g.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                            JexString("echo")),
                  JexGateway::WRONGSTATE);
    }
}

// A client end in RUN with the scripted far gateway at the other end.
class RunningClient : public CallingSide {
protected:
    void SetUp() override {
        CallingSide::SetUp();
        StartConnect();
        TakeConnect(far);
        far.Send('H', Answer());
        ASSERT_EQ(Result(), 0);
    }
};

TEST_F(RunningClient, FinishFromThePeerEndsReadingAndDisconnectDoesNotWait) {
    ASSERT_TRUE(far.Send('L', {{'t', "now"}, {'z', "fplat"}, {'y', "far"}, {'V', "2.32 Exp"}}));
    ASSERT_TRUE(far.Send('D', {{'D', "payload"}}));
    ASSERT_TRUE(far.Send('F', {}));
    JexBuffer b;
    // The LEARN is consumed; the DATA after it comes out.
    ASSERT_EQ(client->GetMsg(b), 0);
    EXPECT_EQ(Text(b), "payload");
    EXPECT_EQ(client->GetMsg(b), JexGateway::SHUTDOWN);
    EXPECT_EQ(StateName(*client), "FINISH");
    EXPECT_EQ(client->Code(), 0);
    EXPECT_EQ(client->Disconnect(), 0);
    EXPECT_EQ(StateName(*client), "DONE");
    JexNetMsg r;
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    EXPECT_TRUE(far.Closed());
    EXPECT_EQ(client->GetMsg(b), JexGateway::WRONGSTATE);
}

TEST_F(RunningClient, DisconnectDiscardsDataUntilThePeersFinish) {
    ASSERT_EQ(client->PutMsg(JexBuffer()), 0);
    JexNetMsg r;
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(r.Type(), 'D');
    EXPECT_EQ(Text(r['D']), "");  // present and empty
    auto done = std::async(std::launch::async, [&] { return client->Disconnect(); });
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    far.Send('D', {{'D', "late"}});
    far.Send('D', {{'D', "later"}});
    far.Send('F', {});
    ASSERT_EQ(done.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_EQ(StateName(*client), "DONE");
}

TEST_F(RunningClient, NetfailBecomesRemoteFailureNamingTheFailingGateway) {
    Items f = Answer("JexGateway::TRANSPORTERR", "mid/node");
    f['1'] = "T/a/1";
    f['2'] = "T/b/2";
    ASSERT_TRUE(far.Send('f', f));
    JexBuffer b;
    EXPECT_EQ(client->GetMsg(b), JexGateway::REMOTEFAIL);
    EXPECT_EQ(StateName(*client), "ERROR");
    EXPECT_EQ(CauseName(*client), "JexGateway::TRANSPORTERR");
    EXPECT_NE(
        std::string(client->Describe(1).Text()).find("Remote gateway failure at \"mid/node\""),
        std::string::npos);
    EXPECT_EQ(client->Transport(1), nullptr);
    EXPECT_EQ(client->PutMsg(JexBuffer()), JexGateway::WRONGSTATE);
}

TEST_F(RunningClient, UnexpectedRecordIsAProtocolErrorAndAClosedPeerATransportError) {
    ASSERT_TRUE(far.Send('Q', {}));
    JexBuffer b;
    EXPECT_EQ(client->GetMsg(b), JexGateway::PROTOCOL);
    far.Close();
    EXPECT_EQ(client->GetMsg(b), JexGateway::TRANSPORTERR);
    EXPECT_EQ(StateName(*client), "ERROR");
    EXPECT_EQ(client->Transport(1), nullptr);
}

TEST_F(RunningClient, ASilentPeerIsBoundedByTheReadTimeOut) {
    client->SetReadTimeout(1);
    int value = -1;
    ASSERT_EQ(client->GetAttr(JexGateway::READ_TIMEOUT, value), 0);
    EXPECT_EQ(value, 1);
    JexBuffer b;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client->GetMsg(b), JexGateway::TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_EQ(StateName(*client), "ERROR");
    EXPECT_TRUE(far.Closed());
}

TEST_F(RunningClient, PayloadNoPeerWouldTakeIsRefusedAndTheConnectionStays) {
    JexBuffer huge{JexBufferBase(static_cast<int>(kJexMaxFrameLength))};
    EXPECT_EQ(client->PutMsg(huge), JexGateway::FAILURE);
    EXPECT_EQ(StateName(*client), "RUN");
    ASSERT_EQ(client->PutMsg(JexBuffer(JexString("after"))), 0);
    JexNetMsg r;
    ASSERT_TRUE(far.Receive(r));
    EXPECT_EQ(Text(r['D']), "after");
}

TEST_F(RunningClient, LearnIsOnlyForTheEndThatAccepted) {
    EXPECT_EQ(client->send_learn(), JexGateway::WRONGSTATE);
    EXPECT_EQ(client->Code(), JexGateway::WRONGSTATE);
    EXPECT_EQ(StateName(*client), "RUN");
}

TEST(JexGatewayIdle, ExchangeCallsNeedARunningConnection) {
    QuietGateway g;
    JexBuffer b;
    EXPECT_EQ(g.GetMsg(b), JexGateway::WRONGSTATE);
    EXPECT_EQ(g.PutMsg(b), JexGateway::WRONGSTATE);
    EXPECT_EQ(g.Disconnect(), JexGateway::WRONGSTATE);
    EXPECT_EQ(g.send_learn(), JexGateway::WRONGSTATE);
    EXPECT_EQ(StateName(g), "IDLE");
}

// ---------------------------------------------------------------------------
// The answering side: Listen on an inherited connection, against a
// scripted caller, with scripted next gateways behind it.

class AnsweringSide : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(entry.Listen());
        ASSERT_TRUE(next.Listen());
        ASSERT_TRUE(second.Listen());
        ASSERT_TRUE(caller.Connect(entry.Port()));
        ASSERT_TRUE(entry.Accept());
        ::setenv("JEX_TRANSPORT_TYPE", "T", 1);
        ::setenv("JEX_NET_HANDLE", std::to_string(entry.Release()).c_str(), 1);
    }
    void Start(const std::string& mapLines, const char* application = "*") {
        WriteFile(dir.Path() / "node->map", mapLines);
        node->SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "node->map").c_str());
        app = application;
        result = std::async(std::launch::async, [this] {
            return node->Listen(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                JexString(app.c_str()));
        });
    }
    int Result() {
        if (result.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready) {
            caller.Close();
            return -1;
        }
        return result.get();
    }
    // Reads the records the caller receives up to and including one of type last.
    std::string Until(int last, std::vector<JexNetMsg>* got = nullptr) {
        std::string types;
        for (JexNetMsg r; caller.Receive(r);) {
            types += static_cast<char>(r.Type());
            if (got) got->push_back(r);
            if (r.Type() == last) break;
        }
        return types;
    }
    void TakeOnward(ScriptedPeer& peer, JexNetMsg& onward) {
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(peer.Receive(onward));
        ASSERT_EQ(onward.Type(), 'C');
    }

    TempDir dir{"gwanswer"};
    ScriptedPeer entry;   // where the node's own connection comes from
    ScriptedPeer caller;  // the scripted calling end
    ScriptedPeer next;    // scripted next gateways
    ScriptedPeer second;
    std::unique_ptr<QuietGateway> node = std::make_unique<QuietGateway>();
    std::string app;
    std::future<int> result;
};

TEST_F(AnsweringSide, ConnectionForThisNodeIsAcceptedWithAHit) {
    Start("", "ECHO");
    Items c = ConnectItems();
    c['h'] = Short(4);
    c['H'] = Short(5);  // local acceptance does not count hops
    ASSERT_TRUE(caller.Send('C', c));
    JexNetMsg hit;
    ASSERT_TRUE(caller.Receive(hit));
    EXPECT_EQ(hit.Type(), 'H');
    EXPECT_EQ(Text(hit['a']), "(None)");
    EXPECT_EQ(Text(hit['/']), "JexGateway::OK");
    EXPECT_EQ(Text(hit['T']), "srv");
    EXPECT_EQ(Text(hit['N']), "snode");
    EXPECT_EQ(Text(hit['p']), Short(10));
    EXPECT_EQ(Text(hit['h']), Short(5));
    EXPECT_EQ(Text(hit['s']), "CONNREPLY");
    EXPECT_EQ(Text(hit['y']), "srv/snode");
    ASSERT_EQ(Result(), 0) << node->Describe(1).Text();
    EXPECT_EQ(StateName(*node), "RUN");
    EXPECT_EQ(node->accepted_here, 1);
    EXPECT_STREQ(node->application.Text(), "echo");
    JexString path;
    node->GetAttr(JexGateway::PATH, path);
    EXPECT_EQ(std::string(path.Text()).rfind(c['P'] + "\nsrv/snode|", 0), 0u) << path.Text();
    EXPECT_EQ(Text(hit['P']), path.Text());

    // Data both ways, then the caller's FINISH.
    ASSERT_TRUE(caller.Send('D', {{'D', "ping"}}));
    JexBuffer b;
    ASSERT_EQ(node->GetMsg(b), 0);
    EXPECT_EQ(Text(b), "ping");
    ASSERT_EQ(node->PutMsg(b), 0);
    JexNetMsg r;
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(Text(r['D']), "ping");
    ASSERT_TRUE(caller.Send('F', {}));
    EXPECT_EQ(node->GetMsg(b), JexGateway::SHUTDOWN);
    EXPECT_EQ(node->Disconnect(), 0);
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
}

TEST_F(AnsweringSide, LearnTeachesTheWayBackAndTravelsToTheCaller) {
    Start("");
    ASSERT_TRUE(caller.Send('C', ConnectItems()));
    ASSERT_EQ(Until('H'), "H");
    ASSERT_EQ(Result(), 0);
    ASSERT_EQ(node->send_learn(), 0);
    JexNetMsg learn;
    ASSERT_TRUE(caller.Receive(learn));
    EXPECT_EQ(learn.Type(), 'L');
    EXPECT_EQ(Text(learn['y']), "srv/snode");
    const std::string map = tavro::testing::ReadFile(dir.Path() / "node->map");
    EXPECT_EQ(map.rfind("cli/cnode/*\tt/", 0), 0u) << map;
    EXPECT_NE(map.find("/jex_nsd\t255\t\t# "), std::string::npos) << map;
}

// One CONNECT per case and what the node answers: the record types the
// caller receives, the result and the state.
struct RefusalCase {
    const char* name;
    std::string map;
    const char* application;
    std::function<void(Items&)> change;
    std::string answers;
    int code;
    const char* state;
};

TEST_F(AnsweringSide, RefusalsAndRedirects) {
    const RefusalCase cases[] = {
        {"other application", "", "mail", nullptr, "J", JexGateway::NOROUTEMAPENTRY, "ERROR"},
        {"version 3", "", "*", [](Items& c) { c['V'] = "3.0 Exp"; }, "J", JexGateway::BADVERSION,
         "ERROR"},
        {"version 2.9 agrees", "", "*", [](Items& c) { c['V'] = "2.9"; }, "H", 0, "RUN"},
        {"forced redirect", "srv/snode\tT/127.0.0.1/9\t1\tF\n", "*", nullptr, "r",
         JexGateway::REDIRECTED, "DONE"},
        {"elsewhere without a route", "", "*", [](Items& c) { c['T'] = "far"; }, "J",
         JexGateway::NOROUTEMAPENTRY, "ERROR"},
        {"elsewhere past the hop limit", "far\tT/127.0.0.1/9\n", "*",
         [](Items& c) {
             c['T'] = "far";
             c['h'] = Short(4);
             c['H'] = Short(5);
         },
         "J", JexGateway::WEEDS, "ERROR"},
        // TCP addresses compare equal by their type alone.
        {"redirect back to the node's own address", "far\tT/127.0.0.1/9\t1\tR\n", "*",
         [](Items& c) { c['T'] = "far"; }, "r", JexGateway::REDIRECTED, "DONE"},
        {"every entry passed over", "far\tT/127.0.0.1/9\t1\tL\nfar/x\tT/127.0.0.1/8\t1\tX\n", "*",
         [](Items& c) { c['T'] = "far"; }, "J", JexGateway::NOPATH, "ERROR"},
        {"hop count that wraps", "", "*", [](Items& c) { c['h'] = Short(65535); }, "H", 0, "RUN"},
        {"wildcard lists", "", "*",
         [](Items& c) {
             c['T'] = "a,S*";
             c['N'] = "SNODE";
         },
         "H", 0, "RUN"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.name);
        // Each case on a fresh connection and gateway.
        node = std::make_unique<QuietGateway>();
        caller.Close();
        ASSERT_TRUE(caller.Connect(entry.Port()));
        ASSERT_TRUE(entry.Accept());
        ::setenv("JEX_NET_HANDLE", std::to_string(entry.Release()).c_str(), 1);
        Start(c.map, c.application);
        Items items = ConnectItems();
        if (c.change) c.change(items);
        ASSERT_TRUE(caller.Send('C', items));
        std::vector<JexNetMsg> got;
        EXPECT_EQ(Until(c.answers.back(), &got), c.answers);
        EXPECT_EQ(Result(), c.code) << node->Describe(1).Text();
        EXPECT_EQ(StateName(*node), c.state);
        if (!got.empty()) {
            JexString name;
            EXPECT_EQ(Text(got.back()['/']), std::string(node->CodeName(name).Text()));
        }
        if (!got.empty() && got.back().Type() == 'J') {
            // Every REJECT made after the route look-up names the entry's
            // address, empty when none was found; only the version refusal,
            // made before the look-up, has none.
            EXPECT_EQ(Text(got.back()['a']) == "<absent>", c.code == JexGateway::BADVERSION)
                << Text(got.back()['a']);
        }
        if (c.code != 0) {
            EXPECT_TRUE(caller.Closed());
        } else {
            int hops = -1;
            node->GetAttr(JexGateway::HOP_COUNT, hops);
            EXPECT_EQ(hops, (ItemShortOf(items['h']) + 1) & 0xFFFF);
        }
    }
}

TEST_F(AnsweringSide, IncompleteConnectIsAnsweredByNothing) {
    Start("");
    Items c = ConnectItems();
    c.erase('V');
    ASSERT_TRUE(caller.Send('C', c));
    EXPECT_EQ(Result(), JexGateway::PROTOCOL);
    EXPECT_EQ(StateName(*node), "ERROR");
    // The connection is closed at once, not kept until the gateway ends.
    EXPECT_EQ(node->Transport(0), nullptr);
    EXPECT_EQ(node->Transport(1), nullptr);
    EXPECT_EQ(caller.ReceiveAll(), "");
}

TEST_F(AnsweringSide, RelayPassesTheConnectOnAndCarriesRecordsUntilBothFinish) {
    Start("far/fnode\tT/127.0.0.1/1\t1\nfar\t" + next.Address() + "\t2\n");
    Items c = ConnectItems();
    c['T'] = "far";
    c['N'] = "fnode";
    ASSERT_TRUE(caller.Send('C', c));
    // The first entry cannot be reached; the second one is connected.
    std::vector<JexNetMsg> early(4);
    for (JexNetMsg& r : early) {
        ASSERT_TRUE(caller.Receive(r));
        EXPECT_EQ(r.Type(), 'P');
    }
    EXPECT_EQ(Text(early[0]['/']), "JexGateway::FORWARDED");
    EXPECT_EQ(Text(early[0]['a']), "t/127.0.0.1/1");  // as the route map keeps it
    EXPECT_EQ(Text(early[1]['/']), "JexGateway::TRANSPORTERR");
    EXPECT_EQ(Text(early[2]['/']), "JexGateway::FORWARDED");
    EXPECT_EQ(Text(early[3]['/']), "JexGateway::OK");
    EXPECT_EQ(Text(early[3]['1']), "<absent>");  // no argument left from before
    EXPECT_EQ(Text(early[3][':']), "<absent>");  // nor a cause

    JexNetMsg onward;
    TakeOnward(next, onward);
    EXPECT_EQ(Text(onward['h']), Short(1));
    EXPECT_EQ(Text(onward['y']), "cli/cnode");
    const std::string path = Text(onward['P']);
    EXPECT_EQ(Text(early[3]['P']), path);
    const auto newline = path.find('\n');
    ASSERT_NE(newline, std::string::npos);
    const std::string mine = path.substr(newline + 1);
    EXPECT_EQ(mine.rfind("srv/snode|", 0), 0u) << mine;
    // System id, platform, incoming link, onward link.
    EXPECT_EQ(std::count(mine.begin(), mine.end(), '|'), 3) << mine;
    EXPECT_EQ(std::count(mine.begin(), mine.end(), '&'), 2) << mine;

    next.Send('P', Answer("JexGateway::FORWARDED"));
    next.Send('H', Answer());
    EXPECT_EQ(Until('H'), "PH");

    // The relay: records pass unchanged in both directions.
    ASSERT_TRUE(caller.Send('D', {{'D', "up"}}));
    JexNetMsg r;
    ASSERT_TRUE(next.Receive(r));
    EXPECT_EQ(Text(r['D']), "up");
    ASSERT_TRUE(next.Send('D', {{'D', "down"}}));
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(Text(r['D']), "down");
    ASSERT_TRUE(caller.Send('F', {}));
    ASSERT_TRUE(next.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    ASSERT_TRUE(next.Send('F', {}));
    ASSERT_TRUE(caller.Receive(r));
    EXPECT_EQ(r.Type(), 'F');
    next.Close();
    caller.Close();
    EXPECT_EQ(Result(), JexGateway::FORWARDED) << node->Describe(1).Text();
    EXPECT_EQ(StateName(*node), "DONE");
    EXPECT_EQ(node->Transport(0), nullptr);
    EXPECT_EQ(node->Transport(1), nullptr);
}

// What the next gateway answers the relaying node, and how it ends.
struct OnwardCase {
    const char* name;
    int redirectCount;  // carried in by the caller's CONNECT
    int maxRedirects;
    std::function<void(ScriptedPeer& next, ScriptedPeer& second)> script;
    std::string callerSees;  // record types until the connection closes
    int code;
    const char* state;
};

TEST_F(AnsweringSide, AnswersOfTheNextGateway) {
    const OnwardCase cases[] = {
        {"reject", 0, 5,
         [](ScriptedPeer& n, ScriptedPeer&) { n.Send('J', Answer("JexGateway::NOPATH")); }, "PPJ",
         JexGateway::REJECTED, "ERROR"},
        {"response", 0, 5, [](ScriptedPeer& n, ScriptedPeer&) { n.Send('R', Answer()); }, "PP",
         JexGateway::PROTOCOL, "ERROR"},
        {"incomplete answer", 0, 5,
         [](ScriptedPeer& n, ScriptedPeer&) {
             Items a = Answer();
             a.erase('y');
             n.Send('H', a);
         },
         "PP", JexGateway::PROTOCOL, "ERROR"},
        {"redirect past the limit", 2, 3,
         [](ScriptedPeer& n, ScriptedPeer&) { n.Send('r', Answer("JexGateway::REDIRECTED")); },
         "PPP", JexGateway::TULIPS, "ERROR"},
        {"redirect followed", 0, 5,
         [](ScriptedPeer& n, ScriptedPeer& s) {
             Items r = Answer("JexGateway::REDIRECTED");
             r['a'] = s.Address();
             n.Send('r', r);
             ASSERT_TRUE(s.Accept());
             JexNetMsg again;
             ASSERT_TRUE(s.Receive(again));
             EXPECT_EQ(Text(again['r']), Short(1));
             s.Send('J', Answer("JexGateway::WEEDS"));
         },
         "PPPPJ", JexGateway::REJECTED, "ERROR"},
        // The failed entry is reported and, with no entry left, refused.
        {"closed without an answer", 0, 5, [](ScriptedPeer& n, ScriptedPeer&) { n.Close(); },
         "PPPJ", JexGateway::NOPATH, "ERROR"},
    };
    for (const OnwardCase& c : cases) {
        SCOPED_TRACE(c.name);
        node = std::make_unique<QuietGateway>();
        caller.Close();
        ASSERT_TRUE(caller.Connect(entry.Port()));
        ASSERT_TRUE(entry.Accept());
        ::setenv("JEX_NET_HANDLE", std::to_string(entry.Release()).c_str(), 1);
        Start("far\t" + next.Address() + "\n");
        Items items = ConnectItems();
        items['T'] = "far";
        items['r'] = Short(c.redirectCount);
        items['R'] = Short(c.maxRedirects);
        ASSERT_TRUE(caller.Send('C', items));
        JexNetMsg onward;
        TakeOnward(next, onward);
        c.script(next, second);
        const int code = Result();
        EXPECT_EQ(code, c.code) << node->Describe(1).Text();
        EXPECT_EQ(StateName(*node), c.state);
        if (c.code != JexGateway::PROTOCOL) {
            EXPECT_EQ(caller.ReceiveAll(), c.callerSees);
        } else {
            // Nothing more was sent; the connection stays with the gateway.
            node = std::make_unique<QuietGateway>();
            EXPECT_EQ(caller.ReceiveAll(), c.callerSees);
        }
        next.Close();
        second.Close();
    }
}

TEST_F(AnsweringSide, CallerLostWhileWaitingSendsNetfailOnward) {
    Start("far\t" + next.Address() + "\n");
    Items items = ConnectItems();
    items['T'] = "far";
    ASSERT_TRUE(caller.Send('C', items));
    JexNetMsg onward;
    TakeOnward(next, onward);
    EXPECT_EQ(Until('P'), "P");
    caller.Close();
    // The node learns of the lost caller when its next write to it fails.
    for (int i = 0; i < 50 && result.wait_for(0s) != std::future_status::ready; ++i) {
        next.Send('P', Answer("JexGateway::FORWARDED"));
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(Result(), JexGateway::TRANSPORTERR) << node->Describe(1).Text();
    EXPECT_EQ(next.ReceiveAll().back(), 'f');
}

}  // namespace
