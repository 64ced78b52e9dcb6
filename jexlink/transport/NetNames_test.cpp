// Tests of host and service names: numbers, the services file, resolution both ways.
#include "jexlink/transport/NetNames.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "testing/support/Sockets.h"
#include "testing/support/TempDir.h"
#include "testing/support/TransportTestSupport.h"

namespace {

// A private directory for a services file of the test's own.
class NetNames : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(tmp_.Path().empty()); }

    tavro::testing::TempDir tmp_{"tavro-services"};
    const std::string services_ = (tmp_.Path() / "services").string();
};

TEST_F(NetNames, ParseNumberUsesCBaseDetection) {
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {
        {"25", 25},
        {"0x800", 2048},
        {"010", 8},
        {"0", 0},
        {"", 0},
        {"smtp", 0},
        {"-5", -5},
        {"  42x", 42},
        {nullptr, 0},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
        {"0x", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "null");
        EXPECT_EQ(jexnet::ParseNumber(c.text), c.value);
    }
}

const char* const kServices =
    "# services of the library\r\n"
    "jexgw      7001/tcp   gateway jexgate  # the gateway\r\n"
    "jexudp     7002/udp\n"
    "smtp       2525/tcp   mail\n"
    "bad        99999/tcp\n"
    "worse      12x/tcp\n"
    "noproto    7003\n"
    "   \n"
    "late       7001/TCP\n";

TEST_F(NetNames, ServicesTextFindsTcpNamesAndAliases) {
    struct Case {
        const char* name;
        int port;
    } cases[] = {
        {"jexgw", 7001}, {"gateway", 7001}, {"jexgate", 7001}, {"smtp", 2525}, {"mail", 2525},
        {"jexudp", 0},   {"bad", 0},        {"worse", 0},      {"noproto", 0}, {"late", 7001},
        {"the", 0},      {"", 0},           {nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name ? c.name : "null");
        EXPECT_EQ(jexnet::FindServicePort(kServices, c.name), c.port);
    }
    EXPECT_EQ(jexnet::FindServiceName(kServices, 7001), "jexgw");  // the first entry wins
    EXPECT_EQ(jexnet::FindServiceName(kServices, 2525), "smtp");
    EXPECT_EQ(jexnet::FindServiceName(kServices, 7002), "");
    EXPECT_EQ(jexnet::FindServiceName("", 25), "");
}

TEST_F(NetNames, LibraryServicesFileComesBeforeTheSystemOne) {
    tavro::testing::WriteFile(services_, kServices);
    EXPECT_EQ(jexnet::ServicePort("smtp", services_), 2525);
    EXPECT_EQ(jexnet::ServicePort("jexgw", services_), 7001);
    EXPECT_EQ(jexnet::ServiceName(2525, services_), "smtp");
    EXPECT_EQ(jexnet::ServicePort("smtp", ""), 25);                // the system's
    EXPECT_EQ(jexnet::ServicePort("smtp", "/nonexistent/x"), 25);  // a missing file
    EXPECT_EQ(jexnet::ServiceName(25, ""), "smtp");
    EXPECT_EQ(jexnet::ServicePort("no-such-service-here", services_), 0);
    EXPECT_EQ(jexnet::ServiceName(0, services_), "");
    EXPECT_EQ(jexnet::ServiceName(70000, services_), "");
}

TEST_F(NetNames, TheLibrarysServicesFileLiesUnderTheSystemRoot) {
    EXPECT_EQ(jexnet::ServicePort("jexgw", jexnet::LibraryServicesFile()), 0);  // no root yet
    tavro::testing::TempDir root("tavro-root");
    ASSERT_FALSE(root.Path().empty());
    const std::string path = tavro::testing::InstallServicesFile(root.Path(), kServices);
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(jexnet::LibraryServicesFile(), path);
    EXPECT_EQ(jexnet::ServicePort("jexgw", jexnet::LibraryServicesFile()), 7001);
}

TEST_F(NetNames, HostsResolveBothWays) {
    in_addr a{};
    ASSERT_TRUE(jexnet::ResolveHost("127.0.0.1", &a));
    EXPECT_EQ(ntohl(a.s_addr), 0x7F000001u);
    ASSERT_TRUE(jexnet::ResolveHost("localhost", &a));
    EXPECT_EQ(ntohl(a.s_addr) >> 24, 127u);
    EXPECT_FALSE(jexnet::ResolveHost(tavro::testing::kUnresolvableHost, &a));
    EXPECT_FALSE(jexnet::ResolveHost("", &a));
    EXPECT_FALSE(jexnet::ResolveHost(nullptr, &a));
    a.s_addr = htonl(0x7F000001);
    EXPECT_FALSE(jexnet::HostNameOf(a).empty());
    EXPECT_FALSE(jexnet::LocalHostName().empty());
}

// A source file whose access and modification times lie `age` seconds
// back. Its change time stays now (it cannot be set back), so a cache that
// is to keep answers read from it waits for no quiet time (kNoQuiet).
void WriteAged(const std::string& path, const std::string& text, int age) {
    std::ofstream(path, std::ios::trunc) << text;
    timespec back{};
    clock_gettime(CLOCK_REALTIME, &back);
    back.tv_sec -= age;
    const timespec times[2] = {back, back};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

constexpr std::chrono::seconds kTtl(2);
constexpr std::chrono::nanoseconds kNoQuiet(0);

// Counts the look-ups a cache makes for a key whose answer is the text of
// `source`.
struct CountedLook {
    std::string source;
    int calls = 0;
    std::string operator()() {
        ++calls;
        std::ifstream in(source);
        std::string text;
        std::getline(in, text);
        return text;
    }
};

std::function<std::string()> CountedFind(CountedLook& look) {
    return [&look] { return look(); };
}

// A private directory for the sources a cache stamps, and the counted
// look-up of the key's answer, the text of its "hosts" file.
class SourceStampedCache : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(tmp_.Path().empty()); }
    std::string Source(const char* name) const { return (tmp_.Path() / name).string(); }

    tavro::testing::TempDir tmp_{"tavro-names"};
    const std::string hosts_ = Source("hosts");
    CountedLook look_{hosts_};
};

