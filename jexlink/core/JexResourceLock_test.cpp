// Tests of the named resource lock and the process-wide file lock.
#include "jexlink/core/JexResourceLock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>

#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexThread.h"

namespace {

TEST(JexResourceLock, NameOfOneTo31Characters) {
    const std::string max(31, 'r'), over(32, 'r');
    struct Case {
        const char* name;
        int code;
    } cases[] = {
        {"jex_logger", JexResourceLock::OK},        {max.c_str(), JexResourceLock::OK},
        {over.c_str(), JexResourceLock::BADRESNAM}, {"", JexResourceLock::BADRESNAM},
        {nullptr, JexResourceLock::BADRESNAM},
    };
    for (const Case& c : cases) {
        JexResourceLock lock(c.name);  // suppressed: a bad name is only recorded
        EXPECT_EQ(lock.Code(), c.code);
        if (c.code == JexResourceLock::OK) {
            EXPECT_STREQ(lock.Name().Text(), c.name);
            continue;
        }
        EXPECT_STREQ(lock.Name().Text(), "");
        EXPECT_STREQ(lock.Args()[0].Data(), "resnam check");
        EXPECT_EQ(std::string(lock.FormattedText(1).Text()),
                  "JexResourceLock::BADRESNAM, Bad resource name \"" +
                      std::string(c.name ? c.name : "") + "\"");
    }
    JexResourceLock from_string(JexString("jex_vldb"));
    EXPECT_EQ(from_string.Code(), 0);
    EXPECT_STREQ(from_string.Name().Text(), "jex_vldb");
}

TEST(JexResourceLock, TableRows) {
    JexResourceLock lock("jex_vsdb");
    struct Case {
        int code;
        const char* name;
        const char* text;
    } cases[] = {
        {0, "JexResourceLock::OK", "Success"},
        {1, "JexResourceLock::BADRESNAM", "Bad resource name \"%1$s\""},
        {2, "JexResourceLock::LOCKFAIL", "Failed to acquire lock on resource %1$s"},
        {3, "JexResourceLock::UNLOCKFAIL", "Failed to release lock on resource %1$s"},
    };
    for (const Case& c : cases) {
        EXPECT_STREQ(lock.CodeName(c.code).Text(), c.name);
        EXPECT_STREQ(lock.Text(c.code).Text(), c.text);
    }
}

TEST(JexPrivLock, NestsInOneThreadAndExcludesOthers) {
    std::atomic<bool> taken{false};
    auto other = [](JexThread*, void* argument) {
        JexPrivLock hold;
        static_cast<std::atomic<bool>*>(argument)->store(true);
        return 0;
    };
    std::unique_ptr<JexThread> thread;
    {
        JexPrivLock outer(1);
        EXPECT_EQ(JexPrivLock::Privileged(), 1);
        thread = std::make_unique<JexThread>(other, &taken);
        {
            JexPrivLock inner;  // does not block this thread
            EXPECT_EQ(JexPrivLock::Privileged(), 0);
        }
        JexSleepSeconds(0.1);
        EXPECT_FALSE(taken.load());  // still held by outer
    }
    thread->Join();
    EXPECT_TRUE(taken.load());
}

TEST(JexPrivLock, OpenAndCloseUnderTheLock) {
    errno = 0;
    EXPECT_EQ(JexPrivLock::fopen("/nonexistent/dir/file", "r"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    FILE* f = JexPrivLock::fopen("/dev/null", "r");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(JexPrivLock::fclose(f), 0);
    JexPrivLock::Initialize();  // later calls do nothing
    JexPrivLock::Reinitialize();
    JexPrivLock hold;
}

}  // namespace
