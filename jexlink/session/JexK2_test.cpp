// Tests of the K2 object without a peer: its text table, states, attributes, environment, trace
// and the requests refused before any connection.
#include "jexlink/session/JexK2.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

std::string Arg(const JexException& e, int i) {
    const JexBuffer& a = e.Args()[i];
    return a.Data() ? std::string(a.Data(), static_cast<size_t>(a.Length())) : std::string();
}

// Each test runs in a process of its own: the environment is its own too.
class JexK2Test : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : {"JEXK2_TRACE", "JEXK2_HOP_LIMIT", "JEXK2_SRC_ACID",
                                 "JEXK2_SRC_NODE", "JEXK2_DST_ACID", "JEXK2_DST_NODE"})
            unsetenv(name);
    }
};

// The class's own rows; the reserved rows around them are checked for every
// table by testing/TextTables_test.cpp.
TEST_F(JexK2Test, TextTableRows) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    };
    const std::vector<Row> expected = {
        {0, "JexK2::OK", "Operation successful"},
        {1, "JexK2::ATTRNOTINT", "Attribute \"%s\" (enum=%d) is not an integer"},
        {2, "JexK2::ATTRNOTSTRING", "Attribute \"%s\" (enum=%d) is not a string"},
        {3, "JexK2::ATTRREADONLY", "Attribute \"%s\" (enum=%d) is read-only"},
        {4, "JexK2::BADATTR", "Invalid attribute (enum=%2$d) specified"},
        {5, "JexK2::BADATTRVALUE", "Invalid \"%s\" (enum=%d) attribute value specified (%s)"},
        {6, "JexK2::BADCHECK", "Signature check failed at server %s"},
        {7, "JexK2::BADREQUEST", "Invalid request at server %s, type=%d"},
        {8, "JexK2::BADSIGN", "Signature creation failed at server %s"},
        {9, "JexK2::BADTYPE", "Invalid cryptographic method \"%s\""},
        {10, "JexK2::CHUCKED", "K2 connection rejected by server %s"},
        {11, "JexK2::CLOVER", "K2 connection in the clover: Hop limit of %d exceeded"},
        {12, "JexK2::CRYPTOFAIL", "Failed to create cryptographic method \"%s\""},
        {13, "JexK2::NODSTACID", "No destination access identifier has been specified"},
        {14, "JexK2::NODSTNODE", "No destination node has been specified"},
        {15, "JexK2::NOSRCACID", "No source access identifier has been specified"},
        {16, "JexK2::RECVFAIL", "RPC JexSession receive failure, server=%s"},
        {17, "JexK2::REMOTEFAIL", "Remote authentication failure at %s"},
        {18, "JexK2::SENDFAIL", "RPC JexSession send failure, server=%s"},
        {19, "JexK2::SESSIONFAIL", "Failed to create session to server %s"},
        {20, "JexK2::WRONGSTATE", "JexK2 in wrong state (%s) for operation"},
        {21, "JexK2::FAILURE", "Operation failed"},
    };
    size_t i = 0;
    for (const JexTextRow* row = JexK2::kTextTable + 2; row->code != JexException::kEndOfTable;
         ++row, ++i) {
        ASSERT_LT(i, expected.size());
        EXPECT_EQ(row->code, expected[i].code);
        EXPECT_STREQ(row->name, expected[i].name);
        EXPECT_STREQ(row->text, expected[i].text);
    }
    EXPECT_EQ(i, expected.size());

    JexK2 k2;
    k2.ExcSet(JexK2::BADREQUEST, JexExcArgs("here", "k2/kay/Jex_K2", 81));
    EXPECT_STREQ(k2.FormattedText(1).Text(),
                 "JexK2::BADREQUEST, Invalid request at server k2/kay/Jex_K2, type=81");
    k2.ExcSet(JexK2::CLOVER, JexExcArgs("here", 1));
    EXPECT_STREQ(k2.FormattedText(0).Text(),
                 "K2 connection in the clover: Hop limit of 1 exceeded");
}

TEST_F(JexK2Test, StateNames) {
    const std::vector<const char*> names = {
        "*Invalid State*", "IDLE",      "ACTIVE_CLIENT", "ACTIVE_SERVER", "IDLE_CLIENT",
        "IDLE_SERVER",     "LISTENING", "REJECTED",      "ERROR",         "*Invalid State*"};
    for (int state = 0; state < static_cast<int>(names.size()); ++state)
        EXPECT_STREQ(JexK2::StateName(state), names[static_cast<size_t>(state)]) << state;
    EXPECT_STREQ(JexK2::StateName(-1), "*Invalid State*");
}

TEST_F(JexK2Test, RequestsOnAnIdleObjectAreInTheWrongState) {
    JexK2 k2;
    k2.SetSuppress(1);
    JexNetMsg msg('D');
    JexBuffer signature, mask(32), data;
    const std::vector<std::pair<const char*, std::function<int()>>> calls = {
        {"JexK2::Context", [&] { return k2.Context("a", "b", "MD5"); }},
        {"JexK2::Sign", [&] { return k2.Sign(msg, signature, mask); }},
        {"JexK2::Check", [&] { return k2.Check(msg, signature, mask); }},
        {"JexK2::Server", [&] { return k2.Server(); }},
        {"JexK2::Accept", [&] { return k2.Accept(data); }},
        {"JexK2::Reject", [&] { return k2.Reject("no"); }},
    };
    for (const auto& [routine, call] : calls) {
        SCOPED_TRACE(routine);
        EXPECT_EQ(call(), JexK2::WRONGSTATE);
        EXPECT_EQ(Arg(k2, 0), routine);
        EXPECT_EQ(Arg(k2, 1), "IDLE");
        EXPECT_EQ(k2.GetState(), JexK2::IDLE);
    }
    // Nothing to end: nothing is sent.
    EXPECT_EQ(k2.Disconnect(), 0);
    EXPECT_EQ(k2.GetState(), JexK2::IDLE);
}

