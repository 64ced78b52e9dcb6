// A gateway whose process can start no thread: the deadline watch is missing, and a read it would
// bound is refused rather than left unbounded.
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "jexlink/transport/DeadlineWatch.h"
#include "jexlink/transport/GatewayHandshakeTestSupport.h"

namespace {

std::atomic<bool> g_refuseThreads{false};

}  // namespace

// Every thread this program starts goes through here, so a test can make the
// process run out of threads.
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*start)(void*),
                              void* argument) {
    if (g_refuseThreads) return EAGAIN;
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return real ? real(thread, attr, start, argument) : EAGAIN;
}

namespace {

using namespace tavro::testing::gateway_handshake;

TEST(JexGatewayNoWatch, AReadThatCannotBeBoundedEndsTheConnectionAtOnce) {
    // A read that hangs on the silent peer ends the program instead.
    alarm(60);
    TempDir dir{"gwnowatch"};
    ScriptedPeer far;
    ASSERT_TRUE(far.Listen());
    WriteFile(dir.Path() / "map", RouteEntry("srv/snode/echo", far.Address()));
    QuietGateway client;
    client.SetAttr(JexGateway::ROUTE_MAP, (dir.Path() / "map").c_str());
    client.SetAttr(JexGateway::ACID, "cli");
    client.SetAttr(JexGateway::NODE, "cnode");
    client.SetReadTimeout(1);

    g_refuseThreads = true;
    EXPECT_EQ(jexnet::DeadlineWatch::Arm([](void*) {}, nullptr, 1h), 0u);
    const auto start = std::chrono::steady_clock::now();
    const int rc = client.Connect(JexFieldedString("srv", ','), JexFieldedString("snode", ','),
                                  JexString("echo"));
    const auto took = std::chrono::steady_clock::now() - start;
    g_refuseThreads = false;
    alarm(0);

    EXPECT_NE(rc, 0);
    EXPECT_LT(took, 10s);
    EXPECT_EQ(client.Code(), JexGateway::FAILURE);
    // The far side sees its caller gone.
    ASSERT_TRUE(far.Accept());
    JexNetMsg connect;
    ASSERT_TRUE(far.Receive(connect));
    EXPECT_EQ(connect.Type(), 'C');
    EXPECT_TRUE(far.Closed());
}

}  // namespace
