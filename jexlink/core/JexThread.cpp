// The thread package: threads, recursive mutexes and guards, conditions, the global lock.
#include "jexlink/core/JexThread.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "jexlink/core/JexPrivLock.h"

namespace {

int trace_flags = 0;

bool Traced(int bit) { return (trace_flags & bit) != 0; }

void ReadTraceSwitch() {
    const char* value = std::getenv("JEXTHREAD_TRACE");
    if (!value) return;
    for (const char* c = value; *c; ++c) {
        if (*c == '*') trace_flags = ~0;
        if (*c == 'T' || *c == 't') trace_flags |= kJexThreadTraceThreads;
        if (*c == 'M' || *c == 'm') trace_flags |= kJexThreadTraceMutexes;
    }
}

// Win32 thread priorities as nice values of the thread.
int NiceOf(int priority) {
    if (priority <= -15) return 19;
    if (priority >= 15) return -20;
    if (priority < -2) priority = -2;
    if (priority > 2) priority = 2;
    static constexpr int kNice[] = {10, 5, 0, -5, -10};
    return kNice[priority + 2];
}

// Whole milliseconds of a time in seconds; NaN and negatives give 0.
double WholeMilliseconds(double seconds) {
    const double ms = std::floor(seconds * 1000.0);
    return ms >= 1.0 ? ms : 0.0;
}

constexpr double kSliceMs = 1000000.0;

}  // namespace

void JexThreadFailure(const char* site, int error) {
    std::fprintf(stderr, "%s (exception 0x%08X, error %d)\n", site, kJexThreadFailure, error);
    std::fflush(stderr);
    std::abort();
}

// --- Initialisation -------------------------------------------------------

JexMutex& JexGlobalMutex() {
    static JexMutex* global = new JexMutex(2);  // lives until the process ends
    return *global;
}

JexThreadInit::JexThreadInit() {
    static const bool initialised = [] {
        ReadTraceSwitch();
        JexGlobalMutex();
        JexPrivLock::Initialize();
        return true;
    }();
    (void)initialised;
}

int JexThreadTraceFlags() { return trace_flags; }

// --- JexMutex ---------------------------------------------------------------

JexMutex::JexMutex(int /*kind*/) {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    const int err = pthread_mutex_init(&mutex_, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (err != 0) JexThreadFailure("JexMutex::JexMutex: CreateMutex failure", err);
    if (Traced(kJexThreadTraceMutexes))
        std::fprintf(stderr, "JexMutex::JexMutex(): Created mutex (0x%p)\n",
                     static_cast<void*>(this));
}

JexMutex::~JexMutex() {
    if (Traced(kJexThreadTraceMutexes))
        std::fprintf(stderr, "JexMutex::~JexMutex(): Deleting mutex (0x%p)\n",
                     static_cast<void*>(this));
    pthread_mutex_destroy(&mutex_);
}

int JexMutex::Lock() {
    const int err = pthread_mutex_lock(&mutex_);
    if (err == 0) return 0;
    if (err == EOWNERDEAD) {
        pthread_mutex_consistent(&mutex_);
        return kJexMutexAbandoned;
    }
    JexThreadFailure("JexMutex::Lock: WaitForSingleObject failure", err);
}

int JexMutex::TryLock() {
    const int err = pthread_mutex_trylock(&mutex_);
    if (err == 0) return 1;
    if (err == EBUSY) return 0;
    if (err == EOWNERDEAD) {
        pthread_mutex_consistent(&mutex_);
        return 1;
    }
    JexThreadFailure("JexMutex::TryLock: WaitForSingleObject failure", err);
}

void JexMutex::Unlock() {
    const int err = pthread_mutex_unlock(&mutex_);
    if (err != 0) JexThreadFailure("JexMutex::Unlock: ReleaseMutex failure", err);
}

// --- JexThread --------------------------------------------------------------

int JexThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

JexThread::JexThread(StartFunction start, void* argument, int priority, int /*flags*/)
    : JexMutex(2), startBlock_{this, start, argument} {
    JexMutexLock hold(this);
    const int err = pthread_create(&handle_, nullptr, &JexThread::call_start, &startBlock_);
    if (err != 0) {
        std::fprintf(stderr,
                     "JexThread::JexThread: CreateThread failure (exception 0x%08X, error %d)\n",
                     kJexThreadFailure, err);
        return;
    }
    started_ = true;
    {
        std::unique_lock lock(state_mutex_);
        id_ready_.wait(lock, [this] { return id_ != 0; });
    }
    if (Traced(kJexThreadTraceThreads))
        std::fprintf(stderr, "JexThread::JexThread(): Created thread %d (0x%p)\n", id_,
                     static_cast<void*>(this));
    if (priority != 0) Priority(priority);
}

void* JexThread::call_start(void* block) {
    const auto* start = static_cast<const StartBlock*>(block);
    JexThread* self = start->thread;
    {
        std::lock_guard lock(self->state_mutex_);
        self->id_ = JexThreadId();
    }
    self->id_ready_.notify_all();
    const int code = start->function(self, start->argument);
    std::lock_guard lock(self->state_mutex_);
    self->ended_ = true;
    if (!self->alerted_) self->exitCode_ = code;
    return nullptr;
}

JexThread::~JexThread() {
    if (Traced(kJexThreadTraceThreads))
        std::fprintf(stderr, "JexThread::~JexThread(): Deleting thread %d (0x%p)\n", id_,
                     static_cast<void*>(this));
    Join();
}

int JexThread::Join() {
    if (!started_) return 0;
    // Joiners queue here; only the first joins the thread.
    std::lock_guard serial(join_mutex_);
    if (joined_) return 0;
    const int err = pthread_join(handle_, nullptr);
    if (err != 0) JexThreadFailure("JexThread::Join: WaitForSingleObject failure", err);
    joined_ = true;
    return 0;
}

int JexThread::Alert() {
    std::lock_guard lock(state_mutex_);
    alerted_ = true;
    exitCode_ = 0;
    return 1;
}

void JexThread::Priority(int priority) {
    priority_ = priority;
    if (!started_) return;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(id_), NiceOf(priority)) == 0) return;
    // Raising needs a right the process may lack; an ended thread has no
    // priority left to set. Neither is a failure of the call.
    if (errno == EPERM || errno == EACCES || errno == ESRCH) return;
    JexThreadFailure("JexThread::Priority: SetThreadPriority failure", errno);
}

