// Detection and clearing of Java exceptions left by JNI calls.
#include "C2JavaAPI/JNIError.h"

#include <cstdio>
#include <iostream>

#include "C2JavaAPI/C2J_Logger.h"

namespace {

constexpr const char* kUnknownModule = "an unknown module";

// Depth of reports being sent on this thread. A report whose own sending
// fails (for instance because TAVROLog cannot be found) goes to the standard
// log stream instead, so reporting never feeds back into itself.
thread_local int t_reportDepth = 0;

void Report(C2J_Logger& logger, const char* text) {
    if (t_reportDepth > 0) {
        std::clog << text << std::endl;
        return;
    }
    ++t_reportDepth;
    logger.logItem(text, C2J_Logger::kLevel);
    --t_reportDepth;
}

}  // namespace

JNIError::JNIError(JNIEnv* env, const char* module)
    : m_env(env), m_module(module && *module ? module : kUnknownModule) {}

bool JNIError::checkJNIError(const char* text) {
    if (!m_env) return true;
    try {
        // The exception is looked at first: no other JNI call may come
        // between the failed call and this check.
        jthrowable pending = m_env->ExceptionOccurred();
        C2J_Logger logger(m_env, true);
        if (!text) text = kUnknownModule;
        if (!pending) return false;
        m_env->ExceptionDescribe();
        m_env->ExceptionClear();
        m_env->DeleteLocalRef(pending);
        char line[1024];
        std::snprintf(line, sizeof line, "%s.%s", m_module.c_str(), text);
        Report(logger, line);
        std::snprintf(line, sizeof line, "%s.%s JNIexception cleared", m_module.c_str(), text);
        Report(logger, line);
        return true;
    } catch (...) {
        C2J_Logger logger(m_env, true);
        Report(logger, "JNIError.checkJNIError caught unhandled exception");
        return true;
    }
}
