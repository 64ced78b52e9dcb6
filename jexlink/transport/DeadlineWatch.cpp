// One thread per process that runs an action when its deadline passes, unless it is disarmed first.
#include "jexlink/transport/DeadlineWatch.h"

#include <pthread.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

namespace jexnet {

namespace {

using Clock = std::chrono::steady_clock;

struct Armed {
    DeadlineWatch::Action action;
    void* argument;
};

// The armed tickets by deadline, and the watch thread that serves them.
struct Watch {
    std::mutex mutex;
    std::condition_variable changed;  // a new earliest deadline, or an action ended
    std::multimap<Clock::time_point, uint64_t> deadlines;
    std::map<uint64_t, std::multimap<Clock::time_point, uint64_t>::iterator> tickets;
    std::map<uint64_t, Armed> armed;
    uint64_t next = 1;
    uint64_t running = 0;  // the ticket whose action runs now
    // Until when the thread sleeps: max while it waits for a first deadline,
    // min while it is awake (it looks at the deadlines again before it next
    // sleeps). An earlier deadline than this must wake it; a later one need
    // not, so that arming the same bound read after read costs no wake-up.
    Clock::time_point sleepsUntil = Clock::time_point::min();

    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            if (deadlines.empty()) {
                sleepsUntil = Clock::time_point::max();
                changed.wait(lock);
                sleepsUntil = Clock::time_point::min();
                continue;
            }
            const auto first = deadlines.begin();
            // A copy: the entry may be disarmed while this thread waits.
            const Clock::time_point due = first->first;
            if (Clock::now() < due) {
                sleepsUntil = due;
                changed.wait_until(lock, due);
                sleepsUntil = Clock::time_point::min();
                continue;
            }
            const uint64_t ticket = first->second;
            deadlines.erase(first);
            tickets.erase(ticket);
            const Armed action = armed[ticket];
            armed.erase(ticket);
            running = ticket;
            lock.unlock();
            action.action(action.argument);
            lock.lock();
            running = 0;
            changed.notify_all();
        }
    }
};

// Guards the choice of the process's watch; held across fork() so that a
// child never inherits it locked.
std::mutex g_choose;
Watch* g_watch = nullptr;

void LockBeforeFork() { g_choose.lock(); }
void UnlockInParent() { g_choose.unlock(); }
// A child after fork() leaves its parent's watch alone (its thread is not in
// the child) and starts one of its own when it first needs one: no read
// and no arm has to ask which process it runs in.
void ForgetInChild() {
    g_watch = nullptr;
    g_choose.unlock();
}

// The watch of this process with its thread running; null when the thread
// cannot start.
Watch* TheWatch() {
    static std::once_flag atFork;
    std::call_once(atFork, [] { pthread_atfork(LockBeforeFork, UnlockInParent, ForgetInChild); });
    std::lock_guard<std::mutex> hold(g_choose);
    if (g_watch) return g_watch;
    auto* watch = new Watch;  // lives as long as the process, like its thread
    try {
        std::thread(&Watch::Run, watch).detach();
    } catch (...) {
        delete watch;
        return nullptr;
    }
    g_watch = watch;
    return watch;
}

}  // namespace

uint64_t DeadlineWatch::Arm(Action action, void* argument, Clock::duration after) {
    Watch* watch = TheWatch();
    if (!watch || !action) return 0;
    std::lock_guard<std::mutex> hold(watch->mutex);
    const uint64_t ticket = watch->next++;
    const Clock::time_point due = Clock::now() + after;
    const auto at = watch->deadlines.emplace(due, ticket);
    watch->tickets.emplace(ticket, at);
    watch->armed.emplace(ticket, Armed{action, argument});
    if (due < watch->sleepsUntil) watch->changed.notify_all();
    return ticket;
}

bool DeadlineWatch::Disarm(uint64_t ticket) {
    if (ticket == 0) return false;
    Watch* watch = TheWatch();
    if (!watch) return false;
    std::unique_lock<std::mutex> lock(watch->mutex);
    const auto found = watch->tickets.find(ticket);
    if (found != watch->tickets.end()) {
        watch->deadlines.erase(found->second);
        watch->tickets.erase(found);
        watch->armed.erase(ticket);
        return true;
    }
    watch->changed.wait(lock, [&] { return watch->running != ticket; });
    return false;
}

}  // namespace jexnet
