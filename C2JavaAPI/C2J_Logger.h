// Bridge that lets native code write into the director's Java log.
#pragma once

#include <jni.h>

#include <cstdint>

// Sends log items from native code to the director's log class
// (TAVROLog.logItem). A JNIEnv is only valid on its own thread, so the
// bridge keeps a table of the threads that entered native code with their
// JNIEnv; a log call on any thread looks its own entry up. An entry is freed
// when its thread ends, and is checked against the Java VM before use, so a
// thread id that the system hands out again never reaches a dead JNIEnv.
//
// Not for logging before the thread has registered: such calls are dropped
// with a line on the standard log stream.
class C2J_Logger {
public:
    // Number of table slots, and how many of them new threads may take.
    static constexpr int kTableSize = 20;
    static constexpr int kUsableEntries = 10;

    // Level of every message this library sends.
    static constexpr int kLevel = 3;

    // With `env`: registers it as the calling thread's JNIEnv. Without one:
    // renews the calling thread's existing entry. A `release` logger gives
    // its use of the table and of the thread's entry back when it ends.
    C2J_Logger(JNIEnv* env, bool release);
    ~C2J_Logger();
    C2J_Logger(const C2J_Logger&) = delete;
    C2J_Logger& operator=(const C2J_Logger&) = delete;

    // Sends `text` (empty for null) with `level` to TAVROLog.logItem. Never
    // leaves a Java exception behind that was not pending before.
    void logItem(const char* text, int level);

    // The calling thread's JNIEnv, or null (with a line on the log stream).
    JNIEnv* getEnvForCurThread();

    // Number of threads holding an entry (for tests).
    static int registeredThreads();

private:
    JNIEnv* m_env;
    bool m_release;
};
