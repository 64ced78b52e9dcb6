// Native methods of the director's class AdminServer.
#include "Hostsys/Hostsys_JNI.h"

#include <cstdio>
#include <exception>
#include <optional>
#include <string>

#include "C2JavaAPI/C2J_Logger.h"
#include "Hostsys/Revision.h"

const char* const kHostsysJniRevisionCpp = TAVRO_REVISION("Hostsys/Hostsys_JNI.cpp", "1.4");
const char* const kHostsysJniRevisionH = HOSTSYS_JNI_H_REVISION;

namespace {

// The first `length` bytes of `array` copied into a NUL-terminated text of
// our own; the Java array is never written. Nothing for a null array or a
// length outside the array (negative or beyond its end).
std::optional<std::string> ArrayText(JNIEnv* env, jbyteArray array, jint length) {
    if (!array) return std::nullopt;
    jsize size = env->GetArrayLength(array);
    if (length < 0 || length > size) return std::nullopt;
    jbyte* bytes = env->GetByteArrayElements(array, nullptr);
    ClearPendingJavaException(env);
    if (!bytes) return std::nullopt;
    std::string text(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    env->ReleaseByteArrayElements(array, bytes, JNI_ABORT);
    return text;
}

std::optional<std::string> ArrayText(JNIEnv* env, jbyteArray array) {
    return ArrayText(env, array, array ? env->GetArrayLength(array) : 0);
}

}  // namespace

void ClearPendingJavaException(JNIEnv* env) {
    jthrowable pending = env->ExceptionOccurred();
    if (!pending) return;
    env->ExceptionClear();
    env->DeleteLocalRef(pending);
}

void LogCaughtException(JNIEnv* env, const char* prefix, const char* fixed) {
    char line[512];
    try {
        throw;
    } catch (const std::exception& e) {
        std::snprintf(line, sizeof line, "%s:%s", prefix, e.what());
    } catch (...) {
        std::snprintf(line, sizeof line, "%s", fixed);
    }
    C2J_Logger logger(env, false);
    logger.logItem(line, C2J_Logger::kLevel);
}

jboolean JNICALL Java_com_pelmar_vantrix_tavro_util_AdminServer_ntSysShutdown(JNIEnv* env, jclass,
                                                                              jbyteArray name,
                                                                              jint length) {
    bool result = false;
    try {
        ClearPendingJavaException(env);
        std::optional<std::string> text = ArrayText(env, name, length);
        HostsysUse host(env);
        if (text) {
            result = host->ntSysShutdown(text->data());
        } else {
            char line[96];
            std::snprintf(line, sizeof line, "Hostsys.ntSysShutdown bad event name length: %d",
                          static_cast<int>(length));
            C2J_Logger(env, false).logItem(line, C2J_Logger::kLevel);
        }
    } catch (...) {
        LogCaughtException(
            env, "JNIAdminServer.ntSysShutdown exception:", "JNI.ntSysShutdown exception caught");
        result = false;
    }
    ClearPendingJavaException(env);
    return result ? JNI_TRUE : JNI_FALSE;
}

jboolean JNICALL Java_com_pelmar_vantrix_tavro_util_AdminServer_ntSetAffinity(JNIEnv* env, jclass,
                                                                              jbyteArray text) {
    bool result = false;
    try {
        ClearPendingJavaException(env);
        std::optional<std::string> value = ArrayText(env, text);
        HostsysUse host(env);
        result = host->ntSetAffinity(value ? value->c_str() : "");
    } catch (...) {
        LogCaughtException(env,
                           "JNI.ntSetAffinity exception:", "JNI.ntSetAffinity exception caught");
        result = false;
    }
    ClearPendingJavaException(env);
    return result ? JNI_TRUE : JNI_FALSE;
}

jboolean JNICALL Java_com_pelmar_vantrix_tavro_util_AdminServer_ntSignalJavaDone(JNIEnv* env,
                                                                                 jclass,
                                                                                 jbyteArray text) {
    bool result = false;
    try {
        ClearPendingJavaException(env);
        ClearPendingJavaException(env);
        std::optional<std::string> value = ArrayText(env, text);
        HostsysUse host(env);
        host->ntJavaDone(value ? value->c_str() : "");
        result = true;
    } catch (...) {
        LogCaughtException(env, "JNI.ntSignalJavaDone exception",
                           "JNI.ntSignalJavaDone exception caught");
        result = false;
    }
    ClearPendingJavaException(env);
    return result ? JNI_TRUE : JNI_FALSE;
}

jlong JNICALL Java_com_pelmar_vantrix_tavro_util_AdminServer_ntPid(JNIEnv* env, jclass) {
    try {
        HostsysUse host(env);
        return static_cast<jlong>(static_cast<uint64_t>(host->ntPid()));
    } catch (...) {
        LogCaughtException(env, "JNI.ntPid exception: ", "JNI.ntPid exception caught");
        ClearPendingJavaException(env);
        return 0;
    }
}
