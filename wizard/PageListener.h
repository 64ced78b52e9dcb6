// The page's listener: accepts connections on 127.0.0.1 and serves each on a thread of its own,
// within bounds that no local user can stretch.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace httplib {
class Stream;
}

namespace wizard {

// What a connection may take. A connection waiting for a request is
// "unfinished" until the request's head has arrived; the request, head and
// body, must arrive whole within `request`, counted from the moment the
// connection is ready for it (its accept, or the end of the answer before),
// however the bytes trickle; else the connection is closed. Each local user
// (the owner of the peer's socket) has at most `unfinishedPerUser`
// unfinished connections: a further one closes that user's oldest, so one
// user's idle connections never take the places another user's browser
// needs. At most `connections` are open at a time; one more is closed at
// once. A request of more than `requestBytes` (head and body) closes its
// connection. An answer must be written whole within `write`, and a
// connection serves at most `requestsPerConnection` requests.
struct PageBounds {
    std::chrono::milliseconds request{2000};
    size_t requestBytes = 192 * 1024;
    std::chrono::milliseconds write{5000};
    size_t unfinishedPerUser = 6;
    size_t connections = 64;
    size_t requestsPerConnection = 100;
};

class PageListener {
public:
    // Serves one request of a connection: false when the connection is to
    // close. `closeConnection` asks that the answer close it;
    // `connectionClosed` is set when the request asked so. `headArrived`
    // is called once the request's head is in.
    using ServeRequest =
        std::function<bool(httplib::Stream& stream, bool closeConnection, bool& connectionClosed,
                           const std::function<void()>& headArrived)>;

    PageListener(PageBounds bounds, ServeRequest serve);
    ~PageListener();
    PageListener(const PageListener&) = delete;
    PageListener& operator=(const PageListener&) = delete;

    // Binds 127.0.0.1:`port` (0: an ephemeral one) and starts accepting;
    // false (with errno) when the port cannot be bound.
    bool Start(int port);
    int Port() const { return port_; }
    // Stops accepting, closes every connection and waits for their threads.
    void Stop();

private:
    struct Connection {
        int fd;
        uint64_t id;
        bool unfinished;
        uint64_t since;       // order of the present wait, oldest first
        bool placed = false;  // `user` is known
        uid_t user = 0;
        bool closing = false;  // shut down to make room
    };
    using Connections = std::list<Connection>;

    void AcceptLoop();
    bool AtCap();
    void Admit(int fd);
    // Once the unfinished connections could be more than one user's
    // places: looks up the users of those not placed yet (one pass over the
    // kernel's tables), then closes each user's oldest beyond its places.
    void PlaceUsers();
    void Serve(Connections::iterator connection);
    // False once the listener stops.
    bool MarkUnfinished(Connections::iterator connection, bool unfinished);

    const PageBounds bounds_;
    const ServeRequest serve_;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    int port_ = 0;
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable ended_;
    Connections connections_;
    size_t closing_ = 0;
    uint64_t order_ = 0;
    bool stopping_ = false;
};

}  // namespace wizard
