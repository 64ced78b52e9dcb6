// JexIpc: the commbox, a named message box between the modem connection and the modem daemon.
#include "jexlink/modem/JexIpc.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>

#include "platform/PlatformState.h"

#define JEX_TEXT_CLASS JexIpc
const JexTextRow JexIpc::kTextTable[] = JEX_TEXT_TABLE(JEXIPC_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr const char* kListenLabel = "JexIpc::JexIpc()";
constexpr const char* kWriteLabel = "JexIpc::JexIpc(name)";
constexpr const char* kNameLabel = "JexIpc::Name";
constexpr const char* kPutLabel = "JexIpc::PutMsg";
constexpr const char* kGetLabel = "JexIpc::GetMsg";
constexpr const char* kOnePassLabel = "JexIpc::One_Pass_Read";
constexpr const char* kReset = "reset to OK status";
constexpr const char* kBoxDirectory = "commbox";

// A listen box's name: the process id in five base-36 digits, then a
// per-process counter in three. Five digits hold every possible pid.
constexpr int kPidDigits = 5;
constexpr int kCounterDigits = 3;
constexpr unsigned kCounterRange = 36 * 36 * 36;
// Names tried before a listen box gives up (all of them live boxes of this
// process, or files that are not sockets).
constexpr int kNameAttempts = 64;

using Clock = std::chrono::steady_clock;

std::string ListenName(unsigned pid, unsigned counter) {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name(kPidDigits + kCounterDigits, '0');
    for (int i = kPidDigits - 1; i >= 0; --i, pid /= 36)
        name[static_cast<size_t>(i)] = kDigits[pid % 36];
    counter %= kCounterRange;
    for (int i = kPidDigits + kCounterDigits - 1; i >= kPidDigits; --i, counter /= 36)
        name[static_cast<size_t>(i)] = kDigits[counter % 36];
    return name;
}

bool Address(const std::string& path, sockaddr_un* address) {
    if (path.size() >= sizeof address->sun_path) return false;
    *address = {};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

int Connect(int fd, const sockaddr_un& address) {
    for (;;) {
        if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

// Milliseconds to the deadline for poll, rounded up so that a wait never
// ends before it; 0 once it has passed.
int MillisecondsTo(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// Waits for `events` on the descriptor up to the deadline (none: without
// limit); a signal only shortens one round. False on a poll failure.
bool WaitFor(int fd, short events, const Clock::time_point* deadline) {
    pollfd entry{fd, events, 0};
    const int timeout = deadline ? MillisecondsTo(*deadline) : -1;
    return poll(&entry, 1, timeout) >= 0 || errno == EINTR;
}

std::atomic<int>& SendWait() {
    static std::atomic<int> ms{JexIpc::kSendWaitSeconds * 1000};
    return ms;
}

}  // namespace

int JexIpc::SendWaitMs() { return SendWait().load(); }

int JexIpc::SetSendWaitMs(int ms) { return SendWait().exchange(ms > 0 ? ms : 0); }

bool JexIpc::ValidName(const char* name) {
    if (!name) return false;
    const size_t length = std::strlen(name);
    if (length < 1 || length > static_cast<size_t>(kMaxName)) return false;
    for (size_t i = 0; i < length; ++i) {
        const char c = name[i];
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '-';
        if (!plain) return false;
    }
    return true;
}

int JexIpc::SystemError(const char* label, const char* what, int error) {
    JexErrno cause(error, label);
    ExcSet(SYSERR, JexExcArgs(label, what), &cause);
    Raise();
    return SYSERR;
}

int JexIpc::BrokenCode() const { return Code() != OK ? Code() : SYSERR; }

std::string JexIpc::BoxPath(const char* label, const std::string& name) {
    std::filesystem::path dir;
    try {
        dir = platform::StateSubdir(kBoxDirectory);
    } catch (...) {
        dir.clear();
    }
    if (dir.empty()) {
        SystemError(label, "the commbox directory cannot be used", EACCES);
        return {};
    }
    std::string path = (dir / name).string();
    sockaddr_un unused;
    if (!Address(path, &unused)) {
        SystemError(label, "the commbox path is too long for a socket address", ENAMETOOLONG);
        return {};
    }
    return path;
}

JexIpc::JexIpc() : JexException(kTextTable, "JexIpc") {
    SetSuppress(1);
    static std::atomic<unsigned> counter{0};
    const pid_t pid = getpid();
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        const std::string name = ListenName(static_cast<unsigned>(pid), counter++);
        const std::string path = BoxPath(kListenLabel, name);
        if (path.empty()) return;
        if (Bind(name, path) != kNameTaken) return;
    }
    SystemError(kListenLabel, "no free commbox name", EADDRINUSE);
}

// OK when bound, kNameTaken when the name is taken, else the failure recorded.
int JexIpc::Bind(const std::string& name, const std::string& path) {
    sockaddr_un address;
    Address(path, &address);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return SystemError(kListenLabel, "socket", errno);
    for (int round = 0; round < 2; ++round) {
        if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
            struct stat info {};
            if (chmod(path.c_str(), 0600) != 0 || lstat(path.c_str(), &info) != 0) {
                const int error = errno;
                unlink(path.c_str());
                close(fd);
                return SystemError(kListenLabel, "chmod", error);
            }
            fd_ = fd;
            mode_ = Mode::kListen;
            name_ = name.c_str();
            path_ = path;
            inode_ = info.st_ino;
            owner_ = getpid();
            return OK;
        }
        if (errno != EADDRINUSE) {
            const int error = errno;
            close(fd);
            return SystemError(kListenLabel, "bind", error);
        }
        // The name is taken: by a live box (a process of the same id in
        // another pid space, or this process's counter come round), or by
        // the socket file of a process that ended. Only a file that is a
        // socket and refuses a connect is taken over.
        struct stat info {};
        if (lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) continue;
            break;
        }
        if (!S_ISSOCK(info.st_mode)) break;
        const int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (probe < 0) break;
        const int connected = Connect(probe, address);
        const int error = errno;
        close(probe);
        if (connected == 0 || error != ECONNREFUSED) break;
        unlink(path.c_str());
    }
    close(fd);
    return kNameTaken;
}

JexIpc::JexIpc(const char* name) : JexException(kTextTable, "JexIpc") {
    SetSuppress(1);
    // A name from a database record or a calling address never reaches the
    // file system unless it is a plain short name.
    if (!ValidName(name)) {
        ExcSet(NOSUCHBOX, JexExcArgs(kWriteLabel, name ? name : ""));
        Raise();
        return;
    }
    name_ = name;
    const std::string path = BoxPath(kWriteLabel, name);
    if (path.empty()) return;
    // Only a socket is a box: a link or any other file planted under the
    // name is not followed.
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 && errno != ENOENT) {
        SystemError(kWriteLabel, "lstat", errno);
        return;
    }
    if (!S_ISSOCK(info.st_mode)) {
        ExcSet(NOSUCHBOX, JexExcArgs(kWriteLabel, name));
        Raise();
        return;
    }
    sockaddr_un address;
    Address(path, &address);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        SystemError(kWriteLabel, "socket", errno);
        return;
    }
    if (Connect(fd, address) != 0) {
        const int error = errno;
        close(fd);
        if (error == ENOENT) {
            ExcSet(NOSUCHBOX, JexExcArgs(kWriteLabel, name));
        } else if (error == ECONNREFUSED) {
            // The socket file of a box whose process has ended.
            ExcSet(SHUT, JexExcArgs(kWriteLabel, name));
        } else {
            SystemError(kWriteLabel, "connect", error);
            return;
        }
        Raise();
        return;
    }
    // Room for a few of the largest messages in flight, whatever the
    // system's default send buffer (the kernel caps it at its maximum).
    const int sendBuffer = 4 * kMaxMessage;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    fd_ = fd;
    mode_ = Mode::kWrite;
}

