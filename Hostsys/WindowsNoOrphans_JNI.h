// Native method of the director's class WindowsNoOrphans.
#pragma once

#include <jni.h>

#include "Hostsys/Revision.h"

#define WINDOWSNOORPHANS_JNI_H_REVISION "_" TAVRO_REVISION("Hostsys/WindowsNoOrphans_JNI.h", "1.2")

extern const char* const kWindowsNoOrphansJniRevisionCpp;
extern const char* const kWindowsNoOrphansJniRevisionH;

extern "C" {
JNIEXPORT jboolean JNICALL
Java_com_pelmar_vantrix_tavro_util_WindowsNoOrphans_IsNTDirectorDead(JNIEnv* env, jclass);
}
