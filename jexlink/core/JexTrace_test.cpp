// Tests of the scoped trace records and their switch.
#include "jexlink/core/JexTrace.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

TEST(JexTraceShortName, TakesLastComponentUpToItsFirstDot) {
    struct Case {
        const char* path;
        const char* name;
    } cases[] = {
        {"/src/jexlink/session/JexSession.cpp", "JexSession"},
        {"C:\\src\\JexSession.cpp", "JexSession"},
        {"DISK$USER:[SRC.JEX]FILE.CPP;3", "FILE"},
        {"<lib>JexNetIO.x.y", "JexNetIO"},
        {"JexPrivLock", "JexPrivLock"},
        {"dir/.hidden", "dir/.hidden"},  // nothing before the dot: the whole path
        {"", ""},
    };
    for (const Case& c : cases) EXPECT_STREQ(JexTraceShortName(c.path).Text(), c.name) << c.path;
}

// The switch is read once per process: every case runs the records in a
// fresh copy of the program (threadsafe death test) with JEX_TRACE set.
class JexTraceLines : public testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
    void TearDown() override { unsetenv("JEX_TRACE"); }

    static void Nested() {
        {
            JexTrace outer("/src/JexSession.cpp", "Connect()", 10);
            {
                JexTrace inner("/src/JexGateway.cpp", "Open()", 20);
                inner.Ckpt(25, "route found");
                JexTrace low("/src/JexNetIO.cpp", "Read()", 30, 1);
                low.Ckpt(31, "bytes");
            }
        }
        std::fflush(stderr);
        std::_Exit(0);
    }
};

TEST_F(JexTraceLines, NestedRecordsPrintDepths) {
    setenv("JEX_TRACE", "t", 1);
    EXPECT_EXIT(Nested(), testing::ExitedWithCode(0),
                "[0-9a-f][0-9a-f]+\\.001 Entry JexSession\\\\Connect\\(\\)\\\\10\n"
                "[0-9a-f]+\\.002 Entry JexGateway\\\\Open\\(\\)\\\\20\n"
                "[0-9a-f]+\\.002  Ckpt JexGateway\\\\Open\\(\\)\\\\25: route found\n"
                "[0-9a-f]+\\.002  Exit JexGateway\\\\Open\\(\\)\n"
                "[0-9a-f]+\\.001  Exit JexSession\\\\Connect\\(\\)\n$");
}

TEST_F(JexTraceLines, LowLevelRecordsPrintWithL) {
    setenv("JEX_TRACE", "tL", 1);
    EXPECT_EXIT(Nested(), testing::ExitedWithCode(0),
                "\\.003 Entry JexNetIO\\\\Read\\(\\)\\\\30\n"
                "[0-9a-f]+\\.003  Ckpt JexNetIO\\\\Read\\(\\)\\\\31: bytes\n"
                "[0-9a-f]+\\.003  Exit JexNetIO\\\\Read\\(\\)\n");
}

TEST_F(JexTraceLines, FullPathWithM) {
    setenv("JEX_TRACE", "mY", 1);
    EXPECT_EXIT(Nested(), testing::ExitedWithCode(0),
                "\\.001 Entry /src/JexSession.cpp\\\\Connect\\(\\)\\\\10\n");
}

TEST_F(JexTraceLines, LaterLettersOverrideEarlierOnes) {
    struct Case {
        const char* value;
        bool on;
    } cases[] = {{"tF", false}, {"Ft", true}, {"0", false}, {"1", true}, {"y", true}, {"", false}};
    for (const Case& c : cases) {
        setenv("JEX_TRACE", c.value, 1);
        EXPECT_EXIT(Nested(), testing::ExitedWithCode(0), c.on ? "Entry JexSession" : "^$")
            << c.value;
    }
}

// The entry line of the calling thread, as the child read it back from its
// own standard error; exits 0 when it starts with the id in hex.
void EntryCarriesHexThreadId() {
    std::FILE* capture = std::tmpfile();
    if (!capture || dup2(fileno(capture), 2) < 0) std::_Exit(2);
    { JexTrace record("f.cpp", "m()", 1); }
    std::fflush(stderr);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%2.2x.001 Entry f\\m()\\1\n",
                  static_cast<unsigned>(JexThreadId()));
    std::string text;
    char piece[256];
    std::rewind(capture);
    for (size_t n; (n = std::fread(piece, 1, sizeof piece, capture)) > 0;) text.append(piece, n);
    std::_Exit(text.find(expected) != std::string::npos ? 0 : 1);
}

TEST_F(JexTraceLines, ThreadIdIsPrintedInHex) {
    setenv("JEX_TRACE", "t", 1);
    EXPECT_EXIT(EntryCarriesHexThreadId(), testing::ExitedWithCode(0), "");
}

}  // namespace