int JexThread::ExitCode() const {
    std::lock_guard lock(state_mutex_);
    if (alerted_) return 0;
    return ended_ ? exitCode_ : -1;
}

// --- JexCondition -----------------------------------------------------------

JexCondition::JexCondition() : JexMutex(0) {}

JexCondition::~JexCondition() = default;

unsigned JexCondition::Enter() {
    ++waiters_;
    return generation_;
}

void JexCondition::Wait() {
    std::unique_lock lock(state_);
    if (remembered_) {
        remembered_ = false;
        return;
    }
    const unsigned generation = Enter();
    Unlock();
    changed_.wait(lock, [&] { return generation_ != generation || tokens_ > 0; });
    if (generation_ == generation) --tokens_;
    lock.unlock();
    Lock();
}

int JexCondition::TimedWait(double seconds) {
    double remaining = WholeMilliseconds(seconds);
    if (remaining < 1.0) return 1;
    std::unique_lock lock(state_);
    if (remembered_) {
        remembered_ = false;
        return 0;
    }
    const unsigned generation = Enter();
    Unlock();
    bool signalled = false;
    while (remaining >= 1.0 && !signalled) {
        const double slice = remaining < kSliceMs ? remaining : kSliceMs;
        signalled = changed_.wait_for(lock, std::chrono::milliseconds(static_cast<int64_t>(slice)),
                                      [&] { return generation_ != generation || tokens_ > 0; });
        remaining -= slice;
    }
    if (signalled) {
        if (generation_ == generation) --tokens_;
    } else {
        --waiters_;  // still counted: nobody released it
    }
    lock.unlock();
    Lock();
    return signalled ? 0 : 1;
}

void JexCondition::Signal() {
    std::lock_guard lock(state_);
    if (waiters_ == 0) {
        remembered_ = true;
        return;
    }
    --waiters_;
    ++tokens_;
    changed_.notify_all();
}

void JexCondition::Broadcast() {
    std::lock_guard lock(state_);
    if (waiters_ == 0 && tokens_ == 0) return;
    // Every waiter present wakes through the generation, also those that a
    // Signal already released, so their tokens go with them.
    ++generation_;
    waiters_ = 0;
    tokens_ = 0;
    changed_.notify_all();
}

// --- Sleeping ---------------------------------------------------------------

void JexSleep() { std::this_thread::yield(); }

void JexSleepSeconds(double seconds) {
    double remaining = WholeMilliseconds(seconds);
    while (remaining >= 1.0) {
        const double slice = remaining < kSliceMs ? remaining : kSliceMs;
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int64_t>(slice)));
        remaining -= slice;
    }
}
