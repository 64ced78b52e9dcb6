// Native method of the director's class WindowsNoOrphans.
#include "Hostsys/WindowsNoOrphans_JNI.h"

#include "Hostsys/Hostsys_JNI.h"
#include "Hostsys/Revision.h"

const char* const kWindowsNoOrphansJniRevisionCpp =
    TAVRO_REVISION("Hostsys/WindowsNoOrphans_JNI.cpp", "1.3");
const char* const kWindowsNoOrphansJniRevisionH = WINDOWSNOORPHANS_JNI_H_REVISION;

jboolean JNICALL Java_com_pelmar_vantrix_tavro_util_WindowsNoOrphans_IsNTDirectorDead(JNIEnv* env,
                                                                                      jclass) {
    try {
        HostsysUse host(env);
        return host->ntDirectorDied() ? JNI_TRUE : JNI_FALSE;
    } catch (...) {
        LogCaughtException(
            env, "JNI.IsNTDirectorDead exception: ", "JNI.IsNTDirectorDead had an exception");
        ClearPendingJavaException(env);
        return JNI_FALSE;
    }
}
