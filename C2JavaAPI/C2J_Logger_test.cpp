// Tests of the log bridge inside a Java VM of this process.
#include "C2JavaAPI/C2J_Logger.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "C2JavaAPI/JNIError.h"
#include "platform/winbase.h"
#include "testing/support/LogCapture.h"
#include "testing/support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using tavro::testing::LogCapture;

// The director's record, in a directory that lives as long as the process
// (and its one Java VM).
fs::path RecordFile() {
    static const tavro::testing::TempDir dir("c2j-record");
    return dir.Path() / "record.txt";
}

// The process's one Java VM, made on first use with the test director's
// classes (a VM cannot be made twice in one process).
JavaVM* TheVM() {
    static JavaVM* vm = [] {
        setenv("TAVRO_DIRECTOR_RECORD", RecordFile().c_str(), 1);
        void* library = dlopen(TAVRO_LIBJVM, RTLD_NOW | RTLD_GLOBAL);
        if (!library) return static_cast<JavaVM*>(nullptr);
        using Create = jint (*)(JavaVM**, void**, void*);
        auto create = reinterpret_cast<Create>(dlsym(library, "JNI_CreateJavaVM"));
        std::string classPath = std::string("-Djava.class.path=") + TAVRO_DIRECTOR_JAR;
        JavaVMOption options[] = {{const_cast<char*>("-Xcheck:jni"), nullptr},
                                  {classPath.data(), nullptr}};
        JavaVMInitArgs args{JNI_VERSION_1_8, 2, options, JNI_FALSE};
        JavaVM* created = nullptr;
        JNIEnv* env = nullptr;
        if (!create || create(&created, reinterpret_cast<void**>(&env), &args) != JNI_OK)
            return created;
        return created;
    }();
    return vm;
}

JNIEnv* Attach() {
    JNIEnv* env = nullptr;
    TheVM()->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr);
    return env;
}

std::string MissingLine(DWORD threadId) {
    return " C2J_Logger.getEnvForCurThread did not find a JNIEnv for thread " +
           std::to_string(threadId) + "\n";
}

std::string Record() { return tavro::testing::ReadFile(RecordFile()); }

class C2JLoggerTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_NE(TheVM(), nullptr) << "no Java VM"; }
    void TearDown() override { fs::remove(RecordFile()); }
};

TEST_F(C2JLoggerTest, ItemsReachTheLogClassWithTheirLevel) {
    std::thread([] {
        JNIEnv* env = Attach();
        C2J_Logger logger(env, true);
        logger.logItem("plain text", 5);
        logger.logItem("caf\xc3\xa9 and caf\xe9", C2J_Logger::kLevel);  // UTF-8, then a stray byte
        logger.logItem(nullptr, 1);
        EXPECT_FALSE(env->ExceptionCheck());
        TheVM()->DetachCurrentThread();
    }).join();
    EXPECT_EQ(Record(), "log 5 plain text\nlog 3 caf\xc3\xa9 and caf\xc3\xa9\nlog 1 \n");
}

TEST_F(C2JLoggerTest, UnregisteredThreadIsDroppedWithItsId) {
    std::thread([] {
        Attach();
        LogCapture log;
        C2J_Logger(nullptr, false).logItem("lost", C2J_Logger::kLevel);
        EXPECT_EQ(log.Text(), MissingLine(GetCurrentThreadId()));
        TheVM()->DetachCurrentThread();
    }).join();
    EXPECT_EQ(Record(), "");
}

TEST_F(C2JLoggerTest, EleventhThreadFindsNoEntryAndEndedThreadsFreeTheirs) {
    std::mutex lock;
    std::condition_variable changed;
    int registered = 0;
    bool release = false;
    std::vector<std::thread> holders;
    for (int i = 0; i < C2J_Logger::kUsableEntries; ++i) {
        holders.emplace_back([&] {
            JNIEnv* env = Attach();
            C2J_Logger logger(env, false);  // kept until the thread ends
            std::unique_lock hold(lock);
            ++registered;
            changed.notify_all();
            changed.wait(hold, [&] { return release; });
            hold.unlock();
            TheVM()->DetachCurrentThread();
        });
    }
    {
        std::unique_lock hold(lock);
        changed.wait(hold, [&] { return registered == C2J_Logger::kUsableEntries; });
    }
    EXPECT_EQ(C2J_Logger::registeredThreads(), C2J_Logger::kUsableEntries);
    std::thread([] {
        JNIEnv* env = Attach();
        LogCapture log;
        C2J_Logger logger(env, true);
        logger.logItem("eleventh", C2J_Logger::kLevel);
        EXPECT_EQ(log.Text(), MissingLine(GetCurrentThreadId()));
        TheVM()->DetachCurrentThread();
    }).join();
    {
        std::lock_guard hold(lock);
        release = true;
        changed.notify_all();
    }
    for (auto& holder : holders) holder.join();
    EXPECT_EQ(C2J_Logger::registeredThreads(), 0);
    EXPECT_EQ(Record(), "");
}

TEST_F(C2JLoggerTest, EntryOfAThreadThatLeftTheVMIsNotUsed) {
    std::thread([] {
        JNIEnv* env = Attach();
        C2J_Logger logger(env, false);
        TheVM()->DetachCurrentThread();  // the JNIEnv is dead from here on
        LogCapture log;
        logger.logItem("after detach", C2J_Logger::kLevel);
        EXPECT_EQ(log.Text(), MissingLine(GetCurrentThreadId()));
        EXPECT_EQ(C2J_Logger::registeredThreads(), 0);
    }).join();
    EXPECT_EQ(Record(), "");
}

TEST_F(C2JLoggerTest, CallersPendingExceptionStaysPending) {
    std::thread([] {
        JNIEnv* env = Attach();
        jclass error = env->FindClass("java/lang/IllegalStateException");
        ASSERT_NE(error, nullptr);
        env->ThrowNew(error, "the caller's");
        C2J_Logger(env, true).logItem("while pending", C2J_Logger::kLevel);
        EXPECT_TRUE(env->ExceptionCheck());
        env->ExceptionClear();
        env->DeleteLocalRef(error);
        TheVM()->DetachCurrentThread();
    }).join();
    EXPECT_EQ(Record(), "log 3 while pending\n");
}

TEST_F(C2JLoggerTest, CheckJNIErrorClearsAndReportsAPendingException) {
    std::thread([] {
        JNIEnv* env = Attach();
        C2J_Logger logger(env, true);
        EXPECT_FALSE(JNIError(env, "Module").checkJNIError("nothing"));
        jclass error = env->FindClass("java/lang/IllegalStateException");
        ASSERT_NE(error, nullptr);
        env->ThrowNew(error, "thrown");
        EXPECT_TRUE(JNIError(env, nullptr).checkJNIError("Call"));
        EXPECT_FALSE(env->ExceptionCheck());
        env->DeleteLocalRef(error);
        EXPECT_TRUE(JNIError(nullptr, "Module").checkJNIError("no env"));
        TheVM()->DetachCurrentThread();
    }).join();
    EXPECT_EQ(Record(),
              "log 3 an unknown module.Call\nlog 3 an unknown module.Call JNIexception cleared\n");
}

}  // namespace
