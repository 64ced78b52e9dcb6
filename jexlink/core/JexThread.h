// The thread package: threads, recursive mutexes and guards, conditions, the global lock.
#pragma once

#include <pthread.h>

#include <condition_variable>
#include <mutex>

// Result of JexMutex::Lock when the previous owner thread ended holding it.
constexpr int kJexMutexAbandoned = 0x80;
// Code of the structured exception that a failing system call raises.
constexpr unsigned kJexThreadFailure = 0xEACEBAD1u;

// A failing system call inside the package is not a library error: it
// prints the site and the error number on standard error and aborts.
[[noreturn]] void JexThreadFailure(const char* site, int error);

// A recursive mutex. The owning thread may lock it again and must unlock it
// as often. When its owner thread ends while holding it, the next Lock takes
// it over and reports kJexMutexAbandoned.
class JexMutex {
public:
    // The kind (0 stands for the default) has no effect here: every
    // JexMutex is recursive.
    explicit JexMutex(int kind = 0);
    virtual ~JexMutex();
    JexMutex(const JexMutex&) = delete;
    JexMutex& operator=(const JexMutex&) = delete;

    // Waits without limit; 0, or kJexMutexAbandoned.
    int Lock();
    // 1 when taken (also when abandoned or already held by this thread),
    // 0 when another thread holds it.
    int TryLock();
    void Unlock();

private:
    pthread_mutex_t mutex_;
};

// Holds a mutex for one scope.
class JexMutexLock {
public:
    explicit JexMutexLock(JexMutex* mutex) : mutex_(mutex) { mutex_->Lock(); }
    explicit JexMutexLock(JexMutex& mutex) : JexMutexLock(&mutex) {}
    ~JexMutexLock() { mutex_->Unlock(); }
    JexMutexLock(const JexMutexLock&) = delete;
    JexMutexLock& operator=(const JexMutexLock&) = delete;

private:
    JexMutex* mutex_;
};

// The process-wide mutex (time conversions, the date parser).
JexMutex& JexGlobalMutex();

// Holds the global mutex for one scope.
class JexGlobalLock {
public:
    JexGlobalLock() { JexGlobalMutex().Lock(); }
    ~JexGlobalLock() { JexGlobalMutex().Unlock(); }
    JexGlobalLock(const JexGlobalLock&) = delete;
    JexGlobalLock& operator=(const JexGlobalLock&) = delete;
};

// A thread of the library. It starts at once; the destructor waits for it
// to end. The start function's result is the thread's exit code.
class JexThread : public JexMutex {
public:
    using StartFunction = int (*)(JexThread* thread, void* argument);

    // priority: a Win32 thread priority (-2 lowest to 2 highest, -15 idle,
    // 15 time-critical) applied when it is not 0; flags are unused.
    JexThread(StartFunction start, void* argument, int priority = 0, int flags = 0);
    ~JexThread() override;

    // Waits without limit for the thread to end; 0. Safe to call again and
    // from several threads.
    int Join();
    // A thread cannot be stopped safely from outside on this platform: the
    // exit code becomes 0 and the thread's own result is ignored, but the
    // thread runs until its start function returns (Join still waits for
    // that). Returns 1.
    int Alert();
    // Sets the thread's scheduling priority (as its nice value) and stores
    // it. Raising it needs a right this process may lack; it then keeps the
    // priority it had.
    void Priority(int priority);

    // False when the system could not create the thread (reported on
    // standard error); Join then returns at once.
    bool Started() const { return started_; }
    int Id() const { return id_; }
    int GetPriority() const { return priority_; }
    // The exit code once the thread has ended (after Join); -1 before, or
    // when it never started.
    int ExitCode() const;

private:
    static void* call_start(void* self);

    struct StartBlock {
        JexThread* thread;
        StartFunction function;
        void* argument;
    };

    pthread_t handle_{};
    int id_ = 0;
    int priority_ = 0;
    bool started_ = false;
    StartBlock startBlock_;

    std::mutex join_mutex_;  // serialises Join; guards joined_
    bool joined_ = false;
    mutable std::mutex state_mutex_;  // guards the fields below
    bool ended_ = false;
    bool alerted_ = false;
    int exitCode_ = -1;
    std::condition_variable id_ready_;
};

// The calling thread's id.
int JexThreadId();

// A condition variable with the Win32 event semantics the library relies
// on: a Signal with no waiter is remembered and releases the next Wait at
// once; a Broadcast releases the waiters present and no later one. The
// condition's associated mutex is the JexMutex it derives from; Wait and
// TimedWait are called with it held and return with it held again.
class JexCondition : public JexMutex {
public:
    JexCondition();
    ~JexCondition() override;

    void Wait();
    // 1 when the time ran out (at once for less than one millisecond), 0
    // when signalled.
    int TimedWait(double seconds);
    void Signal();
    void Broadcast();

private:
    // Registers the caller as a waiter; the caller holds state_.
    unsigned Enter();

    std::mutex state_;
    std::condition_variable changed_;
    int waiters_ = 0;          // blocked and not yet released
    int tokens_ = 0;           // releases by Signal not yet taken
    bool remembered_ = false;  // a Signal that found no waiter
    unsigned generation_ = 0;  // counts Broadcasts
};

// Gives up the rest of the time slice.
void JexSleep();
// Sleeps for whole milliseconds of the time; below one millisecond it does
// not sleep.
void JexSleepSeconds(double seconds);

// One per source file: the first construction in the process reads
// JEXTHREAD_TRACE and sets up the global mutex and the process-wide file
// lock; later ones do nothing.
class JexThreadInit {
public:
    JexThreadInit();
};

// Trace bits of JEXTHREAD_TRACE ("t" threads, "m" mutexes, "*" all).
constexpr int kJexThreadTraceThreads = 1;
constexpr int kJexThreadTraceMutexes = 2;
int JexThreadTraceFlags();

namespace {
[[maybe_unused]] const JexThreadInit jexThreadInit;
}  // namespace
