// A gateway node for tests: a listener on the loopback whose connections relay or reach an echo.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "jexlink/core/JexThread.h"
#include "jexlink/transport/JexGateway.h"
#include "jexlink/transport/JexNetIO.h"
#include "testing/support/Sockets.h"

namespace tavro::testing {

// One node of a gateway network: it listens on an ephemeral port of
// 127.0.0.1 and runs the answering handshake of every connection on a
// thread of its own. A connection for this node (its ACID and node) reaches
// the echo application, which sends LEARN back and then returns every DATA
// record until the caller finishes; any other connection is relayed as the
// node's route map file says. The node's own errors are kept, never fatal.
//
// Connections that have ended are reaped (their threads joined, their
// gateways freed) before each accept; the listener already gave their
// descriptors back when they ended. The listener's cap on running
// connections holds (SetMaxConnections before Start).
//
// Stop() (and the destructor) ends the accepting and waits for every
// connection thread; connections still open end when their peers close.
class GatewayNode {
public:
    GatewayNode(std::string acid, std::string node, std::string routeMap)
        : acid_(std::move(acid)), node_(std::move(node)), routeMap_(std::move(routeMap)) {}
    GatewayNode(const GatewayNode&) = delete;
    GatewayNode& operator=(const GatewayNode&) = delete;
    ~GatewayNode() { Stop(); }

    // The listener's cap on running connections, applied by Start.
    void SetMaxConnections(int count) { maxConnections_ = count; }
    // Settings of every gateway accepted from then on.
    void SetFirstRecordTimeout(int seconds) { firstRecordTimeout_ = seconds; }
    void SetRelayIdleLimit(int seconds) { relayIdleLimit_ = seconds; }

    // Starts listening and accepting; false when the listener failed.
    bool Start() {
        listener_ = std::make_unique<JexGatewayListener>("*", JexNetAddr("T/127.0.0.1/0", '/'));
        listener_->SetSuppress(1);
        listener_->SetMaxConnections(maxConnections_);
        if (!listener_->Listening()) return false;
        port_ = LocalPort(listener_->Listener()->Endpoint()->Handle());
        acceptor_ = std::make_unique<JexThread>(&AcceptLoop, this);
        return acceptor_->Started();
    }

    // Ends the accepting and joins every thread the node started.
    void Stop() {
        if (!listener_) return;
        stopping_ = true;
        listener_->Listener()->Disconnect();
        if (acceptor_) acceptor_->Join();
        std::vector<Connection> done;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            done.swap(connections_);
        }
        for (Connection& c : done)
            if (c.thread) c.thread->Join();
        acceptor_.reset();
        listener_.reset();
    }

    int Port() const { return port_; }
    std::string Address() const { return LoopbackTransportAddress(port_); }
    const std::string& RouteMap() const { return routeMap_; }

    // Results of the handshakes that have ended, by code.
    std::map<int, int> Results() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return results_;
    }
    // Connections accepted so far.
    int Accepted() const { return accepted_.load(); }
    // Accepted connections whose handshake or echo has not ended yet.
    int Running() const { return accepted_.load() - ended_.load(); }
    // Connection threads not yet joined (running, or ended and not reaped).
    int Held() const {
        std::lock_guard<std::mutex> hold(mutex_);
        return static_cast<int>(connections_.size());
    }
    // Echo connections that ended with the caller's FINISH.
    int EchoesFinished() const { return echoesFinished_.load(); }

    // The echo application on a connection accepted here; returns when the
    // connection ends. Public so that a node program can serve the same way.
    static void Echo(JexGateway& g, std::atomic<int>& finished) {
        g.send_learn();
        JexBuffer b;
        for (;;) {
            const int rc = g.GetMsg(b);
            if (rc == JexGateway::SHUTDOWN) {
                if (g.Disconnect() == 0) ++finished;
                return;
            }
            if (rc != 0 || g.PutMsg(b) != 0) return;
        }
    }

private:
    struct Connection {
        std::unique_ptr<JexGateway> gateway;
        std::unique_ptr<JexThread> thread;
        bool ended = false;
    };

    static void Completed(JexThread*, JexGateway* g, int result, void* self) {
        auto* node = static_cast<GatewayNode*>(self);
        if (result == 0) Echo(*g, node->echoesFinished_);
        {
            std::lock_guard<std::mutex> hold(node->mutex_);
            ++node->results_[result];
            for (Connection& c : node->connections_)
                if (c.gateway.get() == g) c.ended = true;
        }
        ++node->ended_;
    }

    // Joins and frees the connections that have ended.
    void Reap() {
        std::vector<Connection> done;
        {
            std::lock_guard<std::mutex> hold(mutex_);
            for (auto it = connections_.begin(); it != connections_.end();) {
                if (!it->ended) {
                    ++it;
                    continue;
                }
                done.push_back(std::move(*it));
                it = connections_.erase(it);
            }
        }
        for (Connection& c : done)
            if (c.thread) c.thread->Join();
    }

    static int AcceptLoop(JexThread*, void* self) {
        auto* node = static_cast<GatewayNode*>(self);
        while (!node->stopping_) {
            node->Reap();
            auto g = std::make_unique<JexGateway>();
            g->SetSuppress(1);
            g->SetAttr(JexGateway::ACID, node->acid_.c_str());
            g->SetAttr(JexGateway::NODE, node->node_.c_str());
            g->SetAttr(JexGateway::ROUTE_MAP, node->routeMap_.c_str());
            g->systemId = (node->acid_ + "/" + node->node_).c_str();
            g->SetFirstRecordTimeout(node->firstRecordTimeout_.load());
            g->SetRelayIdleLimit(node->relayIdleLimit_.load());
            // Registered before the accept, under the lock its completion
            // takes, so that a connection ending at once still finds its entry.
            JexGateway* gateway = g.get();
            {
                std::lock_guard<std::mutex> hold(node->mutex_);
                node->connections_.push_back({std::move(g), nullptr});
            }
            JexThread* thread = nullptr;
            const int rc = node->listener_->Accept(*gateway, &Completed, node, thread);
            std::lock_guard<std::mutex> hold(node->mutex_);
            // Only this thread adds or removes entries: the last is this one.
            Connection& entry = node->connections_.back();
            if (rc != 0) {
                node->connections_.pop_back();
                if (node->stopping_) break;
                continue;
            }
            entry.thread.reset(thread);
            ++node->accepted_;
        }
        return 0;
    }

    std::string acid_;
    std::string node_;
    std::string routeMap_;
    int port_ = -1;
    int maxConnections_ = JexGatewayListener::kDefaultMaxConnections;
    std::atomic<int> firstRecordTimeout_{JexGateway::kDefaultFirstRecordTimeout};
    std::atomic<int> relayIdleLimit_{0};
    std::unique_ptr<JexGatewayListener> listener_;
    std::unique_ptr<JexThread> acceptor_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> accepted_{0};
    std::atomic<int> ended_{0};
    std::atomic<int> echoesFinished_{0};
    mutable std::mutex mutex_;
    std::vector<Connection> connections_;
    std::map<int, int> results_;
};

}  // namespace tavro::testing
