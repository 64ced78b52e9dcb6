// Tests of the session fuzz target's ground: recorded conversations replay against one end, in
// memory and over a real loopback connection.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "fuzz/SessionFuzzScript.h"
#include "jexlink/transport/JexGateway.h"
#include "testing/support/SessionServer.h"
#include "testing/support/TempDir.h"

namespace {

using fuzz_support::SessionCase;
using tavro::testing::LinkRecord;

using fuzz_support::RecordedCase;

class SessionTranscript : public ::testing::TestWithParam<RecordedCase> {
protected:
    void SetUp() override { fuzz_support::UseSessionKeys(); }
};

// Both ends run to the end over blocking memory pipes; each end alone then
// runs to the end again against what the other said, which is what the
// fuzzer starts from. A difference shows a conversation that does not
// replay (a challenge or another value that changes from run to run).
TEST_P(SessionTranscript, EachEndReplaysAloneAgainstTheOthersRecord) {
    const SessionCase how = SessionCase::Of(GetParam().byte);
    const fuzz_support::Conversation talk = fuzz_support::Converse(how);
    ASSERT_TRUE(talk.clientDone);
    ASSERT_TRUE(talk.serverDone);
    ASSERT_GE(talk.clientSaid.size(), how.reject ? 2u : 5u);
    // The records, framed again, are the bytes the gateways wrote.
    EXPECT_EQ(tavro::testing::FramesOf(talk.clientSaid), talk.clientStream);
    EXPECT_EQ(tavro::testing::FramesOf(talk.serverSaid), talk.serverStream);

    SessionCase server = how;
    server.client = false;
    tavro::testing::MemoryPipe serverOut;
    EXPECT_TRUE(fuzz_support::RunEnd(server, talk.clientSaid, &serverOut));
    SessionCase client = how;
    client.client = true;
    tavro::testing::MemoryPipe clientOut;
    EXPECT_TRUE(fuzz_support::RunEnd(client, talk.serverSaid, &clientOut));

    // Alone, each end says as many records as in the conversation.
    EXPECT_EQ(tavro::testing::RecordsOfStream(serverOut.Bytes()).size(), talk.serverSaid.size());
    EXPECT_EQ(tavro::testing::RecordsOfStream(clientOut.Bytes()).size(), talk.clientSaid.size());

    // So does each as the fuzz target runs it, from the seed recorder's
    // input, whose records it frames as the gateway sent them.
    for (bool clientEnd : {false, true}) {
        const uint8_t byte =
            static_cast<uint8_t>(clientEnd ? GetParam().byte | 1 : GetParam().byte);
        const std::string input =
            fuzz_support::InputOf(byte, clientEnd ? talk.serverSaid : talk.clientSaid);
        const auto* bytes = reinterpret_cast<const uint8_t*>(input.data());
        std::string framed;
        fuzz_support::FramesOfInput(bytes + 1, input.size() - 1, framed);
        EXPECT_EQ(framed, clientEnd ? talk.serverStream : talk.clientStream);
        EXPECT_TRUE(fuzz_support::RunInput(bytes, input.size()))
            << (clientEnd ? "client" : "server");
    }
}

// A record of the conversation cut short anywhere ends the replay with a
// failure, never a hang or a success.
TEST_P(SessionTranscript, ReplayCutShortFails) {
    const SessionCase how = SessionCase::Of(GetParam().byte);
    const fuzz_support::Conversation talk = fuzz_support::Converse(how);
    ASSERT_TRUE(talk.clientDone && talk.serverDone);
    for (bool clientEnd : {false, true}) {
        SessionCase end = how;
        end.client = clientEnd;
        const std::vector<LinkRecord>& said = clientEnd ? talk.serverSaid : talk.clientSaid;
        for (size_t keep = 0; keep + 1 < said.size(); ++keep) {
            // A rejected client's last records (the FINISH exchange) are not needed.
            if (how.reject && clientEnd) break;
            const std::vector<LinkRecord> part(said.begin(), said.begin() + keep);
            EXPECT_FALSE(fuzz_support::RunEnd(end, part))
                << (clientEnd ? "client" : "server") << " with " << keep << " records";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, SessionTranscript,
                         ::testing::ValuesIn(fuzz_support::kRecordedCases), [](const auto& param) {
                             std::string name = param.param.name;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

// The same paths over a real connection: a server session adopts a
// loopback connection and runs to the end against a client's recorded
// records, sent by a plain gateway that reached it through the route map.
TEST(SessionTranscriptOverTcp, ServerRunsRecordedClientToTheEnd) {
    fuzz_support::UseSessionKeys();
    const SessionCase how = SessionCase::Of(0x0A);  // MD5, LZW
    const fuzz_support::Conversation talk = fuzz_support::Converse(how);
    ASSERT_TRUE(talk.clientDone && talk.serverDone);

    tavro::testing::TempDir dir;
    tavro::testing::SessionServer server;
    ASSERT_TRUE(server.Listening());
    const std::string routeMap = (dir.Path() / "route.map").string();
    std::ofstream(routeMap) << server.RouteLine("srv", "snode", fuzz_support::kSessionApp);

    bool serverDone = false;
    ASSERT_TRUE(server.Serve([&](JexSession& s) {
        SessionCase end = how;
        end.client = false;
        serverDone = fuzz_support::RunServer(s, end);
    }));
    {
        JexGateway g;
        g.SetSuppress(1);
        g.SetAttr(JexGateway::ACID, "cli");
        g.SetAttr(JexGateway::NODE, "cnode");
        g.SetAttr(JexGateway::ROUTE_MAP, routeMap.c_str());
        ASSERT_EQ(g.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                            JexString(fuzz_support::kSessionApp)),
                  0);
        for (const LinkRecord& r : talk.clientSaid) {
            if (!r.raw) {
                ASSERT_EQ(g.PutMsg(JexBuffer(
                              JexBufferBase(r.bytes.data(), static_cast<int>(r.bytes.size())))),
                          0);
                continue;
            }
            JexNetMsg record;
            record.Decode(r.bytes.data(), static_cast<int>(r.bytes.size()));
            ASSERT_EQ(g.send_record(g.activeSide, record), 0);
        }
        // The gateway stays open until the server has read everything.
        ASSERT_TRUE(server.Join());
    }
    EXPECT_TRUE(serverDone);
}

}  // namespace
