// Tests of named events and mutexes across processes and session name spaces.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/winbase.h"
#include "testing/support/KernelTestSupport.h"

namespace {

using tavro::testing::Handle;
using tavro::testing::KernelChild;

// "<made> <last error>" as KernelChild answers.
std::string Made(DWORD error) { return "1 " + std::to_string(error); }
const std::string kTimedOut = std::to_string(WAIT_TIMEOUT) + " 0";

// The director's wait on the service's shutdown event and the service
// process: whichever is signalled first ends it, with its index.
TEST(NamedEvent, WaitWithCreatorProcessEndsBySetOrByDeath) {
    struct Case {
        const char* action;  // of the child, or "kill"
        DWORD result;
    };
    const Case cases[] = {
        {"set Qim-4711", WAIT_OBJECT_0},
        {"kill", WAIT_OBJECT_0 + 1},
        {"exit 3", WAIT_OBJECT_0 + 1},
    };
    for (const Case& c : cases) {
        KernelChild child;
        ASSERT_EQ(child.Call("event Qim-4711 1 0"), Made(ERROR_SUCCESS));
        Handle event(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Qim-4711"));
        Handle process(OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(child.Pid())));
        ASSERT_NE(event.h, nullptr);
        ASSERT_NE(process.h, nullptr);
        const HANDLE both[] = {event, process};
        EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20), WAIT_TIMEOUT);
        std::thread actor([&] {
            Sleep(50);
            std::string action = c.action;
            action == "kill" ? child.Kill() : child.Send(action);
        });
        EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20000), c.result) << c.action;
        actor.join();
        EXPECT_EQ(WaitForSingleObject(event, 0),
                  c.result == WAIT_OBJECT_0 ? WAIT_OBJECT_0 : WAIT_TIMEOUT)
            << c.action;
    }
}

