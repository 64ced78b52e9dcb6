// Tests of the 128-bit random values: the construction, uniqueness across threads and forked
// children, byte fills.
#include "jexlink/session/rand128.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "jexlink/core/JexBuffer.h"
#include "testing/support/ChildProcesses.h"
#include "testing/support/TempDir.h"

namespace {

using Value = std::array<unsigned char, 16>;

Value Draw() {
    Value v;
    rand128(v.data());
    return v;
}

// True when some value occurs twice.
bool HasRepeat(std::vector<Value> values) {
    std::sort(values.begin(), values.end());
    return std::adjacent_find(values.begin(), values.end()) != values.end();
}

Value Md5(const std::vector<unsigned char>& bytes) {
    Value v;
    MD5_CTX ctx;
    MD5Init(&ctx);
    MD5Update(&ctx, bytes.data(), bytes.size());
    MD5Final(v.data(), &ctx);
    return v;
}

void AppendLittleEndian(std::vector<unsigned char>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

TEST(Rand128, ReturnsItsArgumentAndDiffersCallToCall) {
    unsigned char a[16], b[16];
    EXPECT_EQ(rand128(a), a);
    EXPECT_EQ(rand128(b), b);
    EXPECT_NE(0, std::memcmp(a, b, sizeof a));
}

// The n-th value is the MD5 of the seed block and the first n draw blocks;
// the generator draws sit little-endian in front of each draw's fill bytes.
TEST(Rand128, ValueIsDigestOfSeedAndDrawBlocks) {
    const uint32_t pid = 0x01020304, now = 0x5f000000;
    unsigned char seedFill[Rand128Generator::kSeedFill];
    for (size_t i = 0; i < sizeof seedFill; ++i) seedFill[i] = static_cast<unsigned char>(i);
    unsigned char drawFill[2][Rand128Generator::kDrawFill];
    std::memset(drawFill[0], 0xA5, sizeof drawFill[0]);
    std::memset(drawFill[1], 0x5A, sizeof drawFill[1]);

    Rand128Generator gen(pid, now, seedFill);
    unsigned char got[2][16];
    gen.Next(got[0], drawFill[0]);
    gen.Next(got[1], drawFill[1]);

    // The same generator, seeded apart, gives the draws.
    random_data rd{};
    char rs[256];
    initstate_r(now, rs, sizeof rs, &rd);
    std::vector<unsigned char> fed;
    AppendLittleEndian(fed, pid);
    AppendLittleEndian(fed, now);
    fed.insert(fed.end(), seedFill, seedFill + sizeof seedFill);
    for (int call = 0; call < 2; ++call) {
        for (int i = 0; i < 4; ++i) {
            int32_t r;
            random_r(&rd, &r);
            AppendLittleEndian(fed, static_cast<uint32_t>(r));
        }
        fed.insert(fed.end(), drawFill[call], drawFill[call] + sizeof drawFill[call]);
        Value value;
        std::memcpy(value.data(), got[call], 16);
        EXPECT_EQ(value, Md5(fed)) << "value " << call + 1;
    }
}

TEST(Rand128, LeavesTheProcessGeneratorAlone) {
    srandom(42);
    long expected[3] = {random(), random(), random()};
    srandom(42);
    long got[3];
    for (long& r : got) {
        Draw();
        r = random();
    }
    EXPECT_EQ(std::vector<long>(got, got + 3), std::vector<long>(expected, expected + 3));
}

TEST(Rand128, MillionValuesAcrossEightThreadsNeverRepeat) {
    constexpr int kThreads = 8, kEach = 125000;
    std::vector<std::vector<Value>> perThread(kThreads);
    std::vector<std::thread> threads;
    for (auto& values : perThread) {
        threads.emplace_back([&values] {
            values.reserve(kEach);
            for (int i = 0; i < kEach; ++i) values.push_back(Draw());
        });
    }
    for (auto& t : threads) t.join();
    std::vector<Value> all;
    for (auto& values : perThread) all.insert(all.end(), values.begin(), values.end());
    ASSERT_EQ(all.size(), static_cast<size_t>(kThreads) * kEach);
    EXPECT_FALSE(HasRepeat(std::move(all)));
}

// Two children forked from one seeded parent must not replay its sequence.
TEST(Rand128, ForkedChildrenNeverRepeatEachOther) {
    constexpr int kEach = 500000;
    tavro::testing::TempDir dir("rand128");
    ASSERT_FALSE(dir.Path().empty());
    tavro::testing::ChildGuard guard;
    std::vector<Value> parent = {Draw()};  // the state exists before the forks
    std::string files[2];
    pid_t pids[2];
    for (int c = 0; c < 2; ++c) {
        files[c] = (dir.Path() / ("child" + std::to_string(c))).string();
        pids[c] = fork();
        ASSERT_GE(pids[c], 0);
        if (pids[c] == 0) {
            FILE* out = std::fopen(files[c].c_str(), "wb");
            bool ok = out != nullptr;
            for (int i = 0; ok && i < kEach; ++i) ok = std::fwrite(Draw().data(), 16, 1, out) == 1;
            ok = out && std::fclose(out) == 0 && ok;
            _exit(ok ? 0 : 1);
        }
    }
    for (int i = 0; i < 1000; ++i) parent.push_back(Draw());
    std::vector<Value> all = parent;
    for (int c = 0; c < 2; ++c) {
        int status = tavro::testing::ChildGuard::WaitChild(pids[c], 60000);
        ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << c;
        std::string bytes = tavro::testing::ReadFile(files[c]);
        ASSERT_EQ(bytes.size(), static_cast<size_t>(kEach) * 16);
        for (size_t off = 0; off < bytes.size(); off += 16) {
            Value v;
            std::memcpy(v.data(), bytes.data() + off, 16);
            all.push_back(v);
        }
    }
    EXPECT_FALSE(HasRepeat(std::move(all)));
}

// A source that numbers its values: every byte of value k is k.
int numbered_calls = 0;
void* Numbered(void* out) {
    ++numbered_calls;
    std::memset(out, numbered_calls, 16);
    return out;
}

TEST(Rand128, RandomFillDrawsOneValuePerSixteenBytes) {
    struct Case {
        int n;
        int draws;
    } cases[] = {{-5, 0}, {0, 0}, {1, 1}, {16, 1}, {20, 2}, {32, 2}, {33, 3}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        numbered_calls = 0;
        JexBuffer buf("previous contents");
        jex_random_fill(buf, c.n, Numbered);
        EXPECT_EQ(numbered_calls, c.draws);
        const int n = std::max(c.n, 0);
        ASSERT_EQ(buf.Length(), n);
        for (int i = 0; i < n; ++i) ASSERT_EQ(buf.Data()[i], static_cast<char>(i / 16 + 1)) << i;
        EXPECT_EQ(buf.Data()[n], '\0');
    }
}

TEST(Rand128, RandomFillFromRand128) {
    JexBuffer a, b;
    jex_random_fill(a, 20);
    jex_random_fill(b, 20);
    ASSERT_EQ(a.Length(), 20);
    ASSERT_EQ(b.Length(), 20);
    EXPECT_FALSE(a == b);
}

}  // namespace
