// What the gateway handshake tests share: a scripted peer that speaks the frame and record formats
// itself, and the records it sends.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexGatewayFrame.h"
#include "testing/support/RouteMap.h"
#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"

namespace tavro::testing::gateway_handshake {

using namespace std::chrono_literals;
using tavro::testing::RouteEntry;
using tavro::testing::TempDir;
using tavro::testing::WriteFile;

constexpr int kWaitMs = 20000;

struct QuietGateway : JexGateway {
    QuietGateway() { SetSuppress(1); }
};

inline std::string Text(const JexBuffer& b) {
    return b.Data() ? std::string(b.Data(), static_cast<size_t>(b.Length())) : "<absent>";
}

inline int ItemShortOf(const std::string& item) {
    if (item.size() == 1) return static_cast<unsigned char>(item[0]);
    return static_cast<unsigned char>(item[0]) | static_cast<unsigned char>(item[1]) << 8;
}

inline std::string Short(int v) {
    return std::string{static_cast<char>(v & 255), static_cast<char>((v >> 8) & 255)};
}

using Items = std::map<int, std::string>;

inline JexNetMsg Record(int type, const Items& items) {
    JexNetMsg m(type);
    for (const auto& [item, text] : items)
        m[item] = JexBuffer(JexBufferBase(text.data(), static_cast<int>(text.size())));
    return m;
}

// The items of an answer to CONNECT, with the error items of an error name.
inline Items Answer(const std::string& error = "JexGateway::OK",
                    const std::string& y = "far/fnode") {
    return {{'t', "Thu, 10 Dec 2026 04:00:00 +0000"},
            {'h', Short(1)},
            {'a', "T/127.0.0.1/1"},
            {'P', "cli/cnode|plat||a&b\nfar/fnode|fplat|b&a|"},
            {'r', Short(0)},
            {'s', "CONNREPLY"},
            {'/', error},
            {'0', "text"},
            {'y', y},
            {'V', "2.32 Exp"},
            {'z', "fplat"}};
}

// A CONNECT as an originating end sends it, for srv/snode/echo.
inline Items ConnectItems() {
    return {{'A', "echo"},
            {'t', "Thu, 10 Dec 2026 04:00:00 +0000"},
            {'T', "srv"},
            {'N', "snode"},
            {'h', std::string(1, '\0')},
            {'H', Short(7)},
            {'R', Short(5)},
            {'P', "cli/cnode|cplat||T/localhost/1&T/localhost/2"},
            {'z', "cplat"},
            {'p', Short(10)},
            {'r', Short(0)},
            {'S', "cli"},
            {'n', "cnode"},
            {'y', "cli/cnode"},
            {'V', "2.32 Exp"}};
}

// One end of a gateway connection written against the formats: each record
// is an encoded net message in a frame of a 2-byte length (or 0 and a
// 4-byte length), one reserved byte and the body.
class ScriptedPeer {
public:
    ~ScriptedPeer() {
        Close();
        if (listenFd_ >= 0) ::close(listenFd_);
    }

    bool Listen() {
        listenFd_ = tavro::testing::ListenLoopback(port_, 8);
        return listenFd_ >= 0;
    }
    std::string Address() const { return tavro::testing::LoopbackTransportAddress(port_); }
    int Port() const { return port_; }

    // Takes the next connection made to the listener.
    bool Accept() {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) != 1) return false;
        Close();
        fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        return fd_ >= 0;
    }
    bool Connect(int port) {
        fd_ = tavro::testing::ConnectLoopback(port);
        return fd_ >= 0;
    }

    bool Send(const JexNetMsg& record) {
        JexBuffer body;
        if (record.Encode(body) != JexNetMsg::kEncoded) return false;
        const auto n = static_cast<uint32_t>(body.Length());
        std::string frame;
        if (n > 0 && n < 0x10000)
            frame = {static_cast<char>(n & 255), static_cast<char>(n >> 8)};
        else
            frame = {0,
                     0,
                     static_cast<char>(n & 255),
                     static_cast<char>((n >> 8) & 255),
                     static_cast<char>((n >> 16) & 255),
                     static_cast<char>(n >> 24)};
        frame += '\0';
        frame.append(body.Data(), n);
        return Write(frame);
    }
    bool Send(int type, const Items& items) { return Send(Record(type, items)); }

    bool Write(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t w = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (w <= 0) return false;
            done += static_cast<size_t>(w);
        }
        return true;
    }

    // The next record; false when the stream ends or stays silent.
    bool Receive(JexNetMsg& record) {
        unsigned char head[2];
        if (!Read(head, 2)) return false;
        uint32_t n = head[0] | (head[1] << 8);
        if (n == 0) {
            unsigned char longer[4];
            if (!Read(longer, 4)) return false;
            n = longer[0] | (longer[1] << 8) | (longer[2] << 16) | (uint32_t{longer[3]} << 24);
        }
        unsigned char reserved;
        if (!Read(&reserved, 1)) return false;
        std::string body(n, '\0');
        if (!Read(body.data(), n)) return false;
        record.Decode(body.data(), static_cast<int>(n));
        return !record.Corrupt();
    }
    // The types of the records that arrive until the stream ends.
    std::string ReceiveAll() {
        std::string types;
        for (JexNetMsg r; Receive(r);) types += static_cast<char>(r.Type());
        return types;
    }
    // True when the peer closed the connection (nothing more arrives).
    bool Closed() {
        char c;
        return !Read(&c, 1);
    }

    void Close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int Fd() const { return fd_; }
    int Release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    bool Read(void* p, size_t n) {
        auto* at = static_cast<char*>(p);
        for (size_t got = 0; got < n;) {
            pollfd w{fd_, POLLIN, 0};
            if (::poll(&w, 1, kWaitMs) != 1) return false;
            const ssize_t r = ::recv(fd_, at + got, n - got, 0);
            if (r <= 0) return false;
            got += static_cast<size_t>(r);
        }
        return true;
    }

    int listenFd_ = -1;
    int fd_ = -1;
    int port_ = 0;
};

inline std::string CauseName(JexException& e) {
    JexException* cause = e.Cause();
    if (!cause) return "<none>";
    JexString name;
    cause->CodeName(name);
    return name.Text();
}

inline std::string StateName(JexGateway& g) {
    JexString s;
    g.GetAttr(JexGateway::STATE, s);
    return s.Text();
}

}  // namespace tavro::testing::gateway_handshake
