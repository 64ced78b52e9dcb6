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

    // Adds a copy of `text` with `extra` (the VM's hook for "vfprintf")
    // as the next option. False (and nothing added) when the option table
    // is full.
    bool AddOption(const char* text, void* extra = nullptr);
    // Adds "-Djava.class.path=" followed by `path`.
    bool AddClassPath(const char* path);
    // Adds "-Djava.library.path=" followed by `path`.
    bool AddLibraryPath(const char* path);
    // Loads the Java runtime library at `path` and finds JNI_CreateJavaVM
    // in it; false, with a log line, when either fails (the library is
    // then not kept).
    bool LoadJVMDll(const char* path);
    // Creates the VM with the options added so far, on the calling thread;
    // false when no library is loaded, or with a log line and the option
    // list when the runtime refuses.
    bool CreateJavaVM();
    // The text of a JNI_CreateJavaVM result, blanks around it as logged.
    static const char* ErrorText(jint code);
    // Logs the VM arguments: version, count and each option.
    void DumpOptions();
    // Destroys the VM (from the calling thread, attached for it) and frees
    // the library. DestroyJavaVM waits for every non-daemon Java thread:
    // while the VM's main method still runs this does not return, so it
    // must not be called then. True when the library was freed.
    bool UnloadJVM();
    // Sends the VM's messages to the file `path` (appended) through the
    // "vfprintf" option; false when the file cannot be opened.
    bool SetLogFile(const char* path);
    // The VM's message output: into the log file of SetLogFile, else into
    // JVMError.log of the current directory; the characters written, 0
    // when no file could be opened.
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
