// Tests of the exception base: text tables, handlers, causes, re-raising and the subclasses.
#include "jexlink/core/JexException.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// A class with a table of its own, printed under the name JexSra.
#define TESTSRA_TEXTS(JEX_TEXT)                                                                  \
    JEX_TEXT(0, OK, "Success")                                                                   \
    JEX_TEXT(1, PROBSUBFAIL, "Problem submission failed: %1$s")                                  \
    JEX_TEXT(2, SIZELIMIT, "Your submission of %1$d bytes exceeds the size limit of %2$d bytes") \
    JEX_TEXT(3, REVERSED, "%2$s before %1$s")                                                    \
    JEX_TEXT(4097, EVT_CONNHOST, "Connecting to host %1$s")

class TestSra : public JexException {
public:
    enum : int { TESTSRA_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];
    TestSra() : JexException(kTextTable, "JexSra") {}
    using JexException::LinkCauseForTest;
};

#define JEX_TEXT_CLASS JexSra
const JexTextRow TestSra::kTextTable[] = JEX_TEXT_TABLE(TESTSRA_TEXTS);
#undef JEX_TEXT_CLASS

std::string S(const JexString& s) { return s.Text(); }

TEST(JexTextTable, HasReservedRowsClassRowsAndTerminator) {
    struct Row {
        int code;
        const char* name;
        const char* text;
    } expected[] = {
        {-1, "JexException::EXC_EXTERNAL_MESSAGE", "Your message here"},
        {-3, "JexException::EXC_INFINITE_LOOP", "Infinite exception loop detected"},
        {0, "JexSra::OK", "Success"},
        {1, "JexSra::PROBSUBFAIL", "Problem submission failed: %1$s"},
        {2, "JexSra::SIZELIMIT",
         "Your submission of %1$d bytes exceeds the size limit of %2$d bytes"},
        {3, "JexSra::REVERSED", "%2$s before %1$s"},
        {4097, "JexSra::EVT_CONNHOST", "Connecting to host %1$s"},
        {-2, "JexException::EXC_END_OF_TEXT_TABLE", nullptr},
    };
    const JexTextRow* row = TestSra::kTextTable;
    for (const Row& e : expected) {
        EXPECT_EQ(row->code, e.code);
        EXPECT_STREQ(row->name, e.name);
        if (e.text) {
            EXPECT_STREQ(row->text, e.text);
        } else {
            EXPECT_EQ(row->text, nullptr);
        }
        ++row;
    }
    EXPECT_EQ(TestSra::SIZELIMIT, 2);
    EXPECT_EQ(TestSra::EVT_CONNHOST, 4097);

    TestSra sra;
    for (const Row& e : expected) {
        if (e.code == -2 || e.code == -1) continue;
        EXPECT_EQ(S(sra.CodeName(e.code)), e.name);
        EXPECT_EQ(S(sra.Text(e.code)), e.text);
    }
}

TEST(JexException, UnknownCodeNamesTheCodeAskedFor) {
    TestSra sra;
    sra.SetSuppress(1);
    sra.ExcSet(12);
    EXPECT_EQ(S(sra.Text(12)), "Unknown JexSra exception value: 12");
    EXPECT_EQ(S(sra.CodeName(12)), "JexSra::12");
    EXPECT_EQ(S(sra.Text(77)), "Unknown JexSra exception value: 77");
    EXPECT_EQ(S(sra.CodeName(-2)), "JexSra::-2");  // the terminator is not a row
    JexString out;
    EXPECT_EQ(S(sra.Text(out)), "Unknown JexSra exception value: 12");
    EXPECT_EQ(&sra.CodeName(out), &out);
}

