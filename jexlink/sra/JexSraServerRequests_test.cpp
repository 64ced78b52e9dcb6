// Tests of the "Jex_Sra" server's work on existing requests (augment, review, fetch) with their
// clients, its work files and its failures of the session.
#include "jexlink/sra/SraServerTestSupport.h"

namespace {

using namespace tavro::testing::sra_server;

TEST_F(JexSraServerTest, Augment) {
    Install::Get().Limit(77);
    Served served;
    RawClient client;
    RawClient::Msg reply;
    served.Run([&] {
        ASSERT_EQ(client.Open(Connect("1")), 0);
        EXPECT_EQ(client.Reply().Type(), 0);
        EXPECT_EQ(JexSraSizeLimit(client.Reply()), 77u);
        client.Line("more");
        client.Line("text");
        client.End();
        reply = client.Next();
        client.Session().Disconnect();
    });
    EXPECT_EQ(reply.Type(), kSraSuccess);
    EXPECT_EQ(served.status, JexSra::OK);
    EXPECT_EQ(served.backEnd.work, served.Header("SRQ$SR-9") + "\x05more\n\x05text\n");
}

TEST_F(JexSraServerTest, Review) {
    Served served;
    served.backEnd.units = {"a\n\nb", "second", ""};
    RawClient client;
    std::vector<std::string> got;
    // Sends a query and collects the lines up to Z (or "F:code").
    auto query = [&](const char* n) {
        JexNetMsg q(kSraQuery);
        JexSraSetText(q[kSraItemWorkUnit], JexString(n));
        client.Send(q);
        std::string unit;
        for (;;) {
            RawClient::Msg m = client.Next();
            if (m.Type() == kSraData) {
                unit += Bytes(m[kSraItemLine]) + "|";
                continue;
            }
            if (m.Type() == kSraFailure) unit += "F:" + std::to_string(Unload(m.m).code);
            break;
        }
        got.push_back(unit);
    };
    served.Run([&] {
        ASSERT_EQ(client.Open(Connect("2")), 0);
        EXPECT_EQ(client.Reply().Type(), 0);
        EXPECT_EQ(Bytes(client.Reply()['1']), "3");
        query("2");
        query("1");
        query("3");
        query("1");
        query("4");
        client.Session().Disconnect();
    });
    EXPECT_EQ(got, (std::vector<std::string>{"second|", "a||b|", "", "a||b|", "F:45"}));
    EXPECT_EQ(served.status, JexSra::WORKUNITNOTEXIST);
}

TEST_F(JexSraServerTest, ReviewEnds) {
    const struct {
        const char* name;
        int type;  // what the client sends
        int status;
        int reply;  // what the client then gets
    } cases[] = {
        {"end message", kSraEnd, JexSra::OK, 0xFF},
        {"success reply", kSraSuccess, JexSra::PROTOCOLERR, kSraFailure},
        {"query for unit 0", kSraQuery, JexSra::WORKUNITNOTEXIST, kSraFailure},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        served.backEnd.units = {"only"};
        RawClient client;
        RawClient::Msg reply;
        served.Run([&] {
            ASSERT_EQ(client.Open(Connect("2")), 0);
            JexNetMsg m(c.type);
            if (c.type == kSraQuery) JexSraSetText(m[kSraItemWorkUnit], JexString("0"));
            client.Send(m);
            reply = client.NextAndLeave();
        });
        EXPECT_EQ(served.status, c.status);
        EXPECT_EQ(reply.Type(), c.reply);
    }
}

TEST_F(JexSraServerTest, FetchList) {
    const struct {
        const char* name;
        bool with_back_end;
        int back_end_status;
        std::vector<std::string> messages;
    } cases[] = {
        {"the back-end's lines", true, 0, {"D:first", "D:", "D:third", "Z"}},
        {"back-end fails", true, JexSra::NOOPENSRQ, {"F:25"}},
        {"no back-end", false, 0, {"F:19"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        served.backEnd.status = c.back_end_status;
        RawClient client;
        std::vector<std::string> got;
        served.Run(
            [&] {
                JexNetMsg connect = Connect("3");
                JexSraSetText(connect[kSraItemBefore], JexString("5 March 2001"));
                ASSERT_EQ(client.Open(connect), 0);
                EXPECT_EQ(client.Reply().Type(), kSraAccept);
                for (;;) {
                    RawClient::Msg m = client.Next();
                    if (m.Type() == kSraData) {
                        got.push_back("D:" + Bytes(m[kSraItemLine]));
                        continue;
                    }
                    if (m.Type() == kSraEnd) got.push_back("Z");
                    if (m.Type() == kSraFailure)
                        got.push_back("F:" + std::to_string(Unload(m.m).code));
                    break;
                }
                client.Session().Disconnect();
            },
            c.with_back_end);
        EXPECT_EQ(got, c.messages);
        EXPECT_EQ(served.status, c.with_back_end ? c.back_end_status : JexSra::LISTNOTAVAIL);
        if (c.with_back_end) {
            EXPECT_EQ(served.backEnd.work,
                      served.Header("OPENCALLS/before=5-MAR-2001/created", "The subject"));
        }
    }
}

// The augment, review and list-fetch clients against the server.
TEST_F(JexSraServerTest, AugmentClient) {
    const struct {
        const char* name;
        int back_end_status;
        int result;
    } cases[] = {
        {"back-end takes it", 0, JexSra::OK},
        {"back-end fails", JexSra::NOPRODUCTS, JexSra::PROBAUGFAIL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Served served;
        served.backEnd.status = c.back_end_status;
        int rc = -1;
        served.Run([&] {
            JexSession session;
            JexSraAugmentSrq augment(&session, "sr-9", "More", "line one\nline two");
            rc = augment.Augment();
        });
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(served.status, c.back_end_status);
        EXPECT_EQ(served.backEnd.work, served.Header("SRQ$SR-9", "More", ClientContact()) +
                                           "\x05line one\n\x05line two\n");
    }
}

TEST_F(JexSraServerTest, ReviewClient) {
    Served served;
    served.backEnd.units = {"a\n\nb", "second"};
    int count = -1;
    std::vector<std::string> texts;
    served.Run([&] {
        JexSession session;
        JexSraReviewSrq review(&session, "SR-9");
        EXPECT_EQ(review.GetAttr(JexSra::SRQ_WORK_UNIT_COUNT, count), 0);
        for (int unit : {2, 1}) {
            JexString text;
            EXPECT_EQ(review.Review(unit, text), 0) << unit;
            texts.push_back(text.Text());
        }
    });
    EXPECT_EQ(count, 2);
    EXPECT_EQ(texts, (std::vector<std::string>{"second\n", "a\n\nb\n"}));
    // The client ends the connection by disconnecting once it has every unit.
    EXPECT_EQ(served.status, JexSra::PROTOCOLERR);
}

TEST_F(JexSraServerTest, FetchClient) {
    Served served;
    int rc = -1;
    JexString list;
    served.Run([&] {
        JexSession session;
        JexSraFetchList fetch(&session, 2);
        fetch.SetAttr(JexSra::SRQ_BEFORE, "5 March 2001");
        rc = fetch.Fetch(list);
    });
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(list.Text(), "first\n\nthird\n");
    EXPECT_EQ(served.status, JexSra::OK);
    EXPECT_EQ(served.backEnd.work,
              served.Header("OPENCALLS/before=5-MAR-2001/created", "", ClientContact()));
}

// The serving server over an in-memory session.
struct InMemory {
    tavro::testing::SraMemoryLink link;
    ServingServer server;
    TestBackEnd backEnd;
    int status = -1;

    void Run(const JexNetMsg& connect, const std::vector<std::string>& messages) {
        link.chunks = {Bytes(connect.Encode()), "x|TARNIX"};
        link.chunks.insert(link.chunks.end(), messages.begin(), messages.end());
        server.SetBackEnd(&backEnd);
        testing::internal::CaptureStderr();
        status = server.Serve(link);
        testing::internal::GetCapturedStderr();
    }
};

// The client's access id goes into the work file's name only as a short run
// of harmless characters.
TEST_F(JexSraServerTest, WorkFileNames) {
    const struct {
        std::string acid;
        std::string suffix;
    } cases[] = {
        {"cli", "cli"},
        {"../../x y/z", ".._.._x_y_z"},
        {"c*li", "c_li"},
        {std::string(200, 'a'), std::string(JexSraServer::kMaxAcidInName, 'a')},
        {"A-b_9.\x01\xff", "A-b_9.__"},
    };
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "jex_sra_%8.8x", static_cast<unsigned>(::getpid()));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.acid);
        InMemory run;
        run.link.acid = c.acid;
        run.Run(Connect("0"), {"Z"});
        EXPECT_EQ(run.status, JexSra::OK);
        const std::string& name = run.backEnd.work_name;
        ASSERT_EQ(name.size(), 8 + 8 + 10 + 1 + c.suffix.size()) << name;
        EXPECT_EQ(name.substr(0, 16), prefix);
        EXPECT_EQ(name.find_first_not_of("0123456789", 16), 26u) << name;
        EXPECT_EQ(name.substr(27), c.suffix);
        EXPECT_EQ(run.link.sent.back()[1], kSraSuccess);
        EXPECT_TRUE(Install::Get().WorkFiles().empty());
    }
}

// A file of the same name is never reused or truncated.
TEST_F(JexSraServerTest, WorkFilesAreCreatedExclusively) {
    std::vector<std::string> taken;
    const long long now = static_cast<long long>(std::time(nullptr));
    for (long long t = now; t < now + 3; ++t) {
        char name[64];
        std::snprintf(name, sizeof name, "jex_sra_%8.8x%10.10lld.cli",
                      static_cast<unsigned>(::getpid()), t);
        taken.push_back(name);
        WriteFile(name, "precious");
    }
    InMemory run;
    run.Run(Connect("0"), {"dline", "Z"});
    EXPECT_EQ(run.status, JexSra::OK);
    EXPECT_EQ(run.backEnd.work_name.substr(run.backEnd.work_name.size() - 2), "_1");
    for (const auto& name : taken) {
        EXPECT_EQ(ReadFile(name), "precious");
        std::filesystem::remove(name);
    }
}

// Where the session fails, the connection ends and the process goes on.
TEST_F(JexSraServerTest, SessionFailuresEndOnlyTheConnection) {
    const struct {
        const char* name;
        int session_code;
        bool connection;
        int status;
        const char* context;
    } cases[] = {
        {"settings refused", JexSession::BADATTRVALUE, true, JexSra::SESSIONERR,
         "JexSraServer::Server() ROUTE_MAP refused"},
        {"nothing to listen on", 0, false, JexSra::LISTENERR,
         "JexSraServer::Server() Listen failed"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        InMemory run;
        run.link.code = c.session_code;
        if (c.connection) {
            run.Run(Connect("0"), {"Z"});
        } else {
            run.server.SetBackEnd(&run.backEnd);
            run.status = run.server.Serve(run.link);
        }
        EXPECT_EQ(run.status, c.status);
        EXPECT_EQ(run.server.Code(), c.status);
        EXPECT_EQ(Bytes(run.server.Args()[0]), c.context);
        EXPECT_TRUE(run.link.sent.empty());
    }
}

TEST_F(JexSraServerTest, WorkFileThatCannotBeCreated) {
    const std::filesystem::path gone = Install::Get().Path() / "gone";
    std::filesystem::create_directories(gone);
    ASSERT_EQ(::chdir(gone.c_str()), 0);
    std::filesystem::remove(gone);
    InMemory run;
    run.Run(Connect("0"), {"dline", "Z"});
    ASSERT_EQ(::chdir(Install::Get().Path().c_str()), 0);
    EXPECT_EQ(run.status, JexSra::FILEOPENERR);
    EXPECT_EQ(Bytes(run.server.Args()[0]), "JexSra::Server()File open Error");
    ASSERT_EQ(run.link.sent.size(), 2u);
    EXPECT_EQ(run.link.sent[0][0], 'A');
    EXPECT_EQ(run.link.sent[1].substr(0, 2), "PF");
    EXPECT_EQ(run.link.state, 3);
    EXPECT_EQ(run.backEnd.calls, 0);
}

// A client that hangs up before the end of its request gets no answer, and
// the server's history record says the request failed and why.
TEST_F(JexSraServerTest, RequestAbandonedByTheClientIsRecordedAsFailed) {
    const std::filesystem::path log = Install::Get().Path() / "logs" / "jex_history.log";
    const struct {
        const char* kind;
        int status;
        const char* name;
    } cases[] = {
        {"0", JexSra::PROBSUBFAIL, "PROBSUBFAIL"},
        {"1", JexSra::PROBAUGFAIL, "PROBAUGFAIL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.kind);
        std::filesystem::remove(log);
        {
            InMemory run;
            run.Run(Connect(c.kind), {"dline"});
            EXPECT_EQ(run.status, c.status);
            EXPECT_EQ(run.server.Code(), c.status);
            ASSERT_EQ(run.link.sent.size(), 1u);  // the accept, no reply
            EXPECT_EQ(run.link.sent[0][0], 'A');
            EXPECT_EQ(run.backEnd.calls, 0);
            const std::string text = run.server.Describe(1).Text();
            EXPECT_NE(text.find("The client ended before the end of the request"),
                      std::string::npos)
                << text;
        }
        const std::string record = ReadFile(log);
        const size_t status = record.find("Exit-Status");
        ASSERT_NE(status, std::string::npos) << record;
        const std::string line = record.substr(status, record.find('\n', status) - status);
        EXPECT_EQ(line.find("SUCCESSFUL"), std::string::npos) << line;
        EXPECT_NE(line.find(c.name), std::string::npos) << line;
    }
}

}  // namespace
