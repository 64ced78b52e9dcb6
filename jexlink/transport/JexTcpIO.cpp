// The TCP/IP byte-stream endpoint.
#include "jexlink/transport/JexTcpIO.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "jexlink/transport/NetNames.h"
#include "platform/winsock2.h"

namespace {

constexpr const char* kConnect = "JexTcpIO::Connect";
// The longest connect bound in seconds that milliseconds of an int hold.
constexpr int kMaxSeconds = 2000000;
constexpr const char* kAccept = "JexTcpIO::Accept(JexNetIO &)";
constexpr const char* kCreateListener = "JexNetIO::CreateListener";

sockaddr_in ReadAddress(const char* buffer) {
    sockaddr_in in{};
    std::memcpy(&in, buffer, sizeof in);
    return in;
}

void WriteAddress(char* buffer, const sockaddr_in& in) { std::memcpy(buffer, &in, sizeof in); }

}  // namespace

JexTcpIO::JexTcpIO() {
    type_ = 'T';
    stats_.name = "JexTcpIO";
}

JexString JexTcpIO::strsockaddr(const char* address) {
    const sockaddr_in in = ReadAddress(address);
    std::string host = jexnet::HostNameOf(in.sin_addr);
    if (host.empty() && in.sin_addr.s_addr == 0) {
        host = jexnet::LocalHostName();
        if (host.empty()) host = "localhost";
    }
    if (host.empty()) {
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &in.sin_addr, dotted, sizeof dotted);
        host = dotted;
    }
    const int port = ntohs(in.sin_port);
    std::string service = jexnet::ServiceName(port, jexnet::LibraryServicesFile());
    if (service.empty()) service = std::to_string(port);

    JexNetAddr text('/');
    text.SetType('T');
    text.SetField(1, host.c_str());
    text.SetField(2, service.c_str());
    JexString out;
    return text.Format(out);
}

int JexTcpIO::Connect(const JexNetAddr& address) {
    JexNetAddr fields(address);
    const JexString host = fields[1];
    const JexString service = fields[2];

    sockaddr_in in{};
    in.sin_family = AF_INET;
    calledLength_ = static_cast<int>(sizeof in);
    if (!jexnet::ResolveHost(host.Text(), &in.sin_addr)) {
        JexWsaError cause(WSAHOST_NOT_FOUND, "gethostbyname");
        return Fail(BADNAME, kConnect, host.Text(), &cause);
    }
    int port = jexnet::ParseNumber(service.Text());
    if (port == 0) port = jexnet::ServicePort(service.Text(), jexnet::LibraryServicesFile());
    if (port <= 0 || port > 65535) {
        JexWsaError cause(WSANO_DATA, "getservbyname");
        return Fail(BADNAME, kConnect, service.Text(), &cause);
    }
    in.sin_port = htons(static_cast<uint16_t>(port));
    WriteAddress(calledBuffer_, in);
    called_ = strsockaddr(calledBuffer_);
    calledNamed_ = true;
    calling_ = JexString(jexnet::LocalHostName().c_str()) + ":*";
    stats_.callee = called_;

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return FailWsa(CONNECTERR, kConnect, "socket", errno, called_.Text());
    if (!handle_.Adopt(fd)) return FailWsa(CONNECTERR, kConnect, "connect", EINTR, called_.Text());
    const long connected =
        handle_.Connect(reinterpret_cast<const sockaddr*>(&in), sizeof in,
                        connectTimeout_ > 0 ? std::min(connectTimeout_, kMaxSeconds) * 1000 : -1);
    if (connected != 0) {
        const int err = connected == jexnet::kIoClosed ? EINTR : errno;
        FailWsa(CONNECTERR, kConnect, "connect", err, called_.Text());
        Disconnect();
        return CONNECTERR;
    }
    const int result = JexNetIO::Connect(address);
    if (result != 0) return result;
    return set_tcp_options();
}

int JexTcpIO::CreateListener(const JexNetAddr& address) {
    stats_.name = "JexTcpIO Listener";
    JexNetAddr fields(address);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(INADDR_ANY);
    // A listener on a dotted address listens on that interface only.
    in_addr only{};
    if (inet_pton(AF_INET, fields[1].Text(), &only) == 1) in.sin_addr = only;
    const int port = jexnet::ParseNumber(fields[2].Text());
    if (port < 0 || port > 65535) {
        JexWsaError cause(WSAEINVAL, "bind");
        return Fail(SYSERR, kCreateListener, fields[2].Text(), &cause);
    }
    in.sin_port = htons(static_cast<uint16_t>(port));
    calledLength_ = static_cast<int>(sizeof in);

    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return FailWsa(SYSERR, kCreateListener, "socket", errno);
    if (!handle_.Adopt(fd)) return FailWsa(SYSERR, kCreateListener, "socket", EINTR);
    const int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0)
        return FailWsa(SYSERR, kCreateListener, "setsockopt", errno);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&in), sizeof in) != 0) {
        const int err = errno;
        FailWsa(SYSERR, kCreateListener, "bind", err);
        Disconnect();
        return SYSERR;
    }
    // The system's largest backlog: a burst of callers waits in the queue
    // instead of being refused while the accepting thread catches up.
    if (::listen(fd, SOMAXCONN) != 0) {
        const int err = errno;
        FailWsa(SYSERR, kCreateListener, "listen", err);
        Disconnect();
        return SYSERR;
    }
    // The name actually bound (an ephemeral port when 0 was asked for).
    socklen_t size = sizeof in;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&in), &size);
    WriteAddress(calledBuffer_, in);
    return JexNetIO::CreateListener(address);
}

int JexTcpIO::Accept(JexNetIO& peer) {
    socklen_t size = kAddressSize;
    char* into = CallingBufferOf(peer);
    const long fd = handle_.Accept(reinterpret_cast<sockaddr*>(into), &size);
    if (fd == jexnet::kIoClosed) {
        peer.Disconnect();
        return EndOfData(kAccept);
    }
    if (fd < 0) {
        FailWsa(SYSERR, kAccept, "accept", errno);
        peer.Disconnect();
        return SYSERR;
    }
    // Answers go out at once, not held back for more data.
    const int on = 1;
    ::setsockopt(static_cast<int>(fd), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (!HandleOf(peer).Adopt(static_cast<int>(fd))) {
        peer.Disconnect();
        return EndOfData(kAccept);
    }
    return JexNetIO::Accept(peer);
}

int JexTcpIO::Listen() {
    const int result = JexNetIO::Listen();
    if (result != 0) return result;
    return set_tcp_options();
}

int JexTcpIO::set_tcp_options() {
    const int fd = handle_.Fd();
    const int on = 1;
    const linger lingerOn{1, 5};
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0 ||
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOn, sizeof lingerOn) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0)
        return FailWsa(SYSERR, "JexTcpIO::set_tcp_options", "setsockopt", errno);
    return 0;
}