TEST(JexException, ExternalMessageGivesNameAndText) {
    struct Case {
        const char* message;
        const char* name;
        const char* text;
    } cases[] = {
        {"JexSra::PROBSUBFAIL, Problem submission failed", "JexSra::PROBSUBFAIL",
         "Problem submission failed"},
        {"JexSra::PROBSUBFAIL,\t  spaced", "JexSra::PROBSUBFAIL", "spaced"},
        {"no comma at all", "no comma at all", ""},
        {"a,b,c", "a", "b,c"},
    };
    for (const Case& c : cases) {
        TestSra sra;
        sra.SetExternalMessage(JexString(c.message));
        sra.ExcSet(JexException::kExternalMessage);
        EXPECT_EQ(S(sra.CodeName(0)), c.name) << c.message;
        EXPECT_EQ(S(sra.Text(0)), c.text) << c.message;
        EXPECT_EQ(S(sra.FormattedText(1)), std::string(c.name) + ", " + c.text);
    }
}

TEST(JexException, FormatsPositionalArgumentsNotTheLocation) {
    TestSra sra;
    struct Case {
        int code;
        JexExcArgs args;
        const char* expected;
    } cases[] = {
        {TestSra::SIZELIMIT, JexExcArgs("JexSra::Create", 1000, 500),
         "JexSra::SIZELIMIT, Your submission of 1000 bytes exceeds the size limit of 500 bytes"},
        {TestSra::REVERSED, JexExcArgs("loc", "first", JexString("second")),
         "JexSra::REVERSED, second before first"},
        {TestSra::PROBSUBFAIL, JexExcArgs(nullptr, static_cast<const JexBuffer*>(nullptr)),
         "JexSra::PROBSUBFAIL, Problem submission failed: <Null>"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(S(sra.FormatCode(c.code, c.args, 1)), c.expected);
        sra.ExcSet(c.code, c.args);
        EXPECT_EQ(S(sra.FormattedText(1)), c.expected);
    }
    EXPECT_EQ(S(sra.FormatCode(TestSra::REVERSED, JexExcArgs("loc", "a", "b"), 0)), "b before a");
}

TEST(JexExcArgs, BuildsTenArguments) {
    const JexBuffer buffer("bytes");
    const JexString text("text");
    const JexExcArgs args("where", 258, &buffer, text, nullptr, "c");
    EXPECT_STREQ(args[0].Data(), "where");
    EXPECT_EQ(args[1].Length(), 4);
    EXPECT_EQ(args[1].GetLong(), 258);
    EXPECT_EQ(static_cast<unsigned char>(args[1].Data()[0]), 2);  // little-endian
    EXPECT_STREQ(args[2].Data(), "bytes");
    EXPECT_STREQ(args[3].Data(), "text");
    EXPECT_EQ(args[4].Data(), nullptr);
    EXPECT_STREQ(args[5].Data(), "c");
    for (int i = 6; i < JexExcArgs::kCount; ++i) EXPECT_EQ(args[i].Data(), nullptr);
    EXPECT_EQ(JexExcArgs(nullptr)[0].Data(), nullptr);
}

// --- Handlers ---------------------------------------------------------------

struct Calls {
    std::vector<std::string> order;
};

template <int kResult>
int Recording(JexException* raised, void* context) {
    auto* calls = static_cast<std::pair<Calls*, const char*>*>(context);
    calls->first->order.push_back(std::string(calls->second) + ":" +
                                  std::to_string(raised->Code()));
    return kResult;
}

TEST(JexException, HandlersRunNewestFirstUntilOneTakesTheError) {
    TestSra sra;
    Calls calls;
    std::pair<Calls*, const char*> older{&calls, "older"}, newer{&calls, "newer"},
        newest{&calls, "newest"};
    JexHandlerScope a(&sra, Recording<0>, &older);
    JexHandlerScope b(&sra, Recording<1>, &newer);
    {
        JexHandlerScope c(&sra, Recording<1>, &newest);
        EXPECT_EQ(sra.ExcRaise(TestSra::PROBSUBFAIL), 0);
        EXPECT_EQ(calls.order, (std::vector<std::string>{"newest:1", "newer:1", "older:1"}));
    }
    calls.order.clear();
    JexHandlerScope d(&sra, Recording<0>, &newest);
    EXPECT_EQ(sra.ExcRaise(TestSra::OK), 0);
    EXPECT_EQ(calls.order, (std::vector<std::string>{"newest:0"}));  // taken: no further offer
}

TEST(JexException, SuppressedObjectOnlyRecords) {
    TestSra sra;
    sra.SetSuppress(1);
    EXPECT_EQ(sra.ExcRaise(TestSra::PROBSUBFAIL, JexExcArgs("x", "why")), 0);  // no exit
    EXPECT_EQ(sra.Code(), TestSra::PROBSUBFAIL);

    Calls calls;
    std::pair<Calls*, const char*> ctx{&calls, "h"};
    {
        JexHandlerScope scope(&sra, Recording<0>, &ctx);
        EXPECT_EQ(sra.Suppress(), 0);  // a registered handler is offered errors
        sra.Raise();
    }
    EXPECT_EQ(sra.Suppress(), 1);  // restored by the pop
    sra.Raise();
    EXPECT_EQ(calls.order, (std::vector<std::string>{"h:1"}));
}

TEST(JexExceptionDeathTest, UntakenErrorPrintsFullTextAndExitsWithOne) {
    auto raise = [] {
        TestSra sra;
        JexErrno cause(ENOENT, "fopen");
        sra.ExcRaise(TestSra::PROBSUBFAIL, JexExcArgs("JexSra::Create", "no route"), &cause);
    };
    EXPECT_EXIT(raise(), testing::ExitedWithCode(1),
                "--- JexSra::PROBSUBFAIL, Problem submission failed: no route\n"
                "  - ENOENT, No such file or directory\n");

    auto pass_on = [] {
        TestSra sra;
        JexHandlerScope scope(
            &sra, [](JexException*, void*) { return 1; }, nullptr);
        sra.ExcRaise(TestSra::OK);
    };
    EXPECT_EXIT(pass_on(), testing::ExitedWithCode(1), "--- JexSra::OK, Success");
}

TEST(JexExceptionDeathTest, DestroyedWithOutstandingHandlerStops) {
    auto leave_handler = [] {
        JexExcHandlerRecord record;
        TestSra sra;
        JexException::PushHandler(record, &sra, JexException::ReraiseHandler, nullptr);
    };
    EXPECT_DEATH(leave_handler(),
                 "DANGER!  JexException object is being destroyed with an\n"
                 "         outstanding handler:(.|\n)*Class name     = JexSra"
                 "(.|\n)*handler_head == NULL");
}

TEST(JexException, ReraiseMakesComponentErrorTheOwnersWithCode4096) {
    TestSra owner, component;
    owner.SetSuppress(1);
    {
        JexHandlerScope scope(&component, JexException::ReraiseHandler, &owner);
        EXPECT_EQ(component.ExcRaise(TestSra::PROBSUBFAIL, JexExcArgs("c", "lost")), 0);
    }
    EXPECT_EQ(owner.Code(), JexException::kReraised);
    EXPECT_STREQ(owner.Args()[0].Data(), "JexException::ReraiseHandler");
    ASSERT_NE(owner.Cause(), nullptr);
    EXPECT_NE(owner.Cause(), &component);  // a copy
    EXPECT_EQ(owner.Cause()->Code(), TestSra::PROBSUBFAIL);
    EXPECT_EQ(owner.FirstRealError(), owner.Cause());
    EXPECT_EQ(S(owner.Describe(1)),
              "--- JexSra::4096, Unknown JexSra exception value: 4096\n"
              "  - JexSra::PROBSUBFAIL, Problem submission failed: lost");
    EXPECT_EQ(S(owner.DescribeFirstRealError(1)),
              "--- JexSra::PROBSUBFAIL, Problem submission failed: lost");
}

TEST(JexException, EventHandlerTakesOnlyEvents) {
    TestSra owner, component;
    owner.SetSuppress(1);
    Calls calls;
    std::pair<Calls*, const char*> ctx{&calls, "below"};
    JexHandlerScope below(&component, Recording<0>, &ctx);
    JexHandlerScope events(&component, JexException::EventHandler, &owner);
    component.ExcRaise(TestSra::PROBSUBFAIL);  // passed on to the older handler
    EXPECT_EQ(calls.order, (std::vector<std::string>{"below:1"}));
    EXPECT_EQ(owner.Code(), 0);
    component.ExcRaise(TestSra::EVT_CONNHOST, JexExcArgs("e", "node1"));
    EXPECT_EQ(calls.order.size(), 1u);
    EXPECT_EQ(owner.Code(), JexException::kReraised);
    EXPECT_STREQ(owner.Args()[0].Data(), "event raised");
    EXPECT_EQ(owner.Cause()->Code(), TestSra::EVT_CONNHOST);
}

// --- Causes -----------------------------------------------------------------

TEST(JexException, ExcSetViaCloneAppendsToTheChainAndKeepsTheCode) {
    TestSra sra;
    JexErrno root(EACCES, "open");
    sra.ExcSet(TestSra::PROBSUBFAIL, JexExcArgs("x", "summary"), &root);
    sra.ExcSetViaClone(TestSra::SIZELIMIT, JexExcArgs("x", 10, 5));
    sra.ExcSetText("JexSra::CUSTOM, made up %1$s", JexExcArgs("x", "here"));
    EXPECT_EQ(sra.Code(), TestSra::PROBSUBFAIL);
    EXPECT_EQ(
        S(sra.Describe(1)),
        "--- JexSra::PROBSUBFAIL, Problem submission failed: summary\n"
        "  - EACCES, Permission denied\n"
        "  - JexSra::SIZELIMIT, Your submission of 10 bytes exceeds the size limit of 5 bytes\n"
        "  - JexSra::CUSTOM, made up here");
}

TEST(JexException, ObjectAsItsOwnCauseKeepsThePreviousError) {
    TestSra sra;
    sra.ExcSet(TestSra::PROBSUBFAIL, JexExcArgs("x", "first"));
    sra.ExcSet(TestSra::SIZELIMIT, JexExcArgs("x", 2, 1), &sra);
    sra.ExcSet(TestSra::OK, JexExcArgs(), &sra);
    EXPECT_EQ(S(sra.Describe(0)),
              "--- Success\n"
              "  - Your submission of 2 bytes exceeds the size limit of 1 bytes\n"
              "  - Problem submission failed: first");
    sra.ExcSet(TestSra::OK);  // no cause: the chain is dropped
    EXPECT_EQ(sra.Cause(), nullptr);
}

TEST(JexException, ExcSetFromTakesTheOthersErrorAboveItsOwn) {
    TestSra sra, other;
    JexErrno cause(EPIPE);
    sra.ExcSet(TestSra::PROBSUBFAIL, JexExcArgs("x", "mine"));
    other.ExcSet(TestSra::SIZELIMIT, JexExcArgs("x", 3, 2), &cause);
    sra.ExcSetFrom(other);
    EXPECT_EQ(sra.Code(), TestSra::SIZELIMIT);
    EXPECT_EQ(
        S(sra.Describe(1)),
        "--- JexSra::SIZELIMIT, Your submission of 3 bytes exceeds the size limit of 2 bytes\n"
        "  - EPIPE, Broken pipe\n"
        "  - JexSra::PROBSUBFAIL, Problem submission failed: mine");

    TestSra fresh;  // without an error of its own nothing is kept below
    fresh.ExcSetFrom(other);
    EXPECT_EQ(S(fresh.Describe(0)),
              "--- Your submission of 3 bytes exceeds the size limit of 2 bytes\n"
              "  - Broken pipe");
}

// The object's own state given back to it as the input of each operation.
TEST(JexException, OwnStateAsInput) {
    struct Case {
        const char* name;
        void (*apply)(TestSra& sra);
        const char* expected;
    } cases[] = {
        {"own arguments", [](TestSra& sra) { sra.ExcSet(TestSra::REVERSED, sra.Args()); },
         "--- second before first"},  // no cause given: the chain is dropped
        {"own arguments and itself as cause",
         [](TestSra& sra) { sra.ExcSet(TestSra::REVERSED, sra.Args(), &sra); },
         "--- second before first\n  - first second\n  - Broken pipe"},
        {"from itself", [](TestSra& sra) { sra.ExcSetFrom(sra); },
         "--- first second\n  - Broken pipe\n  - first second\n  - Broken pipe"},
        {"itself appended", [](TestSra& sra) { sra.AppendCause(sra); },
         "--- first second\n  - Broken pipe\n  - first second\n  - Broken pipe"},
        {"itself via a clone",
         [](TestSra& sra) { sra.ExcSetViaClone(TestSra::OK, sra.Args(), &sra); },
         "--- first second\n  - Broken pipe\n  - Success\n  - first second\n  - Broken pipe"},
    };
    for (const Case& c : cases) {
        TestSra sra;
        sra.SetExternalMessage(JexString("JexSra::X, %1$s %2$s"));
        JexErrno cause(EPIPE);
        sra.ExcSet(JexException::kExternalMessage, JexExcArgs("x", "first", "second"), &cause);
        c.apply(sra);
        EXPECT_EQ(S(sra.Describe(0)), c.expected) << c.name;
    }
}

TEST(JexException, HugeArgumentsAndEmptyTables) {
    const std::string huge(1 << 20, 'h');
    TestSra sra;
    sra.ExcSet(TestSra::PROBSUBFAIL, JexExcArgs("x", huge.c_str()));
    EXPECT_EQ(S(sra.FormattedText(0)), "Problem submission failed: " + huge);
    JexException bare(nullptr, nullptr);  // no table: the reserved rows only
    EXPECT_EQ(S(bare.Text(-3)), "Infinite exception loop detected");
    EXPECT_EQ(S(bare.CodeName(7)), " ::7");  // "%1.64s": at least one character
}

TEST(JexException, CopyChainIsDeepAndKeepsSubclasses) {
    TestSra sra;
    JexErrno cause(ENOSPC, "write");
    sra.SetExternalMessage(JexString("JexSra::X, external"));
    sra.ExcSet(JexException::kExternalMessage, JexExcArgs(), &cause);
    JexException* copy = sra.CopyChain();
    EXPECT_EQ(S(copy->Describe(1)), S(sra.Describe(1)));
    EXPECT_EQ(S(copy->Describe(1)), "--- JexSra::X, external\n  - ENOSPC, No space left on device");
    EXPECT_NE(dynamic_cast<JexErrno*>(copy->Cause()), nullptr);
    sra.DeleteCause();
    EXPECT_EQ(copy->Cause()->Code(), ENOSPC);
    delete copy;
}

TEST(JexException, LongCauseChainsDoNotRecurse) {
    TestSra sra;
    for (int i = 0; i < 20000; ++i) sra.ExcSetViaClone(TestSra::OK);
    JexException* copy = sra.CopyChain();
    delete copy;
}

TEST(JexExceptionDeathTest, CauseLeadingBackToTheObjectIsTheLoopError) {
    auto loop = [] {
        TestSra sra, cause;
        cause.LinkCauseForTest(&sra);  // not owned: the process ends first
        sra.ExcSet(TestSra::OK, JexExcArgs(), &cause);
    };
    EXPECT_EXIT(loop(), testing::ExitedWithCode(1),
                "--- JexException::EXC_INFINITE_LOOP, Infinite exception loop detected");
    auto suppressed = [] {
        TestSra sra, cause;
        sra.SetSuppress(1);
        cause.LinkCauseForTest(&sra);
        sra.ExcSet(TestSra::OK, JexExcArgs(), &cause);
    };
    EXPECT_DEATH(suppressed(), "");
}

TEST(JexException, CodeFromNameIgnoresCase) {
    TestSra sra;
    struct Case {
        const char* name;
        int code;
    } cases[] = {
        {"JexSra::SIZELIMIT", 2},
        {"jexsra::sizelimit", 2},
        {"JEXEXCEPTION::EXC_INFINITE_LOOP", -3},
        {"JexException::EXC_END_OF_TEXT_TABLE", -4},
        {"JexSra::NOSUCH", -4},
        {nullptr, -4},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sra.CodeFromName(c.name), c.code) << (c.name ? c.name : "null");
}

// --- Subclasses -------------------------------------------------------------

TEST(JexErrno, NamesAndTextsFromTheCLibrary) {
    struct Case {
        int value;
        const char* name;
        const char* text;
    } cases[] = {
        {ENOENT, "ENOENT", "No such file or directory"},
        {EDEADLK, "EDEADLK", "Resource deadlock avoided"},
        {EAGAIN, "EAGAIN", "Resource temporarily unavailable"},
        {EXDEV, "EXDEV", "Invalid cross-device link"},
        {ECONNREFUSED, "errno 111", "Connection refused"},
        {9999, "errno 9999", "Error 9999 occurred."},
    };
    for (const Case& c : cases) {
        JexErrno error(c.value, "here");
        EXPECT_EQ(error.Code(), c.value);
        EXPECT_EQ(S(error.CodeName(c.value)), c.name);
        EXPECT_EQ(S(error.Text(c.value)), c.text);
        EXPECT_STREQ(error.Args()[0].Data(), "here");
        EXPECT_EQ(error.Args()[1].GetLong(), c.value);
    }
    errno = EBADF;
    JexErrno current;
    EXPECT_EQ(current.Code(), EBADF);
}

TEST(JexQvosError, HexTexts) {
    JexQvosError error(0xabcd, "qvos");
    EXPECT_EQ(S(error.FormattedText(1)), "Qvos0000abcd, Qvos error 0x0000abcd");
    EXPECT_EQ(error.Value(), 0xabcd);
    JexQvosError negative(-5);
    EXPECT_EQ(S(negative.CodeName(-5)), "Qvosfffffffb");
}

TEST(JexWsaError, SystemTextOrNumber) {
    JexWsaError known(10013, "connect");
    EXPECT_EQ(S(known.FormattedText(1)), "JexWsaError::10013, Access to the socket was denied.");
    JexWsaError unknown(12345);
    EXPECT_EQ(S(unknown.FormattedText(0)), "WSA error 12345");
    JexException* copy = known.CopyChain();
    EXPECT_EQ(S(copy->FormattedText(0)), "Access to the socket was denied.");
    delete copy;
}

// --- Trace switch -----------------------------------------------------------

class JexExceptionTrace : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { unsetenv("JEXEXCEPTION_TRACE"); }

    static void SetAndPrint() {
        TestSra sra;
        sra.ExcSet(TestSra::PROBSUBFAIL, JexExcArgs("JexSra::Create", "why"));
        std::fprintf(stderr, "[%s]\n", sra.FormattedText(1).Text());
        std::fflush(stderr);
        std::_Exit(0);
    }
};

TEST_F(JexExceptionTrace, LettersTraceSetsAndLocations) {
    struct Case {
        const char* value;
        const char* pattern;
    } cases[] = {
        {"A",
         "\n---- JexException Trace \\(JexSra\\) -----------------\n"
         "--- JexSra::PROBSUBFAIL, Problem submission failed: why\n"
         "----------------------- \\(JexSra\\) -----------------\n\n"
         "\\[JexSra::PROBSUBFAIL, Problem submission failed: why\\]"},
        {"d", "^\\[JexSra::Create: JexSra::PROBSUBFAIL, Problem submission failed: why\\]\n$"},
        {"", "^\\[JexSra::PROBSUBFAIL, Problem submission failed: why\\]\n$"},
    };
    for (const Case& c : cases) {
        setenv("JEXEXCEPTION_TRACE", c.value, 1);
        EXPECT_EXIT(SetAndPrint(), testing::ExitedWithCode(0), c.pattern) << c.value;
    }
}

}  // namespace
