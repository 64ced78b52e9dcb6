// Tests of the director host's batch command and error reports.
#include "WindowsService/TavroJVM.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>

namespace {

class LogCapture {
public:
    LogCapture() : old_(std::clog.rdbuf(text_.rdbuf())) {}
    ~LogCapture() { std::clog.rdbuf(old_); }
    std::string Text() const { return text_.str(); }

private:
    std::ostringstream text_;
    std::streambuf* old_;
};

TEST(TavroJVMBatch, QuotesOnlyTheComponentsWithBlanks) {
    struct Case {
        const char* home;
        bool ok;
        const char* quoted;
    };
    const Case cases[] = {
        {"/opt/tree/vantrix", true, "/opt/tree/vantrix"},
        {"/opt/Program Files/Tree/vantrix", true, "/opt/\"Program Files\"/Tree/vantrix"},
        {"/a b/c d/vantrix", true, "/\"a b\"/\"c d\"/vantrix"},
        {"/a/two  blanks/vantrix", true, "/a/\"two  blanks\"/vantrix"},
        {"/opt/Tree/my vantrix", false, nullptr},
        {"no slash here", false, nullptr},
    };
    for (const Case& c : cases) {
        std::string text = c.home;
        EXPECT_EQ(TavroJVM::QuoteHomePath(text), c.ok) << c.home;
        if (c.ok) {
            EXPECT_EQ(text, c.quoted) << c.home;
        }
    }
}

TEST(TavroJVMBatch, ReportsTheRuntimeErrorOfAFailedStart) {
    struct Case {
        int error;
        const char* line;
    };
    const Case cases[] = {
        {ENOENT, "File or path is not found\n"},
        {E2BIG, " Argument list exceeds 1024 bytes\n"},
        {ENOEXEC, " Specified file is not executable or has invalid executable-file format\n"},
        {ENOMEM, " Not enough memory is available to execute new process\n"},
        {EINVAL, "mode argument is invalid\n"},
        {EIO, "unknown error:5\n"},
    };
    for (const Case& c : cases) {
        LogCapture log;
        errno = c.error;
        EXPECT_FALSE(TavroJVM::ReportSystemError()) << c.error;
        EXPECT_EQ(log.Text().rfind(c.line, 0), 0u) << log.Text();
        EXPECT_NE(log.Text().find("getLastError::"), std::string::npos);
    }
    LogCapture log;
    errno = 0;
    EXPECT_TRUE(TavroJVM::ReportSystemError());
    EXPECT_EQ(log.Text(), "");
}

}  // namespace
