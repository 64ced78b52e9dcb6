// The byte-stream endpoint base beneath every transport: reads, writes, accepts, connects,
// adoption.
#include "jexlink/transport/JexNetIO.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jexlink/transport/NetNames.h"
#include "platform/winerror.h"
#include "platform/winsock2.h"

JexNetIO::JexNetIO() : stats_("JexNetIO", this, &JexNetStats::DisplaySwitch) { type_ = '?'; }

JexNetIO::~JexNetIO() {
    if (handle_.Fd() != -1) Disconnect();
}

void JexNetIO::CopySettings(const JexTransport& from) {
    setting1_ = from.setting1_;
    ioSize_ = from.ioSize_;
    setting5_ = from.setting5_;
    raiseEnd_ = from.raiseEnd_;
    setting8_ = from.setting8_;
    setting9_ = from.setting9_;
    connectTimeout_ = from.connectTimeout_;
}

int JexNetIO::Fail(int code, const char* location, const char* text, JexException* cause) {
    return RaiseCode(code, JexExcArgs(location, text), cause);
}

int JexNetIO::FailWsa(int code, const char* location, const char* call, int err, const char* text) {
    JexWsaError cause(platform::WsaFromErrno(err), call);
    return Fail(code, location, text, &cause);
}

int JexNetIO::FailWin32(int code, const char* location, const char* call, int err,
                        const char* text) {
    JexWsaError cause(static_cast<int>(platform::Win32FromErrno(err)), call);
    return Fail(code, location, text, &cause);
}

int JexNetIO::EndOfData(const char* location) {
    if (raiseEnd_) return RaiseCode(END, JexExcArgs(location));
    return END;
}

void JexNetIO::TakeTexts() {
    calling_ = strsockaddr(callingBuffer_);
    called_ = strsockaddr(calledBuffer_);
    stats_.caller = calling_;
    stats_.callee = called_;
}

int JexNetIO::accept_call() { return 0; }

int JexNetIO::get_socknames(char* a, int& alen, char* b, int& blen) {
    const int fd = handle_.Fd();
    socklen_t size = static_cast<socklen_t>(std::clamp(alen, 0, kAddressSize));
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(a), &size) != 0) {
        const int err = errno;
        FailWsa(SYSERR, "JexNetIO::get_socknames", "getsockname", err);
        Disconnect();
        return SYSERR;
    }
    alen = static_cast<int>(size);
    blen = kAddressSize;
    size = kAddressSize;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(b), &size) != 0) {
        const int err = errno;
        FailWsa(SYSERR, "JexNetIO::get_socknames", "getpeername", err);
        Disconnect();
        return SYSERR;
    }
    blen = static_cast<int>(size);
    return 0;
}

int JexNetIO::Accept(JexNetIO& peer) {
    std::memcpy(peer.calledBuffer_, calledBuffer_, kAddressSize);
    peer.calledLength_ = calledLength_;
    peer.type_ = type_;
    const int result = peer.get_socknames(peer.calledBuffer_, peer.calledLength_,
                                          peer.callingBuffer_, peer.callingLength_);
    if (result != 0) return result;
    peer.calling_ = peer.strsockaddr(peer.callingBuffer_);
    peer.called_ = peer.strsockaddr(peer.calledBuffer_);
    stats_.Increment(JexNetStats::kMessagesReceived, 1);
    peer.stats_.start = time(nullptr);
    peer.stats_.caller = peer.calling_;
    peer.stats_.callee = peer.called_;
    std::fprintf(stderr, "JexNetIO::Accept: %s <- %s\n", peer.called_.Text(), peer.calling_.Text());
    std::fflush(stderr);
    return 0;
}

int JexNetIO::Connect(const JexNetAddr&) {
    char named[kAddressSize];
    std::memcpy(named, calledBuffer_, kAddressSize);
    const int namedLength = calledLength_;
    const bool reuse = calledNamed_;
    calledNamed_ = false;
    // The local name goes to the calling buffer, the peer's to the called one.
    const int result = get_socknames(callingBuffer_, callingLength_, calledBuffer_, calledLength_);
    calling_ = strsockaddr(callingBuffer_);
    // The peer connected to is the address named a moment ago: its name is
    // not looked up a second time.
    if (!reuse || result != 0 || namedLength != calledLength_ ||
        std::memcmp(named, calledBuffer_, static_cast<size_t>(calledLength_)) != 0)
        called_ = strsockaddr(calledBuffer_);
    stats_.caller = calling_;
    stats_.callee = called_;
    return result;
}

int JexNetIO::CreateListener(const JexNetAddr&) {
    calling_ = "(none)";
    called_ = strsockaddr(calledBuffer_);
    stats_.callee = called_;
    return 0;
}

int JexNetIO::Disconnect() {
    handle_.Close();
    return 0;
}

