// The page's listener: connections, their places per local user, and reads and writes within
// total bounds.
#include "wizard/PageListener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "platform/PeerSocket.h"

namespace wizard {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 64;
// The owner of a peer whose socket the kernel's tables no longer show.
constexpr uid_t kUnknownUser = static_cast<uid_t>(-1);

// Waits until `fd` is ready for `events` or `deadline` passes; true when
// ready (a hang-up or error counts as ready: the next call reports it).
bool ReadyBy(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return false;
        pollfd wait{fd, events, 0};
        int n = poll(&wait, 1, static_cast<int>(std::min<int64_t>(left.count(), 60'000)));
        if (n > 0) return true;
        if (n < 0 && errno != EINTR) return false;
    }
}

void AddressOf(int fd, bool peer, std::string& ip, int& port) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                  : getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    char text[INET_ADDRSTRLEN] = "";
    if (rc == 0 && address.sin_family == AF_INET)
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
    ip = text;
    port = rc == 0 ? ntohs(address.sin_port) : 0;
}

// A connection as the HTTP code reads and writes it: every read of one
// request ends at the request's deadline, every write of one answer at the
// answer's, however the bytes trickle.
class DeadlineStream final : public httplib::Stream {
public:
    DeadlineStream(int fd, std::chrono::milliseconds writeBound, size_t requestBytes)
        : fd_(fd), writeBound_(writeBound), requestBytes_(requestBytes) {}

    // The deadline of the next request; the answer's begins with its first
    // write.
    void NextRequest(Clock::time_point readDeadline) {
        readDeadline_ = readDeadline;
        writeDeadline_.reset();
        requestRead_ = 0;
    }

    bool is_readable() const override {
        return begin_ < end_ || ReadyBy(fd_, POLLIN, readDeadline_);
    }
    bool is_writable() const override { return ReadyBy(fd_, POLLOUT, WriteDeadline()); }

    ssize_t read(char* ptr, size_t size) override {
        if (begin_ == end_) {
            if (!ReadyBy(fd_, POLLIN, readDeadline_)) return Broken();
            ssize_t got = 0;
            do {
                got = recv(fd_, buffer_, sizeof buffer_, 0);
            } while (got < 0 && errno == EINTR);
            if (got <= 0) return Broken();
            begin_ = 0;
            end_ = static_cast<size_t>(got);
        }
        size_t take = std::min(size, end_ - begin_);
        if (requestRead_ + take > requestBytes_) return Broken();
        std::memcpy(ptr, buffer_ + begin_, take);
        begin_ += take;
        requestRead_ += take;
        return static_cast<ssize_t>(take);
    }

    // Whether a read or write failed: the connection is of no further use,
    // whatever the HTTP code then answers.
    bool broken() const { return broken_; }

    ssize_t write(const char* ptr, size_t size) override {
        if (!ReadyBy(fd_, POLLOUT, WriteDeadline())) return Broken();
        ssize_t sent = 0;
        do {
            sent = send(fd_, ptr, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        } while (sent < 0 && errno == EINTR);
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
        return sent < 0 ? Broken() : sent;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(fd_, true, ip, port);
    }
    void get_local_ip_and_port(std::string& ip, int& port) const override {
        AddressOf(fd_, false, ip, port);
    }
    int socket() const override { return fd_; }

private:
    ssize_t Broken() {
        broken_ = true;
        return -1;
    }
    Clock::time_point WriteDeadline() const {
        if (!writeDeadline_) writeDeadline_ = Clock::now() + writeBound_;
        return *writeDeadline_;
    }

    const int fd_;
    const std::chrono::milliseconds writeBound_;
    const size_t requestBytes_;
    size_t requestRead_ = 0;
    bool broken_ = false;
    Clock::time_point readDeadline_;
    mutable std::optional<Clock::time_point> writeDeadline_;
    char buffer_[4096];
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace

PageListener::PageListener(PageBounds bounds, ServeRequest serve)
    : bounds_(bounds), serve_(std::move(serve)) {}

PageListener::~PageListener() { Stop(); }

bool PageListener::Start(int port) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listenFd_ < 0 || wakeFd_ < 0) return false;
    int on = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listenFd_, kBacklog) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
    return true;
}

void PageListener::Stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        // A connection in the middle of a request finishes its answer.
        for (const Connection& connection : connections_) {
            if (connection.unfinished) shutdown(connection.fd, SHUT_RDWR);
        }
    }
    if (wakeFd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wakeFd_, &one, sizeof one);
    }
    if (acceptor_.joinable()) acceptor_.join();
    // Every read and write of a connection has its bound, and no
    // connection waits for another request: the threads end soon.
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [this] { return connections_.empty(); });
    lock.unlock();
    for (int* fd : {&listenFd_, &wakeFd_}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
}