TEST(NamedEvent, CreateOfExistingNameSharesObject) {
    KernelChild child;
    ASSERT_EQ(child.Call("event shared 0 0"), Made(ERROR_SUCCESS));
    // The existing object keeps its kind: this handle reaches the auto-reset event.
    Handle event(CreateEventA(nullptr, TRUE, FALSE, "shared"));
    ASSERT_NE(event.h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(child.Call("wait shared 5000"), "0 0");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "consumed by the child";
    EXPECT_TRUE(SetEvent(event));
    EXPECT_TRUE(ResetEvent(event));
    EXPECT_EQ(child.Call("wait shared 0"), kTimedOut);
}

TEST(NamedEvent, OpenOfMissingNameFailsWithFileNotFound) {
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "no-such-event"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(NamedEvent, NameEndsWithItsLastHandle) {
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, "short-lived");
    ASSERT_NE(event, nullptr);
    HANDLE again = OpenEventA(EVENT_ALL_ACCESS, FALSE, "short-lived");
    ASSERT_NE(again, nullptr);
    CloseHandle(event);
    EXPECT_EQ(WaitForSingleObject(again, 0), WAIT_OBJECT_0);
    CloseHandle(again);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "short-lived"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(NamedEvent, NameOfKilledProcessIsGoneAndCreatedAnew) {
    {
        KernelChild child;
        ASSERT_EQ(child.Call("event Qim-99 1 1"), Made(ERROR_SUCCESS));
        child.Kill();
    }
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Qim-99"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    Handle event(CreateEventA(nullptr, TRUE, FALSE, "Qim-99"));
    ASSERT_NE(event.h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "no state of the dead object";
}

// A killed service leaves no single-instance mutex behind for the next one.
TEST(NamedMutex, NameOfKilledHolderIsCreatedAnew) {
    {
        KernelChild holder;
        ASSERT_EQ(holder.Call("mutex Only.one.TavroService 1"), Made(ERROR_SUCCESS));
        holder.Kill();
    }
    KernelChild next;
    EXPECT_EQ(next.Call("mutex Only.one.TavroService 1"), Made(ERROR_SUCCESS));
    EXPECT_EQ(next.Call("wait Only.one.TavroService 0"), "0 0") << "not abandoned: a new mutex";
}

// Processes that open and close one name at the same time always reach a
// working object: while one holds it they all share it, and a name whose
// last holder is leaving is created anew, never failed.
TEST(NamedEvent, ConcurrentOpenAndCloseNeverFail) {
    constexpr int kRounds = 150;
    std::vector<std::unique_ptr<KernelChild>> children;
    for (int i = 0; i < 3; ++i) children.push_back(std::make_unique<KernelChild>());
    std::vector<std::thread> drivers;
    std::atomic<int> failures{0};
    for (auto& child : children) {
        drivers.emplace_back([&failures, &child] {
            for (int round = 0; round < kRounds; ++round) {
                std::string made = child->Call("event churn 1 0");
                if (made != "1 0" && made != "1 183") ++failures;
                if (child->Call("close churn") != "1 0") ++failures;
            }
        });
    }
    for (std::thread& driver : drivers) driver.join();
    EXPECT_EQ(failures, 0);

    Handle held(CreateEventA(nullptr, TRUE, TRUE, "churn"));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << "nothing left behind";
    for (auto& child : children) {
        EXPECT_EQ(child->Call("event churn 1 0"), "1 183");
        EXPECT_EQ(child->Call("wait churn 0"), "0 0");
    }
}

TEST(NamedEvent, AutoResetReleasesOneProcess) {
    Handle event(CreateEventA(nullptr, FALSE, FALSE, "one-at-a-time"));
    KernelChild child;
    ASSERT_EQ(child.Call("openevent one-at-a-time"), Made(ERROR_SUCCESS));
    child.Send("wait one-at-a-time 20000");
    Sleep(50);
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(child.Call(""), "0 0");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
}

TEST(NamedObject, NameOfOtherKindFailsWithInvalidHandle) {
    Handle event(CreateEventA(nullptr, TRUE, FALSE, "taken"));
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "taken"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    Handle mutex(CreateMutexA(nullptr, FALSE, "a-mutex"));
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "a-mutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, "a-mutex"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(NamedObject, NamesWithAnyCharacterStayApart) {
    const std::string names[] = {
        "Global\\a/b", "a%2Fb", "a/b", "a b", "A/B", "../x", std::string(MAX_PATH, 'n')};
    std::vector<HANDLE> handles;
    for (const std::string& name : names) {
        handles.push_back(CreateEventA(nullptr, TRUE, FALSE, name.c_str()));
        EXPECT_NE(handles.back(), nullptr) << name;
        EXPECT_EQ(GetLastError(), ERROR_SUCCESS) << name;
    }
    for (HANDLE handle : handles) CloseHandle(handle);
}

TEST(NamedObject, TooLongNameFails) {
    const std::string name(MAX_PATH + 1, 'x');
    EXPECT_EQ(CreateEventA(nullptr, TRUE, FALSE, name.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}

TEST(NamedMutex, SecondHolderIsToldItExistsAndGetsItWhenHolderIsKilled) {
    KernelChild holder;
    ASSERT_EQ(holder.Call("mutex Only.one.TavroService 1"), Made(ERROR_SUCCESS));
    Handle mutex(CreateMutexA(nullptr, TRUE, "Only.one.TavroService"));
    ASSERT_NE(mutex.h, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_TIMEOUT) << "initial ownership is not granted";
    std::thread killer([&] {
        Sleep(50);
        holder.Kill();
    });
    EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED_0);
    killer.join();

    KernelChild next;
    EXPECT_EQ(next.Call("mutex Only.one.TavroService 0"), Made(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(next.Call("wait Only.one.TavroService 0"), kTimedOut);
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_EQ(next.Call("wait Only.one.TavroService 20000"), "0 0")
        << "released normally: not abandoned";
}

// A thread that ends holding the mutex abandons it, also for another
// process, while its own process lives on; a waiter already asleep wakes.
TEST(NamedMutex, OwnerThreadEndingInLiveProcessAbandonsItForOtherProcess) {
    struct Case {
        const char* name;
        DWORD holdMs;  // how long the child's thread holds it before ending
    };
    const Case cases[] = {{"ended-before-wait", 0}, {"ends-while-waiting", 300}};
    for (const Case& c : cases) {
        KernelChild child;
        ASSERT_EQ(child.Call(std::string("mutex ") + c.name + " 0"), Made(ERROR_SUCCESS));
        ASSERT_EQ(
            child.Call(std::string("holdinthread ") + c.name + " " + std::to_string(c.holdMs)),
            "0 0");
        Handle mutex(CreateMutexA(nullptr, FALSE, c.name));
        ASSERT_NE(mutex.h, nullptr);
        EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_ABANDONED_0) << c.name;
        EXPECT_TRUE(ReleaseMutex(mutex)) << c.name;
        EXPECT_EQ(child.Call(std::string("wait ") + c.name + " 20000"), "0 0")
            << c.name << ": released normally, not abandoned; the child lives on";
    }
}

// fork() copies the handles, not the ownership: the child waits like
// anyone else and cannot release the parent's hold.
TEST(Mutex, ForkedChildDoesNotOwnParentsMutex) {
    for (const char* name : {"held-across-fork", static_cast<const char*>(nullptr)}) {
        Handle mutex(CreateMutexA(nullptr, TRUE, name));
        ASSERT_NE(mutex.h, nullptr);
        int status = tavro::testing::RunInChild([&] {
            if (WaitForSingleObject(mutex, 0) != WAIT_TIMEOUT) return 1;
            if (ReleaseMutex(mutex) || GetLastError() != ERROR_NOT_OWNER) return 2;
            return 0;
        });
        EXPECT_EQ(status, 0) << (name ? name : "unnamed");
        EXPECT_TRUE(ReleaseMutex(mutex));
    }
}

// Waiting needs no file watch: with every inotify instance of the user
// taken, waiters on a named event still sleep.
TEST(NamedEvent, WaitersWithNoInotifyInstanceLeftDoNotSpin) {
    using tavro::testing::As;
    As as = tavro::testing::CanActAsOtherUser() ? As::OtherUser : As::ThisUser;
    int status = tavro::testing::RunInChild(
        [] {
            std::vector<int> watches;
            for (int fd; watches.size() < 100000 && (fd = inotify_init1(IN_CLOEXEC)) >= 0;)
                watches.push_back(fd);
            HANDLE event = CreateEventA(nullptr, TRUE, FALSE, "idle");
            if (!event) return 3;
            rusage before{};
            getrusage(RUSAGE_SELF, &before);
            std::vector<std::thread> waiters;
            std::atomic<int> timedOut{0};
            for (int i = 0; i < 16; ++i) {
                waiters.emplace_back([&] {
                    if (WaitForSingleObject(event, 500) == WAIT_TIMEOUT) ++timedOut;
                });
            }
            for (std::thread& waiter : waiters) waiter.join();
            rusage after{};
            getrusage(RUSAGE_SELF, &after);
            auto micros = [](const timeval& t) { return t.tv_sec * 1000000L + t.tv_usec; };
            long used = micros(after.ru_utime) - micros(before.ru_utime) + micros(after.ru_stime) -
                        micros(before.ru_stime);
            if (timedOut != 16) return 4;
            // 16 threads for half a second: 8 s of processor time if they spun.
            return used < 200000 ? 0 : 5;
        },
        as);
    EXPECT_EQ(status, 0);
}

TEST(NamedMutex, ReleaseInOtherProcessWakesWaiter) {
    KernelChild holder;
    ASSERT_EQ(holder.Call("mutex held 1"), Made(ERROR_SUCCESS));
    Handle mutex(CreateMutexA(nullptr, FALSE, "held"));
    std::thread releaser([&] {
        Sleep(50);
        holder.Call("release held");
    });
    EXPECT_EQ(WaitForSingleObject(mutex, 20000), WAIT_OBJECT_0);
    releaser.join();
    EXPECT_TRUE(ReleaseMutex(mutex));
}

TEST(NamedMutex, HandlesOfOneProcessShareOwnership) {
    Handle first(CreateMutexA(nullptr, TRUE, "mine"));
    Handle second(CreateMutexA(nullptr, TRUE, "mine"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(second, 0), WAIT_OBJECT_0) << "the owner takes it again";
    DWORD other = WAIT_FAILED;
    BOOL released = TRUE;
    DWORD error = 0;
    std::thread([&] {
        other = WaitForSingleObject(second, 0);
        released = ReleaseMutex(first);
        error = GetLastError();
    }).join();
    EXPECT_EQ(other, WAIT_TIMEOUT);
    EXPECT_FALSE(released);
    EXPECT_EQ(error, ERROR_NOT_OWNER);
    EXPECT_TRUE(ReleaseMutex(first));
    EXPECT_TRUE(ReleaseMutex(second));
    EXPECT_FALSE(ReleaseMutex(second));
}

TEST(Session, UnprefixedNamesAreSeparateGlobalNamesShared) {
    KernelChild service(0);
    ASSERT_EQ(service.Call("mutex Only.one.TavroService 1"), Made(ERROR_SUCCESS));
    ASSERT_EQ(service.Call("event Qim-1 1 0"), Made(ERROR_SUCCESS));
    ASSERT_EQ(service.Call("event Global\\Qim-2 1 0"), Made(ERROR_SUCCESS));

    // This process is in session 1.
    Handle mutex(CreateMutexA(nullptr, TRUE, "Only.one.TavroService"));
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(mutex, 0), WAIT_OBJECT_0);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Qim-1"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    Handle global(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Global\\Qim-2"));
    EXPECT_NE(global.h, nullptr);
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "Qim-2"), nullptr);

    // A child of the service stays in session 0 and sees the service's
    // names; "Local\" is the session's own name space.
    KernelChild director(0);
    EXPECT_EQ(director.Call("openevent Qim-1"), Made(ERROR_SUCCESS));
    EXPECT_EQ(director.Call("openevent Local\\Qim-1"), Made(ERROR_SUCCESS));
    EXPECT_EQ(director.Call("mutex Only.one.TavroService 0"), Made(ERROR_ALREADY_EXISTS));
    KernelChild shell(1);
    EXPECT_EQ(shell.Call("mutex Only.one.TavroService 0"), Made(ERROR_ALREADY_EXISTS))
        << "this process's mutex";
    EXPECT_EQ(shell.Call("openevent Global\\Qim-2"), Made(ERROR_SUCCESS));
    // Owned by this thread, the name would outlive the test (taken once
    // when made and once by the wait).
    EXPECT_TRUE(ReleaseMutex(mutex));
    EXPECT_TRUE(ReleaseMutex(mutex));
}

}  // namespace
