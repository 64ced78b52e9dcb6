// Minimal Java launcher for tests: runs a class's main inside a Java VM.
//
// Usage: tavro_javarun [VM option...] CLASS [argument...]
// Every leading argument that begins with "-" is a VM option. The launcher
// is a program of the test tree (unlike the JDK's "java"), so a test can
// copy it into a directory tree and have the VM's process run from there.
#include <dlfcn.h>
#include <jni.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

using CreateJavaVM = jint (*)(JavaVM**, void**, void*);

int Fail(const char* what) {
    std::fprintf(stderr, "tavro_javarun: %s\n", what);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    int first = 1;
    std::vector<JavaVMOption> options;
    for (; first < argc && argv[first][0] == '-'; ++first)
        options.push_back(JavaVMOption{argv[first], nullptr});
    if (first >= argc) return Fail("no class given");

    void* jvm = dlopen(TAVRO_LIBJVM, RTLD_NOW | RTLD_GLOBAL);
    if (!jvm) return Fail(dlerror());
    auto create = reinterpret_cast<CreateJavaVM>(dlsym(jvm, "JNI_CreateJavaVM"));
    if (!create) return Fail("JNI_CreateJavaVM not found");

    JavaVMInitArgs init{};
    init.version = JNI_VERSION_1_8;
    init.nOptions = static_cast<jint>(options.size());
    init.options = options.data();
    init.ignoreUnrecognized = JNI_FALSE;
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (create(&vm, reinterpret_cast<void**>(&env), &init) != JNI_OK)
        return Fail("cannot create the Java VM");

    std::string name = argv[first];
    for (char& c : name)
        if (c == '.') c = '/';
    int status = 1;
    jclass main = env->FindClass(name.c_str());
    jmethodID entry =
        main ? env->GetStaticMethodID(main, "main", "([Ljava/lang/String;)V") : nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    if (entry && stringClass) {
        jobjectArray args = env->NewObjectArray(argc - first - 1, stringClass, nullptr);
        for (int i = first + 1; args && i < argc; ++i) {
            jstring arg = env->NewStringUTF(argv[i]);
            env->SetObjectArrayElement(args, i - first - 1, arg);
            env->DeleteLocalRef(arg);
        }
        if (args) {
            env->CallStaticVoidMethod(main, entry, args);
            status = env->ExceptionCheck() ? 1 : 0;
        }
    }
    if (env->ExceptionCheck()) env->ExceptionDescribe();
    vm->DetachCurrentThread();
    vm->DestroyJavaVM();  // waits for the program's other threads
    return status;
}