JexIpc::~JexIpc() {
    // The socket is closed first, so that once its name is gone no sender
    // can still reach it. Only the process that made the box removes the
    // name (a child forked with the object does not), and only while the
    // file is still that socket.
    if (fd_ >= 0) close(fd_);
    if (mode_ == Mode::kListen && owner_ == getpid()) {
        struct stat info {};
        if (lstat(path_.c_str(), &info) == 0 && info.st_ino == inode_) unlink(path_.c_str());
    }
}

JexString JexIpc::Name() {
    if (mode_ != Mode::kBroken) ExcSet(OK, JexExcArgs(kNameLabel, kReset));
    return name_;
}

int JexIpc::PutMsg(const JexBufferBase& message, int /*flags*/) {
    JexMutexLock hold(writeLock_);
    if (mode_ == Mode::kBroken) return BrokenCode();
    ExcSet(OK, JexExcArgs(kPutLabel, kReset));
    if (mode_ != Mode::kWrite) {
        ExcSet(WRONGMODE, JexExcArgs(kPutLabel));
        Raise();
        return WRONGMODE;
    }
    const int length = message.Length();
    if (length > kMaxMessage) return SystemError(kPutLabel, "message larger than 64 KiB", EMSGSIZE);
    static const char kEmpty = 0;
    const char* bytes = length > 0 ? message.Data() : &kEmpty;
    // Bounded, so that two sides that both send cannot hang each other.
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(SendWaitMs());
    for (;;) {
        const ssize_t sent =
            send(fd_, bytes, static_cast<size_t>(length), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == length) return OK;
        if (sent >= 0) return SystemError(kPutLabel, "send cut the message", EMSGSIZE);
        const int error = errno;
        if (error == EINTR) continue;
        if (error == ECONNREFUSED || error == ENOTCONN || error == EPIPE || error == ECONNRESET) {
            ExcSet(SHUT, JexExcArgs(kPutLabel, name_));
            Raise();
            return SHUT;
        }
        if (error != EAGAIN && error != EWOULDBLOCK) return SystemError(kPutLabel, "send", error);
        if (Clock::now() >= deadline) {
            ExcSet(FULL, JexExcArgs(kPutLabel, name_));
            Raise();
            return FULL;
        }
        if (!WaitFor(fd_, POLLOUT, &deadline)) return SystemError(kPutLabel, "poll", errno);
    }
}

