// JavaCppVM: a small wrapper of the Java invocation interface.
#pragma once

#include <jni.h>

#include <cstdarg>
#include <cstdio>

#include "platform/winbase.h"

// Holds the option list of a Java VM, loads the Java runtime library by
// path, creates the VM through the JNI_CreateJavaVM it finds there and
// unloads it again; VM messages can be sent to a log file. One VM per
// process: the runtime refuses a second one.
class JavaCppVM {
public:
    static constexpr int kMaxOptions = 30;

    JavaCppVM();
    virtual ~JavaCppVM();
    JavaCppVM(const JavaCppVM&) = delete;
    JavaCppVM& operator=(const JavaCppVM&) = delete;

    // False (and nothing added) when the option table is full.
    bool AddOption(const char* text, void* extra = nullptr);
    bool AddClassPath(const char* path);
    bool AddLibraryPath(const char* path);
    bool LoadJVMDll(const char* path);
    bool CreateJavaVM();
    static const char* ErrorText(jint code);
    void DumpOptions();
    bool UnloadJVM();
    bool SetLogFile(const char* path);
    static jint JNICALL VfprintfHook(FILE* stream, const char* format, va_list arguments);

    JavaVM* GetJVM() const { return m_pJVM; }
    JNIEnv* GetEnv() const { return m_pEnv; }
    int OptionCount() const { return m_VMArgs.nOptions; }
    const JavaVMOption& Option(int index) const { return m_Options[index]; }

    static const char* const s_pRevisionH;
    static const char* const s_pRevisionCpp;

protected:
    using CreateJavaVMProc = jint(JNICALL*)(JavaVM** vm, void** env, void* arguments);

    JavaVMInitArgs m_VMArgs{};
    JavaVM* m_pJVM = nullptr;
    JNIEnv* m_pEnv = nullptr;
    JavaVMOption m_Options[kMaxOptions] = {};
    CreateJavaVMProc m_pCreateJavaVM = nullptr;
    HMODULE m_hJVMDll = nullptr;
};