int JexNetIO::ReadRange(char* p, int min, int max, int& got, bool waitFirst) {
    got = 0;
    while (got < min) {
        const long r = handle_.Read(p + got, static_cast<size_t>(max - got), waitFirst);
        if (r > 0) {
            got += static_cast<int>(r);
            continue;
        }
        if (r == 0 || r == jexnet::kIoClosed) break;
        const int err = errno;
        // A broken pipe, or a connection the peer reset, reads as the end
        // of data: the peer has closed its end.
        if (err == EPIPE || err == ECONNRESET) break;
        FailWin32(SYSERR, "JexNetIO::GetData(char *, int, int &, int)", "ReadFile", err);
        return SYSERR;
    }
    stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(got));
    stats_.Increment(JexNetStats::kMessagesReceived, 1);
    if (got >= min) return 0;
    return EndOfData("JexNetIO::GetData");
}

int JexNetIO::GetData(char* p, int n, int& got, int) { return ReadRange(p, n, n, got, false); }

int JexNetIO::GetData(JexBuffer& b, const int) {
    const int size = ioSize_ > 0 ? ioSize_ : 1;
    b.SetLength(size);
    long r = b.Length() == size ? handle_.Read(b.Data(), static_cast<size_t>(size))
                                : (errno = ENOMEM, jexnet::kIoFailed);
    if (r == jexnet::kIoClosed ||
        (r == jexnet::kIoFailed && (errno == EPIPE || errno == ECONNRESET)))
        r = 0;
    if (r < 0) {
        const int err = errno;
        b.SetLength(0);
        FailWin32(SYSERR, "JexNetIO::GetData(JexBuffer &, const int)", "ReadFile", err);
        return SYSERR;
    }
    b.SetLength(static_cast<int>(r));
    stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(r));
    stats_.Increment(JexNetStats::kMessagesReceived, 1);
    if (r > 0) return 0;
    return EndOfData("JexNetIO::GetData(JexBuffer &, const int)");
}

int JexNetIO::GetSome(char* p, int min, int, int& got) { return GetData(p, min, got, 0); }

int JexNetIO::GetSomeOnHandle(char* p, int min, int max, int& got) {
    return ReadRange(p, min, max, got, true);
}

int JexNetIO::PutParts(const iovec* parts, int count, bool moreFollows) {
    const size_t size = ioSize_ > 0 ? static_cast<size_t>(ioSize_) : 1;
    // Each piece is at most the IO size; up to IOV_MAX pieces go to the
    // kernel in one call. The bytes on the wire are the same as piece by piece.
    // Pieces that follow each other in memory go in one entry of the vector:
    // the call carries the same bytes, and the kernel copies them in one run
    // instead of stepping through a short entry per piece.
    static constexpr int kMaxPieces = IOV_MAX < 1024 ? IOV_MAX : 1024;
    iovec pieces[kMaxPieces];
    size_t total = 0;
    for (int i = 0; i < count; ++i) total += parts[i].iov_len;
    int part = 0;
    size_t offset = 0;  // bytes of parts[part] already written
    for (size_t done = 0; done < total;) {
        int used = 0;       // entries of the vector
        size_t chunks = 0;  // pieces of at most the IO size in them
        size_t batch = 0;
        int atPart = part;
        size_t atOffset = offset;
        while (atPart < count && chunks < kMaxPieces) {
            const size_t left = parts[atPart].iov_len - atOffset;
            if (left == 0) {
                ++atPart;
                atOffset = 0;
                continue;
            }
            // As many whole pieces of this part as the call has room for.
            const size_t take = std::min(left, (kMaxPieces - chunks) * size);
            char* base = static_cast<char*>(parts[atPart].iov_base) + atOffset;
            if (used > 0 &&
                static_cast<char*>(pieces[used - 1].iov_base) + pieces[used - 1].iov_len == base) {
                pieces[used - 1].iov_len += take;
            } else {
                pieces[used].iov_base = base;
                pieces[used].iov_len = take;
                ++used;
            }
            chunks += (take + size - 1) / size;
            batch += take;
            atOffset += take;
        }
        const bool more = moreFollows || done + batch < total;
        const long w = used == 1 ? handle_.Write(static_cast<const char*>(pieces[0].iov_base),
                                                 pieces[0].iov_len, more)
                                 : handle_.WriteVector(pieces, used, more);
        if (w <= 0) {
            const int err = w == jexnet::kIoClosed ? EBADF : errno;
            FailWin32(SYSERR, "JexNetIO::PutData", "WriteFile", err);
            return SYSERR;
        }
        done += static_cast<size_t>(w);
        // Step past what was written.
        for (size_t skip = static_cast<size_t>(w); skip > 0 && part < count;) {
            const size_t left = parts[part].iov_len - offset;
            if (skip < left) {
                offset += skip;
                break;
            }
            skip -= left;
            ++part;
            offset = 0;
        }
    }
    stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(total));
    stats_.Increment(JexNetStats::kMessagesSent, 1);
    return 0;
}

int JexNetIO::PutData(const char* p, int n, int) {
    const iovec part{const_cast<char*>(p), static_cast<size_t>(n > 0 ? n : 0)};
    return PutParts(&part, 1);
}