// OK with the message, TIMEOUT when none is there, or the failure recorded.
int JexIpc::ReadOne(JexBuffer& out, const char* label) {
    for (;;) {
        // The size of the next message, before any storage is taken for it.
        const ssize_t size = recv(fd_, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return TIMEOUT;
            return SystemError(label, "recv", errno);
        }
        if (size > kMaxMessage) {
            // Dropped unread (no storage follows the announced size) and
            // handed over as an empty message, which no frame decodes: the
            // reader skips it as one undecodable message and the box lives on.
            char discard;
            ssize_t dropped;
            do {
                dropped = recv(fd_, &discard, 0, MSG_DONTWAIT);
            } while (dropped < 0 && errno == EINTR);
            if (dropped < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                return SystemError(label, "recv", errno);
            JexBuffer empty;
            out.Swap(empty);
            return OK;
        }
        JexBuffer message;
        char none = 0;
        // Storage the receive overwrites whole: not cleared first.
        if (size > 0 && !message.SetLengthForOverwrite(static_cast<int>(size)))
            return SystemError(label, "recv", ENOMEM);
        char* into = size > 0 ? message.Data() : &none;
        ssize_t got;
        do {
            got = recv(fd_, into, static_cast<size_t>(size), MSG_DONTWAIT);
        } while (got < 0 && errno == EINTR);
        if (got < 0) return SystemError(label, "recv", errno);
        if (got != size) return SystemError(label, "recv cut the message", EMSGSIZE);
        out.Swap(message);
        return OK;
    }
}

int JexIpc::GetMsg(JexBuffer& out, int flags, int seconds) {
    return Receive(out, (flags & 1) != 0, std::chrono::seconds(seconds > 0 ? seconds : 0));
}

int JexIpc::GetMsgWithin(JexBuffer& out, int milliseconds) {
    return Receive(out, true, std::chrono::milliseconds(milliseconds > 0 ? milliseconds : 0));
}

int JexIpc::Receive(JexBuffer& out, bool timed, std::chrono::milliseconds wait) {
    JexMutexLock hold(readLock_);
    if (mode_ == Mode::kBroken) return BrokenCode();
    ExcSet(OK, JexExcArgs(kGetLabel, kReset));
    if (mode_ != Mode::kListen) {
        ExcSet(WRONGMODE, JexExcArgs(kGetLabel));
        Raise();
        return WRONGMODE;
    }
    // On the monotonic clock: a change of the system time neither ends
    // the wait early nor stretches it.
    const Clock::time_point deadline = Clock::now() + wait;
    for (;;) {
        const int result = ReadOne(out, kGetLabel);
        if (result != TIMEOUT) return result;
        if (timed && Clock::now() >= deadline) {
            ExcSet(TIMEOUT, JexExcArgs(kGetLabel));
            Raise();
            return TIMEOUT;
        }
        if (!WaitFor(fd_, POLLIN, timed ? &deadline : nullptr))
            return SystemError(kGetLabel, "poll", errno);
    }
}

int JexIpc::One_Pass_Read(JexBuffer& out) {
    JexMutexLock hold(readLock_);
    if (mode_ == Mode::kBroken) return BrokenCode();
    ExcSet(OK, JexExcArgs(kOnePassLabel, kReset));
    if (mode_ != Mode::kListen) {
        ExcSet(WRONGMODE, JexExcArgs(kOnePassLabel));
        Raise();
        return WRONGMODE;
    }
    const int result = ReadOne(out, kOnePassLabel);
    if (result == TIMEOUT) {
        ExcSet(TIMEOUT, JexExcArgs(kOnePassLabel));
        Raise();
    }
    return result;
}
