// Bridge from native code to the director's Java log class.
#include "C2JavaAPI/C2J_Logger.h"

#include <atomic>
#include <iostream>
#include <mutex>
#include <string>
#include <vector>

#include "C2JavaAPI/JNIError.h"
#include "platform/winbase.h"

namespace {

constexpr const char* kLogClass = "com/pelmar/vantrix/tavro/util/TAVROLog";
constexpr const char* kLogMethod = "logItem";
constexpr const char* kLogSignature = "(Ljava/lang/String;I)Z";

struct Entry {
    DWORD threadId;  // 0: free
    JNIEnv* env;
    JavaVM* vm;  // to check that `env` is still the thread's own
    uint32_t uses;
};

// Marks the existence of users of the table; made by the first user and
// deleted when the last releasing user is gone.
struct TableOwner {};

struct Table {
    std::recursive_mutex lock;  // guards everything below
    Entry entries[C2J_Logger::kTableSize]{};
    TableOwner* owner = nullptr;
    uint64_t users = 0;
    jclass logClass = nullptr;  // global reference, kept for the library's life
    jmethodID logItem = nullptr;
};

// Never destroyed: threads may still end (and free their entries) while the
// process runs its static destructors.
Table& TheTable() {
    static Table* table = new Table;
    return *table;
}

Entry* FindEntry(Table& table, DWORD threadId) {
    for (Entry& entry : table.entries)
        if (entry.threadId == threadId) return &entry;
    return nullptr;
}

void FreeEntry(DWORD threadId) {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    if (Entry* entry = FindEntry(table, threadId)) *entry = Entry{};
}

// Frees the thread's entry when the thread ends, whatever its use count.
struct ThreadExitRelease {
    DWORD threadId = 0;
    ~ThreadExitRelease() {
        if (threadId) FreeEntry(threadId);
    }
};
thread_local ThreadExitRelease t_exitRelease;

// The process's Java VM (there is only one), asked for once: later
// registrations may come while a Java exception is pending, when no JNI
// call other than exception handling is allowed.
JavaVM* TheJavaVM(JNIEnv* env) {
    static std::atomic<JavaVM*> vm{nullptr};
    JavaVM* known = vm.load();
    if (known) return known;
    if (env->ExceptionCheck() || env->GetJavaVM(&known) != JNI_OK) return nullptr;
    vm = known;
    return known;
}

void Register(JNIEnv* env) {
    DWORD threadId = GetCurrentThreadId();
    JavaVM* vm = TheJavaVM(env);
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    Entry* entry = FindEntry(table, threadId);
    if (entry) {
        entry->env = env;
        entry->vm = vm;
        ++entry->uses;
        return;
    }
    for (int i = 0; i < C2J_Logger::kUsableEntries; ++i) {
        if (table.entries[i].threadId != 0) continue;
        table.entries[i] = Entry{threadId, env, vm, 1};
        t_exitRelease.threadId = threadId;
        return;
    }
}

// The calling thread's JNIEnv from the table. An entry whose JNIEnv is not
// the thread's current one (the thread left the VM, or its id was reused)
// is stale and freed.
JNIEnv* LookUp() {
    DWORD threadId = GetCurrentThreadId();
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    Entry* entry = FindEntry(table, threadId);
    if (!entry) return nullptr;
    if (entry->vm) {
        void* current = nullptr;
        if (entry->vm->GetEnv(&current, JNI_VERSION_1_2) != JNI_OK || current != entry->env) {
            *entry = Entry{};
            return nullptr;
        }
    }
    return entry->env;
}

void Release() {
    DWORD threadId = GetCurrentThreadId();
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    Entry* entry = FindEntry(table, threadId);
    if (!entry) return;
    if (entry->uses <= 1)
        *entry = Entry{};
    else
        --entry->uses;
}

// A Java string of a native text: UTF-8 where the bytes form it, any other
// byte taken as its Latin-1 character (JNI's own UTF form is not plain UTF-8).
jstring NewJavaString(JNIEnv* env, const char* text) {
    std::vector<jchar> chars;
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        unsigned char lead = *p;
        int extra = lead >= 0xF0 && lead < 0xF5   ? 3
                    : lead >= 0xE0                ? 2
                    : lead >= 0xC2 && lead < 0xE0 ? 1
                                                  : 0;
        if (lead >= 0xF5) extra = 0;
        uint32_t code = extra == 3 ? lead & 0x07 : extra == 2 ? lead & 0x0F : lead & 0x1F;
        bool valid = lead >= 0x80 && extra > 0;
        for (int i = 1; valid && i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                valid = false;
            else
                code = (code << 6) | (p[i] & 0x3F);
        }
        if (valid && ((extra == 2 && (code < 0x800 || (code >= 0xD800 && code < 0xE000))) ||
                      (extra == 3 && (code < 0x10000 || code > 0x10FFFF))))
            valid = false;
        if (!valid) {
            chars.push_back(lead);
            ++p;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            chars.push_back(static_cast<jchar>(0xD800 + (code >> 10)));
            chars.push_back(static_cast<jchar>(0xDC00 + (code & 0x3FF)));
        } else {
            chars.push_back(static_cast<jchar>(code));
        }
        p += extra + 1;
    }
    return env->NewString(chars.data(), static_cast<jsize>(chars.size()));
}