int JexNetIO::PutDataParts(const iovec* parts, int count, bool) {
    // A part whose length is no int, or without bytes, adds nothing.
    auto length = [parts](int i) {
        const int n = static_cast<int>(parts[i].iov_len);
        return n < 0 || (n > 0 && !parts[i].iov_base) ? 0 : n;
    };
    int64_t total = 0;
    for (int i = 0; i < count; ++i) total += length(i);
    JexBuffer joined;
    // Joined by one copy each into storage of their total size.
    if (total <= INT_MAX - 64 && joined.SetLengthForOverwrite(static_cast<int>(total))) {
        char* at = joined.Data();
        for (int i = 0; i < count; ++i) {
            const int n = length(i);
            if (n > 0) std::memcpy(at, parts[i].iov_base, static_cast<size_t>(n));
            at += n;
        }
        return PutData(joined.Data(), joined.Length(), 0);
    }
    joined.SetLength(0);
    for (int i = 0; i < count; ++i)
        joined += JexBuffer(parts[i].iov_base, static_cast<int>(parts[i].iov_len));
    return PutData(joined.Data(), joined.Length(), 0);
}

JexTransport::PassEnd JexNetIO::PassTo(JexNetIO& to, int n, int& taken,
                                       jexnet::NetDescriptor::SpliceReady* ready) {
    taken = 0;
    if (!OwnSocket() || !to.OwnSocket() || n < 0) return PassEnd::kUnsupported;
    using Stop = jexnet::NetDescriptor::SpliceResult::Stop;
    const jexnet::NetDescriptor::SpliceResult r =
        handle_.SpliceTo(to.handle_, static_cast<size_t>(n), ready);
    taken = static_cast<int>(r.taken);
    // Counted as the reads and writes of the same bytes would be.
    if (r.taken > 0) {
        stats_.Increment(JexNetStats::kBytesReceived, static_cast<uint32_t>(r.taken));
        stats_.Increment(JexNetStats::kMessagesReceived, 1);
    }
    if (r.given > 0) {
        to.stats_.Increment(JexNetStats::kBytesSent, static_cast<uint32_t>(r.given));
        to.stats_.Increment(JexNetStats::kMessagesSent, 1);
    }
    switch (r.stop) {
        case Stop::kDone: return PassEnd::kPassed;
        case Stop::kUnsupported: return PassEnd::kUnsupported;
        case Stop::kWriteFailed:
            to.FailWin32(SYSERR, "JexNetIO::PutData", "WriteFile", r.err);
            return PassEnd::kWriteFailed;
        case Stop::kReadFailed:
            // A broken or reset connection reads as the end of data, as in
            // GetData.
            if (r.err != EPIPE && r.err != ECONNRESET) {
                FailWin32(SYSERR, "JexNetIO::GetData(char *, int, int &, int)", "ReadFile", r.err);
                return PassEnd::kReadFailed;
            }
            break;
        case Stop::kReadEnd: break;
    }
    (void)EndOfData("JexNetIO::GetData");
    return PassEnd::kReadFailed;
}

std::unique_ptr<jexnet::NetDescriptor::SpliceReady> JexNetIO::ReadyToPass(JexNetIO& to) {
    if (!OwnSocket() || !to.OwnSocket()) return nullptr;
    return std::make_unique<jexnet::NetDescriptor::SpliceReady>(handle_, to.handle_);
}

namespace {

// Reopens a standard stream on the file an environment variable names.
void ReopenFrom(const char* variable, const char* mode, FILE* stream) {
    if (const char* path = std::getenv(variable)) {
        if (!std::freopen(path, mode, stream))
            std::fprintf(stderr, "JexNetIO::Listen: cannot open %s: %s\n", path,
                         std::strerror(errno));
    }
}

}  // namespace

int JexNetIO::Listen() {
    ReopenFrom("JEX_NET_STDIN", "r", stdin);
    ReopenFrom("JEX_NET_STDOUT", "a+", stdout);
    ReopenFrom("JEX_NET_STDERR", "a+", stderr);

    const char* text = std::getenv("JEX_NET_HANDLE");
    if (!text) {
        JexErrno cause(EBADF, "getenv");
        return Fail(SYSERR, "JexNetIO::Listen", nullptr, &cause);
    }
    // Only an inherited stream socket is adopted: the number may name any
    // descriptor of this process, and one that is not ours to use stays open.
    const int fd = jexnet::ParseNumber(text);
    int type = 0;
    socklen_t size = sizeof type;
    int err = 0;
    if (fd < 0)
        err = EBADF;
    else if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) != 0)
        err = errno;
    else if (type != SOCK_STREAM)
        err = ENOTSOCK;
    if (err != 0) return FailWsa(SYSERR, "JexNetIO::Listen", "getsockopt", err, text);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (!handle_.Adopt(fd)) return FailWsa(SYSERR, "JexNetIO::Listen", "adopt", EBADF, text);

    const int result = get_socknames(calledBuffer_, calledLength_, callingBuffer_, callingLength_);
    if (result != 0) return result;
    const linger lingerOn{1, 5};
    if (::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOn, sizeof lingerOn) != 0) {
        err = errno;
        FailWsa(SYSERR, "JexNetIO::Listen", "setsockopt", err);
        Disconnect();
        return SYSERR;
    }
    TakeTexts();
    return 0;
}
