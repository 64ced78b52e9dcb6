// Detection and clearing of Java exceptions left by JNI calls.
#pragma once

#include <jni.h>

#include <string>

// Checks after a JNI call whether a Java exception is pending; when one is,
// it is described on the Java error stream, cleared, and reported to the
// director's log with the module name and the caller's text.
class JNIError {
public:
    JNIError(JNIEnv* env, const char* module);

    // True when an exception was found and cleared, or when there is no
    // JNIEnv to check with.
    bool checkJNIError(const char* text);

private:
    JNIEnv* m_env;
    std::string m_module;
};