TEST_F(JexK2Test, IntegerAttributes) {
    JexK2 k2;
    k2.SetSuppress(1);
    EXPECT_EQ(k2.HopCount(), 0);
    EXPECT_EQ(k2.HopLimit(), 1);
    EXPECT_EQ(k2.SetAttr(JexK2::HOP_COUNT, 7), 0);
    EXPECT_EQ(k2.SetAttr(JexK2::HOP_LIMIT, 70000), 0);  // cut to 16 bits
    EXPECT_EQ(k2.HopCount(), 7);
    EXPECT_EQ(k2.HopLimit(), 70000 & 0xffff);

    struct Case {
        int attribute;
        int code;
        const char* name;
    } cases[] = {
        {JexK2::STATE, JexK2::ATTRREADONLY, "STATE"},
        {7, JexK2::BADATTR, "Unknown attribute"},
        {0, JexK2::BADATTR, "Unknown attribute"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.attribute);
        EXPECT_EQ(k2.SetAttr(static_cast<JexK2::Attribute>(c.attribute), 5), c.code);
        EXPECT_EQ(Arg(k2, 0), "JexK2::SetAttr(Attribute, int)");
        EXPECT_EQ(Arg(k2, 1), c.name);
        EXPECT_EQ(k2.Args()[2].GetLong(), c.attribute);
        EXPECT_EQ(k2.Args()[3].GetLong(), 5);
    }
}

TEST_F(JexK2Test, SessionTextAttributes) {
    JexK2 k2;
    k2.SetSuppress(1);
    EXPECT_EQ(k2.SetAttr(JexSession::SRC_ACID, "alpha,beta"), 0);
    JexString value;
    k2.Session().GetAttr(JexSession::SRC_ACID, value);
    EXPECT_STREQ(value.Text(), "alpha,beta");
    EXPECT_EQ(k2.SetAttr(JexSession::AUTHENTICATION, "md5"), 0);
    // A refusal of the session comes back with the session's error beneath.
    EXPECT_EQ(k2.SetAttr(JexSession::ENCRYPTION, "MD5"), JexK2::SESSIONFAIL);
    ASSERT_NE(k2.Cause(), nullptr);
    EXPECT_EQ(k2.Cause()->Code(), JexSession::BADATTRVALUE);
    EXPECT_EQ(k2.SetAttr(JexSession::APPLICATION, "x"), JexK2::SESSIONFAIL);
    // The K2 session joins each access id with its side's first node.
    int nodeAuth = 0;
    k2.Session().GetAttr(JexSession::NODE_AUTH, nodeAuth);
    EXPECT_EQ(nodeAuth, 1);
}

TEST_F(JexK2Test, EnvironmentSwitches) {
    struct Case {
        const char* limit;
        int expected;
    } limits[] = {{"0x10", 16}, {"010", 8}, {"3", 3}, {"junk", 1}, {"", 1}, {"65537", 1}};
    for (const Case& c : limits) {
        setenv("JEXK2_HOP_LIMIT", c.limit, 1);
        JexK2 k2;
        EXPECT_EQ(k2.HopLimit(), c.expected) << c.limit;
    }
    struct Trace {
        const char* letters;
        uint32_t flags;
    } traces[] = {{"SD", JexK2::kTraceState | JexK2::kTraceData},
                  {"h", JexK2::kTraceConnect},
                  {"*", 0xffffffffu},
                  {"xyz", 0},
                  {"", 0}};
    for (const Trace& t : traces) {
        setenv("JEXK2_TRACE", t.letters, 1);
        JexK2 k2;
        EXPECT_EQ(k2.TraceFlags(), t.flags) << t.letters;
    }
}

TEST_F(JexK2Test, StateTraceLine) {
    setenv("JEXK2_TRACE", "s", 1);
    JexK2 k2;
    ::testing::internal::CaptureStderr();
    k2.Disconnect();
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string head = "\nJexK2 State Transition: JexK2::Disconnect (0x";
    const std::string tail = ") - IDLE => IDLE\n";
    ASSERT_GT(err.size(), head.size() + tail.size()) << err;
    EXPECT_EQ(err.substr(0, head.size()), head);
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    const std::string address = err.substr(head.size(), err.size() - head.size() - tail.size());
    EXPECT_EQ(address.find_first_not_of("0123456789abcdef"), std::string::npos) << err;
}

TEST_F(JexK2Test, ConnectWithoutARouteFailsTheSession) {
    setenv("JEXGATEWAY_ROUTEMAP", "/nonexistent/route.map", 1);
    JexK2 k2;
    k2.SetSuppress(1);
    ASSERT_EQ(k2.SetAttr(JexSession::SRC_ACID, "alpha"), 0);
    EXPECT_EQ(k2.Connect("k2", "kay"), JexK2::SESSIONFAIL);
    EXPECT_EQ(Arg(k2, 1), "k2/kay/Jex_K2");
    EXPECT_STREQ(k2.ServerName().Text(), "k2/kay/Jex_K2");
    ASSERT_NE(k2.Cause(), nullptr);
    EXPECT_STREQ(k2.Cause()->ClassName().Text(), "JexSession");
    EXPECT_EQ(k2.GetState(), JexK2::ERROR);
    // A failed object only disconnects.
    EXPECT_EQ(k2.Connect("k2", "kay"), JexK2::WRONGSTATE);
    EXPECT_EQ(Arg(k2, 1), "ERROR");
    EXPECT_EQ(k2.Disconnect(), 0);
    EXPECT_EQ(k2.GetState(), JexK2::IDLE);
}

}  // namespace
