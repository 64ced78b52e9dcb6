// JexLogger: one record of the library's history log, appended when the object ends.
#include "jexlink/core/JexLogger.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexResourceLock.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"

#define JEX_TEXT_CLASS JexLoggerException
const JexTextRow JexLoggerException::kTextTable[] = JEX_TEXT_TABLE(JEXLOGGEREXCEPTION_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kTraceFile = "R:\\JexLogger.cxx";
constexpr const char* kStars = "*****";
constexpr const char* kSeparator = "----------------------------------------\n";
// How long a record waits for another writer's lock on the log before it is
// appended all the same (one append is whole on its own; the lock also
// keeps out writers that append in pieces).
constexpr int kLockWaitMs = 5000;

// Writes all of `text` at the end of the file; false with errno on failure.
bool AppendAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// A value on one line: a line break inside it would start a line that
// readers of the log take for a tag of its own, or for another record.
void KeepOnOneLine(JexString& value) {
    char* p = value.Data();
    if (!p) return;
    for (; *p; ++p)
        if (*p == '\n' || *p == '\r') *p = ' ';
}

}  // namespace

JexLoggerException::JexLoggerException() : JexException(kTextTable, "JexLoggerException") {}

JexException* JexLoggerException::Clone() { return new JexLoggerException(); }

JexLogger::JexLogger() : cpu_start_(std::clock()), path_("", 1) {
    JexTrace trace(kTraceFile, "JexLogger()", __LINE__);
    const JexString now = JexFormatTime();
    tags_["Record-Type"] = kStars;
    tags_["Description"] = kStars;
    tags_["Start-Time"] = now;
    tags_["End-Time"] = " ";
    tags_["Exit-Status"] = kStars;
    tags_["Event-Name"] = kStars;
    tags_["Event-Time"] = now;
    tags_["Event-Status"] = kStars;
    tags_["Severity"] = kStars;
    tags_["Catagory"] = kStars;
    tags_["Current-Role"] = kStars;
    tags_["Local-User"] = JexGetUserName();
    tags_["Local-Platform"] = JexLibraryPlatform().Description();
    tags_["Local-PID"] = JexProcessIdText(0);
    tags_["Application"] = kStars;
    tags_["CPU-Time"] = kStars;
}

JexLogger::~JexLogger() {
    JexTrace trace(kTraceFile, "~JexLogger()", __LINE__);
    if (suppress_) return;
    Write();
}

void JexLogger::GetFromException(JexException* e) {
    JexTrace trace(kTraceFile, "GetFromException()", __LINE__);
    JexString& status = tags_["Exit-Status"];
    status = "";
    for (; e; e = e->Cause()) {
        JexString name;
        status += e->CodeName(name);
        if (e->Cause()) status += ",";
    }
}

int JexLogger::Write() {
    const double cpuSeconds =
        static_cast<double>(std::clock() - cpu_start_) / static_cast<double>(CLOCKS_PER_SEC);
    if (tags_["Record-Type"].Compare("Metric") == 0) {
        for (const char* tag : {"Event-Name", "Event-Time", "Event-Status", "Severity", "Catagory"})
            tags_[tag] = "";
        tags_["End-Time"] = JexFormatTime();
        char cpu[64];
        std::snprintf(cpu, sizeof cpu, "%f sec", cpuSeconds);
        tags_["CPU-Time"] = cpu;
    } else {
        for (const char* tag : {"Start-Time", "End-Time", "Exit-Status", "CPU-Time"})
            tags_[tag] = "";
    }
    for (int i = 0; i < tags_.Count(); ++i) KeepOnOneLine(tags_.ValueAt(i));
    const std::string record = kSeparator + std::string(tags_.Text().Text()) + "\n";

    JexResourceLock resource("jex_logger");
    path_ = JexDataFilePath("File.Logger", "logs\\jex_history.log");
    error_.ExcSet(JexLoggerException::OK);
    FILE* file = JexPrivLock::fopen(path_.Text(), "a+");
    if (!file) {
        Fail(JexLoggerException::OPENFAIL, errno, "JexPrivLock::fopen");
        return error_.Code();
    }
    // Only a regular file: a pipe or a device could hold the writer for ever.
    struct stat info {};
    const int error = fstat(fileno(file), &info) != 0 ? errno : 0;
    if (error || !S_ISREG(info.st_mode)) {
        JexPrivLock::fclose(file);
        Fail(JexLoggerException::OPENFAIL, error ? error : EINVAL, "JexPrivLock::fopen");
        return error_.Code();
    }
    JexPrivLock::LockFile(fileno(file), kLockWaitMs);
    if (!AppendAll(fileno(file), record)) Fail(JexLoggerException::WRITEFAIL, errno, "write");
    // Closing the file releases its lock.
    if (JexPrivLock::fclose(file) != 0)
        Fail(JexLoggerException::CLOSEFAIL, errno, "JexPrivLock::fclose");
    return 0;
}

void JexLogger::Fail(int code, int error, const char* call) {
    JexErrno cause(error, call);
    error_.ExcSet(code, JexExcArgs("JexLogger::~JexLogger()", path_), &cause);
    std::fprintf(stderr, "%s\n", error_.Describe(1).Text());
    std::fflush(stderr);
}
