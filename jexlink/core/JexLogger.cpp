// JexLogger: one record of the library's history log, appended when the object ends.
#include "jexlink/core/JexLogger.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexResourceLock.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"
#include "platform/base/Posix.h"

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

// The history log as this process appends to it: kept open from one record
// to the next while its path still names the same regular file, since
// opening, checking and closing it for each record cost a service request
// more than the record's write. A record is still one write at the end of
// the file under the file's exclusive lock, released straight after; a
// file removed, renamed, replaced or a path changed is opened afresh, and so
// is the file in a child process, whose inherited descriptor would share
// the parent's lock.
class KeptLog {
public:
    static KeptLog& Process() {
        static auto* log = new KeptLog;  // outlives every record, also at exit
        return *log;
    }

    // Appends `record` to the file at `path`: JexLoggerException::OK, else
    // OPENFAIL or WRITEFAIL with the call that failed and its errno.
    int Append(const std::string& path, const std::string& record, const char*& call, int& error) {
        std::lock_guard<std::mutex> hold(mutex_);
        if (!Current(path) && !Open(path, call, error)) return JexLoggerException::OPENFAIL;
        JexPrivLock::LockFile(fd_, kLockWaitMs);
        const bool written = AppendAll(fd_, record);
        error = errno;
        flock(fd_, LOCK_UN);
        if (written) return JexLoggerException::OK;
        call = "write";
        Drop();
        return JexLoggerException::WRITEFAIL;
    }

private:
    // True when the kept descriptor is this process's and `path` still
    // names its file, not a link; a file left writable by others is
    // narrowed as an opening would.
    bool Current(const std::string& path) {
        if (fd_ < 0) return false;
        struct stat now {};
        if (path != path_ || pid_ != getpid() || ::lstat(path.c_str(), &now) != 0 ||
            !S_ISREG(now.st_mode) || now.st_dev != dev_ || now.st_ino != ino_) {
            Drop();
            return false;
        }
        if ((now.st_mode & 0777 & ~JexPrivLock::kWrittenFileMode) != 0 && now.st_uid == geteuid())
            fchmod(fd_, now.st_mode & JexPrivLock::kWrittenFileMode);
        return true;
    }

    bool Open(const std::string& path, const char*& call, int& error) {
        call = "JexPrivLock::fopen";
        int fd = -1;
        {
            JexPrivLock hold;
            fd = platform::OpenOwnFile(path.c_str(), O_RDWR | O_APPEND,
                                       JexPrivLock::kWrittenFileMode);
        }
        if (fd < 0) {
            error = errno;
            return false;
        }
        // Only a regular file: a pipe or a device could hold the writer for ever.
        struct stat info {};
        error = fstat(fd, &info) != 0 ? errno : 0;
        if (error || !S_ISREG(info.st_mode)) {
            ::close(fd);
            if (!error) error = EINVAL;
            return false;
        }
        fd_ = fd;
        path_ = path;
        dev_ = info.st_dev;
        ino_ = info.st_ino;
        pid_ = getpid();
        return true;
    }

    void Drop() {
        // An inherited descriptor is closed too: the child's copy only.
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

    std::mutex mutex_;
    std::string path_;
    int fd_ = -1;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    pid_t pid_ = -1;
};

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
    const char* call = "";
    int error = 0;
    const int code = KeptLog::Process().Append(path_.Text(), record, call, error);
    if (code == JexLoggerException::OK) return 0;
    Fail(code, error, call);
    return code == JexLoggerException::OPENFAIL ? error_.Code() : 0;
}

void JexLogger::Fail(int code, int error, const char* call) {
    JexErrno cause(error, call);
    error_.ExcSet(code, JexExcArgs("JexLogger::~JexLogger()", path_), &cause);
    std::fprintf(stderr, "%s\n", error_.Describe(1).Text());
    std::fflush(stderr);
}
