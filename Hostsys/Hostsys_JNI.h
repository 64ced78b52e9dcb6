// Native methods of the director's class AdminServer.
#pragma once

#include <jni.h>

#include "Hostsys/Hostsys.h"
#include "Hostsys/Revision.h"

#define HOSTSYS_JNI_H_REVISION "_" TAVRO_REVISION("Hostsys/Hostsys_JNI.h", "1.2")

extern const char* const kHostsysJniRevisionCpp;
extern const char* const kHostsysJniRevisionH;

// One use of the singleton for the length of a native call, given back
// however the call ends.
class HostsysUse {
public:
    explicit HostsysUse(JNIEnv* env) : m_host(CHostsys::getHostsys(env)) {}
    ~HostsysUse() { CHostsys::Destroy(); }
    HostsysUse(const HostsysUse&) = delete;
    HostsysUse& operator=(const HostsysUse&) = delete;
    CHostsys* operator->() const { return m_host; }

private:
    CHostsys* m_host;
};

// Clears a pending Java exception; native methods never throw to Java.
void ClearPendingJavaException(JNIEnv* env);

// Logs a caught native exception to the director's log at level 3:
// "<prefix>:<message>" for a library exception, `fixed` for any other.
void LogCaughtException(JNIEnv* env, const char* prefix, const char* fixed);

extern "C" {
JNIEXPORT jboolean JNICALL Java_com_pelmar_vantrix_tavro_util_AdminServer_ntSysShutdown(
    JNIEnv* env, jclass, jbyteArray name, jint length);
JNIEXPORT jboolean JNICALL
Java_com_pelmar_vantrix_tavro_util_AdminServer_ntSetAffinity(JNIEnv* env, jclass, jbyteArray text);
JNIEXPORT jboolean JNICALL Java_com_pelmar_vantrix_tavro_util_AdminServer_ntSignalJavaDone(
    JNIEnv* env, jclass, jbyteArray text);
JNIEXPORT jlong JNICALL Java_com_pelmar_vantrix_tavro_util_AdminServer_ntPid(JNIEnv* env, jclass);
}