TEST_F(SourceStampedCache, KeepsAnAnswerWhileItsSourcesStay) {
    WriteAged(hosts_, "first", 60);
    jexnet::SourceStampedCache<std::string> cache(kTtl, kNoQuiet);
    auto find = [&] { return cache.Find("k", {hosts_}, CountedFind(look_)); };
    EXPECT_EQ(find(), "first");
    EXPECT_EQ(find(), "first");
    EXPECT_EQ(look_.calls, 1);
    EXPECT_EQ(cache.Find("other", {hosts_}, CountedFind(look_)), "first");
    EXPECT_EQ(look_.calls, 2);  // each key has its own answer
}

TEST_F(SourceStampedCache, SeesAChangedSource) {
    const std::string services = Source("services");
    WriteAged(hosts_, "first", 60);
    jexnet::SourceStampedCache<std::string> cache(kTtl, kNoQuiet);
    auto find = [&] { return cache.Find("k", {services, hosts_}, CountedFind(look_)); };
    EXPECT_EQ(find(), "first");
    // The same size and, set back, the same modification time: the change
    // time still moves.
    WriteAged(hosts_, "again", 60);
    EXPECT_EQ(find(), "again");
    // A file replaced by another.
    const std::string next = Source("next");
    WriteAged(next, "other", 60);
    ASSERT_EQ(std::rename(next.c_str(), hosts_.c_str()), 0);
    EXPECT_EQ(find(), "other");
    // A source that appears, then goes.
    WriteAged(services, "x", 60);
    EXPECT_EQ(find(), "other");
    EXPECT_EQ(look_.calls, 4);
    ASSERT_EQ(std::remove(services.c_str()), 0);
    EXPECT_EQ(find(), "other");
    EXPECT_EQ(look_.calls, 5);
}

// Without a file watch, only the stamps tell.
TEST_F(SourceStampedCache, KeepsNothingFromAFreshlyChangedSourceItStamps) {
    std::ofstream(hosts_) << "now";  // changed just now: it may change again in the same tick
    jexnet::SourceStampedCache<std::string> cache(std::chrono::seconds(2), std::chrono::seconds(2),
                                                  256, nullptr);
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "now");
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "now");
    EXPECT_EQ(look_.calls, 2);
    // Nor from one whose modification time was set back after the write:
    // its change time tells.
    WriteAged(hosts_, "old", 60);
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "old");
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "old");
    EXPECT_EQ(look_.calls, 4);
}

// A watched source is kept also when written just now: its next change in
// the same tick, with the same size and times, is still seen.
TEST_F(SourceStampedCache, KeepsAFreshlyChangedSourceItWatchesUntilItChanges) {
    std::ofstream(hosts_) << "one";
    JexFileWatch watch;
    jexnet::SourceStampedCache<std::string> cache(std::chrono::seconds(2), std::chrono::seconds(2),
                                                  256, &watch);
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "one");
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "one");
    EXPECT_EQ(look_.calls, 1);
    struct stat before {};
    ASSERT_EQ(::stat(hosts_.c_str(), &before), 0);
    std::ofstream(hosts_, std::ios::trunc) << "two";
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, hosts_.c_str(), times, 0), 0);
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "two");
    EXPECT_EQ(look_.calls, 2);
}

TEST_F(SourceStampedCache, AnAnswerAgesOut) {
    WriteAged(hosts_, "first", 60);
    jexnet::SourceStampedCache<std::string> cache(std::chrono::milliseconds(20), kNoQuiet);
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "first");
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
    EXPECT_EQ(cache.Find("k", {hosts_}, CountedFind(look_)), "first");
    EXPECT_EQ(look_.calls, 2);
}

TEST_F(SourceStampedCache, HoldsAtMostItsCapacity) {
    jexnet::SourceStampedCache<std::string> cache(std::chrono::seconds(2), std::chrono::seconds(2),
                                                  2);
    int calls = 0;
    std::function<std::string()> look = [&] { return std::to_string(++calls); };
    EXPECT_EQ(cache.Find("a", {}, look), "1");
    EXPECT_EQ(cache.Find("b", {}, look), "2");
    EXPECT_EQ(cache.Find("a", {}, look), "1");
    EXPECT_EQ(cache.Find("c", {}, look), "3");  // full: the answers kept so far go
    EXPECT_EQ(cache.Find("a", {}, look), "4");
}

TEST_F(NetNames, AChangedLibraryServicesFileIsSeen) {
    WriteAged(services_, "jexgw 7001/tcp\n", 60);
    EXPECT_EQ(jexnet::ServiceName(7001, services_), "jexgw");
    EXPECT_EQ(jexnet::ServiceName(7001, services_), "jexgw");
    WriteAged(services_, "jexgx 7001/tcp\n", 60);
    EXPECT_EQ(jexnet::ServiceName(7001, services_), "jexgx");
    ASSERT_EQ(std::remove(services_.c_str()), 0);
    EXPECT_EQ(jexnet::ServiceName(7001, services_), "");
}

}  // namespace