// Finds TAVROLog.logItem once; a failed look-up is tried again next time.
bool LogMethod(JNIEnv* env, JNIError& error, jclass& logClass, jmethodID& logItem) {
    Table& table = TheTable();
    {
        std::lock_guard guard(table.lock);
        logClass = table.logClass;
        logItem = table.logItem;
    }
    if (logClass) return true;
    jclass local = env->FindClass(kLogClass);
    if (!local) {
        error.checkJNIError("FindCalls... TAVROLog");
        return false;
    }
    jmethodID method = env->GetStaticMethodID(local, kLogMethod, kLogSignature);
    if (!method) {
        error.checkJNIError("GetStaticMethodID logItem");
        env->DeleteLocalRef(local);
        return false;
    }
    auto global = static_cast<jclass>(env->NewGlobalRef(local));
    env->DeleteLocalRef(local);
    if (!global) {
        error.checkJNIError("NewGlobalRef TAVROLog");
        return false;
    }
    std::lock_guard guard(table.lock);
    if (table.logClass)
        env->DeleteGlobalRef(global);
    else {
        table.logClass = global;
        table.logItem = method;
    }
    logClass = table.logClass;
    logItem = table.logItem;
    return true;
}

void Send(JNIEnv* env, const char* text, int level) {
    JNIError error(env, "C2J_Logger.logItem");
    jclass logClass = nullptr;
    jmethodID logItem = nullptr;
    if (!LogMethod(env, error, logClass, logItem)) return;
    jstring message = NewJavaString(env, text ? text : "");
    if (message) env->CallStaticBooleanMethod(logClass, logItem, message, static_cast<jint>(level));
    error.checkJNIError("CallStaticBooleanMethod(LogItem)");
    if (message) env->DeleteLocalRef(message);
}

}  // namespace

C2J_Logger::C2J_Logger(JNIEnv* env, bool release) : m_env(env), m_release(release) {
    Table& table = TheTable();
    {
        std::lock_guard guard(table.lock);
        if (!table.owner) table.owner = new TableOwner;
        ++table.users;
    }
    if (!env) env = LookUp();
    if (!env) return;
    Register(env);
    m_env = env;
}

C2J_Logger::~C2J_Logger() {
    if (!m_release) return;
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    Release();
    if (table.users > 0 && --table.users == 0) {
        delete table.owner;
        table.owner = nullptr;
    }
}

JNIEnv* C2J_Logger::getEnvForCurThread() {
    JNIEnv* env = LookUp();
    if (!env)
        std::clog << " C2J_Logger.getEnvForCurThread did not find a JNIEnv for thread "
                  << GetCurrentThreadId() << std::endl;
    return env;
}

void C2J_Logger::logItem(const char* text, int level) {
    try {
        JNIEnv* env = getEnvForCurThread();
        if (!env) return;
        // A caller's pending exception would make every JNI call below
        // illegal: keep it aside and raise it again afterwards.
        jthrowable pending = env->ExceptionOccurred();
        if (pending) env->ExceptionClear();
        Send(env, text, level);
        if (pending) {
            env->Throw(pending);
            env->DeleteLocalRef(pending);
        }
    } catch (...) {
        std::clog << "C2J_Logger unexpected exception caught" << std::endl;
    }
}

int C2J_Logger::registeredThreads() {
    Table& table = TheTable();
    std::lock_guard guard(table.lock);
    int count = 0;
    for (const Entry& entry : table.entries)
        if (entry.threadId) ++count;
    return count;
}