void PageListener::AcceptLoop() {
    for (;;) {
        pollfd waits[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (poll(waits, 2, -1) < 0 && errno != EINTR) return;
        if (waits[1].revents) return;
        if (!(waits[0].revents & POLLIN)) continue;
        // Every connection waiting to be accepted, then their places.
        for (size_t batch = 0; batch < bounds_.connections + kBacklog; ++batch) {
            int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0) {
                // At the cap, users beyond their places make room first.
                if (AtCap()) PlaceUsers();
                Admit(fd);
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors: let the open connections end first.
                pollfd wake{wakeFd_, POLLIN, 0};
                poll(&wake, 1, 50);
            }
            break;
        }
        PlaceUsers();
    }
}

bool PageListener::AtCap() {
    std::lock_guard lock(mutex_);
    return connections_.size() - closing_ >= bounds_.connections;
}

void PageListener::Admit(int fd) {
    std::lock_guard lock(mutex_);
    if (stopping_ || connections_.size() - closing_ >= bounds_.connections) {
        close(fd);
        return;
    }
    const uint64_t id = ++order_;
    auto connection = connections_.insert(connections_.end(), {fd, id, true, id});
    try {
        std::thread([this, connection] { Serve(connection); }).detach();
    } catch (const std::system_error&) {  // no thread to be had: the connection closes
        close(fd);
        connections_.erase(connection);
    }
}

void PageListener::PlaceUsers() {
    const size_t places = std::max<size_t>(bounds_.unfinishedPerUser, 1);
    std::vector<uint64_t> ids;
    std::vector<int> fds;  // copies, so that a connection may end meanwhile
    {
        std::lock_guard lock(mutex_);
        size_t unfinished = 0;
        for (const Connection& c : connections_) unfinished += c.unfinished;
        if (unfinished <= places) return;
        for (const Connection& c : connections_) {
            if (c.placed) continue;
            int copy = fcntl(c.fd, F_DUPFD_CLOEXEC, 0);
            if (copy < 0) continue;
            ids.push_back(c.id);
            fds.push_back(copy);
        }
    }
    const std::vector<platform::LocalPeerSocket> peers = platform::FindLocalPeerSockets(fds);
    for (int fd : fds) close(fd);
    std::lock_guard lock(mutex_);
    for (Connection& c : connections_) {
        auto at = std::find(ids.begin(), ids.end(), c.id);
        if (at == ids.end()) continue;
        const platform::LocalPeerSocket& peer = peers[static_cast<size_t>(at - ids.begin())];
        c.placed = true;
        c.user = peer.inode ? peer.uid : kUnknownUser;
    }
    // Each user's oldest unfinished connections beyond its places close.
    for (Connection& c : connections_) {
        if (!c.placed || !c.unfinished) continue;
        std::vector<Connection*> own;
        for (Connection& other : connections_) {
            if (other.placed && other.unfinished && other.user == c.user) own.push_back(&other);
        }
        if (own.size() <= places) continue;
        std::sort(own.begin(), own.end(),
                  [](const Connection* a, const Connection* b) { return a->since < b->since; });
        for (size_t i = 0; i + places < own.size(); ++i) {
            shutdown(own[i]->fd, SHUT_RDWR);
            own[i]->unfinished = false;  // it holds no place, nor counts to the cap
            own[i]->closing = true;
            ++closing_;
        }
    }
}

bool PageListener::MarkUnfinished(Connections::iterator connection, bool unfinished) {
    std::lock_guard lock(mutex_);
    if (connection->closing) return false;
    connection->unfinished = unfinished;
    if (unfinished) connection->since = ++order_;
    return !stopping_;
}

void PageListener::Serve(Connections::iterator connection) {
    DeadlineStream stream(connection->fd, bounds_.write, bounds_.requestBytes);
    for (size_t served = 0; served < bounds_.requestsPerConnection; ++served) {
        if (served > 0 && !MarkUnfinished(connection, true)) break;
        stream.NextRequest(Clock::now() + bounds_.request);
        bool connectionClosed = false;
        bool last = served + 1 == bounds_.requestsPerConnection;
        bool more =
            serve_(stream, last, connectionClosed, [&] { MarkUnfinished(connection, false); });
        if (!more || connectionClosed || stream.broken()) break;
    }
    std::lock_guard lock(mutex_);
    close(connection->fd);
    if (connection->closing) --closing_;
    connections_.erase(connection);
    ended_.notify_all();
}

}  // namespace wizard
