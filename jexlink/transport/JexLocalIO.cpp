// The local named-pipe byte-stream endpoint.
#include "jexlink/transport/JexLocalIO.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/PlatformState.h"
#include "platform/winerror.h"

namespace {

constexpr const char* kPipePrefix = "\\\\.\\pipe\\";
constexpr int kPipePrefixLength = 9;
constexpr const char* kAccept = "JexLocalIO::Accept(JexNetIO &)";
constexpr const char* kConnect = "JexLocalIO::Connect()";
constexpr int kErrorPipeBusy = 231;

// The socket address of a pipe's file; false (errno set) when the name is
// invalid or the path does not fit.
bool PipeAddress(const std::string& name, sockaddr_un* address, std::string* lockPath) {
    const std::string file = JexLocalIO::PipeFileName(name.c_str());
    if (file.empty()) {
        errno = EINVAL;
        return false;
    }
    std::string path;
    try {
        path = (platform::StateSubdir("pipe") / file).string();
    } catch (...) {
        errno = EACCES;  // the private directory cannot be made
        return false;
    }
    if (path.size() >= sizeof address->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    *address = {};
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    if (lockPath) *lockPath = path + ".lock";
    return true;
}

// Win32 code of a failed pipe open or creation.
int PipeError(int err) {
    switch (err) {
        case ENOENT:
        case ECONNREFUSED: return ERROR_FILE_NOT_FOUND;
        case EINVAL:
        case ENAMETOOLONG: return ERROR_INVALID_NAME;
        case EAGAIN:
        case EADDRINUSE: return kErrorPipeBusy;
        default: return static_cast<int>(platform::Win32FromErrno(err));
    }
}

}  // namespace

JexLocalIO::JexLocalIO() {
    type_ = 'L';
    stats_.name = "JexLocalIO";
}

std::string JexLocalIO::PipeFileName(const char* name) {
    if (!name) return "";
    const size_t n = std::strlen(name);
    if (n == 0 || n > kMaxPipeName || name[0] == '.') return "";
    std::string file;
    for (size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-') return "";
        file += static_cast<char>(std::tolower(c));
    }
    return file;
}

void JexLocalIO::set_pipe_name(const JexNetAddr& address) {
    JexNetAddr fields(address);
    std::string path = kPipePrefix;
    path += fields[1].Text();
    if (path.size() > kMaxPipePath) path.resize(kMaxPipePath);
    std::memset(calledBuffer_, 0, kAddressSize);
    calledBuffer_[0] = 1;  // the marker, little-endian
    std::memcpy(calledBuffer_ + 2, path.c_str(), path.size());
    calledLength_ = 2 + kMaxPipePath;
    address.Format(called_);
}

std::string JexLocalIO::PipeName() const {
    const std::string path(calledBuffer_ + 2, strnlen(calledBuffer_ + 2, kMaxPipePath));
    return path.size() > kPipePrefixLength ? path.substr(kPipePrefixLength) : "";
}

int JexLocalIO::get_socknames(char*, int&, char*, int&) { return 0; }

JexString JexLocalIO::strsockaddr(const char* address) {
    const std::string path(address + 2, strnlen(address + 2, kMaxPipePath));
    JexFieldedString parts(path.c_str(), '\\');
    JexNetAddr text('/');
    text.SetType('L');
    text.SetField(1, parts.Count() > 4 ? parts[4] : JexString(""));
    JexString out;
    return text.Format(out);
}

int JexLocalIO::CreateListener(const JexNetAddr& address) {
    stats_.name = "JexLocalIO Listener";
    set_pipe_name(address);
    // The name becomes a file name: a listener on a name that cannot be one
    // fails here rather than at its first Accept.
    if (PipeFileName(PipeName().c_str()).empty()) {
        JexWsaError cause(ERROR_INVALID_NAME, "CreateNamedPipe()");
        return Fail(SYSERR, "JexLocalIO::CreateListener", called_.Text(), &cause);
    }
    return JexNetIO::CreateListener(address);
}

int JexLocalIO::Connect(const JexNetAddr& address) {
    set_pipe_name(address);
    sockaddr_un un{};
    int err = 0;
    if (!PipeAddress(PipeName(), &un, nullptr)) {
        err = errno;
    } else {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            err = errno;
        } else if (!handle_.Adopt(fd)) {
            err = EINTR;
        } else {
            const long r = handle_.Connect(reinterpret_cast<const sockaddr*>(&un), sizeof un);
            if (r == jexnet::kIoClosed) err = EINTR;
            if (r == jexnet::kIoFailed) err = errno;
        }
    }
    if (err != 0) {
        JexWsaError cause(PipeError(err), "CreateFile()");
        Fail(CONNECTERR, kConnect, called_.Text(), &cause);
        Disconnect();
        return CONNECTERR;
    }
    std::memset(callingBuffer_, 0, kAddressSize);
    callingBuffer_[0] = 1;
    callingLength_ = 2 + kMaxPipePath;
    return JexNetIO::Connect(address);
}

int JexLocalIO::Accept(JexNetIO& peer) {
    if (handle_.Closing()) return EndOfData(kAccept);

    // One instance: a socket bound under the pipe's file name for this
    // Accept only. The lock file keeps two listeners of one name apart and
    // lets a stale socket file of a dead listener be replaced.
    sockaddr_un un{};
    std::string lockPath;
    int err = 0;
    int lockFd = -1;
    int fd = -1;
    if (!PipeAddress(PipeName(), &un, &lockPath)) {
        err = errno;
    } else if ((lockFd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                                0600)) < 0) {
        err = errno;
    } else if (::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        err = errno == EWOULDBLOCK ? EADDRINUSE : errno;
    } else {
        ::unlink(un.sun_path);
        fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&un), sizeof un) != 0 ||
            ::listen(fd, 1) != 0)
            err = errno;
    }
    auto release = [&] {
        if (fd >= 0 || err == 0) ::unlink(un.sun_path);
        if (lockFd >= 0) ::close(lockFd);
    };
    if (err != 0) {
        if (fd >= 0) ::close(fd);
        fd = -1;
        release();
        JexWsaError cause(PipeError(err), "CreateNamedPipe()");
        Fail(SYSERR, kAccept, nullptr, &cause);
        Disconnect();
        return SYSERR;
    }

    // While the Accept waits, the instance is the listener's handle, so a
    // Disconnect from another thread ends the wait.
    if (!handle_.Adopt(fd)) {
        fd = -1;
        release();
        return EndOfData(kAccept);
    }
    const long connection = handle_.Accept(nullptr, nullptr);
    const int acceptErr = errno;
    ::unlink(un.sun_path);
    handle_.Adopt(-1);  // the instance is handed over; the name is free again
    if (lockFd >= 0) ::close(lockFd);

    if (connection == jexnet::kIoClosed) return EndOfData(kAccept);
    if (connection < 0) {
        JexWsaError cause(PipeError(acceptErr), "ConnectNamedPipe()");
        Fail(SYSERR, kAccept, nullptr, &cause);
        Disconnect();
        return SYSERR;
    }
    if (!HandleOf(peer).Adopt(static_cast<int>(connection))) return EndOfData(kAccept);
    char* calling = CallingBufferOf(peer);
    std::memset(calling, 0, kAddressSize);
    calling[0] = 1;
    return JexNetIO::Accept(peer);
}
