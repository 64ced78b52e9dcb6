// Tests of the Java invocation wrapper, with the JDK's runtime library.
#include "WindowsService/JavaCppVM.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "testing/support/LogCapture.h"
#include "testing/support/TempDir.h"

namespace {

using tavro::testing::LogCapture;
using tavro::testing::ReadFile;

// Runs `body` on a thread of its own, as the service's watch thread does.
void OnThread(const std::function<void()>& body) { std::thread(body).join(); }

jint CallHook(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    jint written = JavaCppVM::VfprintfHook(stderr, format, arguments);
    va_end(arguments);
    return written;
}

TEST(JavaCppVM, ErrorTextNamesEveryCode) {
    struct Case {
        jint code;
        const char* text;
    };
    const Case cases[] = {{0, " success "},
                          {-1, " unknown error "},
                          {-2, " thread detached from the VM "},
                          {-3, " JNI version error "},
                          {-4, " not enough memory "},
                          {-5, " VM already created "},
                          {-6, " invalid arguments "},
                          {-7, " error value out of range "},
                          {1, " error value out of range "}};
    for (const Case& c : cases) EXPECT_STREQ(JavaCppVM::ErrorText(c.code), c.text) << c.code;
}

TEST(JavaCppVM, OptionsAreCopiedAndBounded) {
    JavaCppVM vm;
    std::string text = "-Dname=value";
    EXPECT_TRUE(vm.AddOption(text.c_str()));
    text[2] = 'X';
    EXPECT_STREQ(vm.Option(0).optionString, "-Dname=value");
    EXPECT_TRUE(vm.AddClassPath("/a:/b"));
    EXPECT_STREQ(vm.Option(1).optionString, "-Djava.class.path=/a:/b");
    EXPECT_TRUE(vm.AddLibraryPath("/lib"));
    EXPECT_STREQ(vm.Option(2).optionString, "-Djava.library.path=/lib");
    LogCapture log;
    while (vm.OptionCount() < JavaCppVM::kMaxOptions) ASSERT_TRUE(vm.AddOption("-Xint"));
    EXPECT_FALSE(vm.AddOption("-Xone.too.many"));
    EXPECT_EQ(vm.OptionCount(), JavaCppVM::kMaxOptions);
}

TEST(JavaCppVM, MissingLibraryIsLogged) {
    JavaCppVM vm;
    LogCapture log;
    EXPECT_FALSE(vm.LoadJVMDll("/no/such/libjvm.so"));
    EXPECT_NE(log.Text().find("JavaCppVM::LoadJVMDll failed 0n file: /no/such/libjvm.so with the "
                              "error:"),
              std::string::npos)
        << log.Text();
    EXPECT_FALSE(vm.CreateJavaVM());
}

TEST(JavaCppVM, LibraryWithoutEntryPointIsRefused) {
    JavaCppVM vm;
    LogCapture log;
    EXPECT_FALSE(vm.LoadJVMDll("libc.so.6"));
    EXPECT_NE(log.Text().find("JavaCppVM::LoadJVMDll failed: "), std::string::npos) << log.Text();
    EXPECT_FALSE(vm.CreateJavaVM());
}

TEST(JavaCppVM, CreatesTheVMAndUnloadsIt) {
    OnThread([] {
        JavaCppVM vm;
        ASSERT_TRUE(vm.LoadJVMDll(TAVRO_LIBJVM));
        vm.AddOption("-Xcheck:jni");
        vm.AddOption("-Xrs");
        ASSERT_TRUE(vm.CreateJavaVM());
        ASSERT_NE(vm.GetEnv(), nullptr);
        EXPECT_NE(vm.GetEnv()->FindClass("java/lang/String"), nullptr);
        LogCapture log;
        vm.UnloadJVM();
        EXPECT_NE(log.Text().find("JavaCppVM.UnloadJVM start: "), std::string::npos);
        EXPECT_NE(log.Text().find("JavaCppVM.UnloadJVM end "), std::string::npos);
    });
}

TEST(JavaCppVM, SecondVMIsRefusedWithItsCodeAndOptions) {
    OnThread([] {
        JavaCppVM first;
        ASSERT_TRUE(first.LoadJVMDll(TAVRO_LIBJVM));
        first.AddOption("-Xrs");
        ASSERT_TRUE(first.CreateJavaVM());
        JavaCppVM second;
        ASSERT_TRUE(second.LoadJVMDll(TAVRO_LIBJVM));
        second.AddOption("-Xrs");
        LogCapture log;
        EXPECT_FALSE(second.CreateJavaVM());
        EXPECT_NE(log.Text().find("Error: JavaCppVM.CreateJavaVM  VM already created "),
                  std::string::npos)
            << log.Text();
        EXPECT_NE(log.Text().find("VMarg.nOptions: 1"), std::string::npos);
        EXPECT_NE(log.Text().find("Option: 0 -Xrs"), std::string::npos);
    });
}

TEST(JavaCppVM, VMMessagesGoToTheLogFile) {
    tavro::testing::TempDir tmp("jvmlog");
    ASSERT_FALSE(tmp.Path().empty());
    const std::filesystem::path& dir = tmp.Path();
    JavaCppVM vm;
    EXPECT_TRUE(vm.SetLogFile((dir / "jvm.log").c_str()));
    ASSERT_EQ(vm.OptionCount(), 1);
    EXPECT_STREQ(vm.Option(0).optionString, "vfprintf");
    EXPECT_EQ(vm.Option(0).extraInfo, reinterpret_cast<void*>(&JavaCppVM::VfprintfHook));
    EXPECT_EQ(CallHook("VM says %d\n", 42), 11);
    EXPECT_EQ(ReadFile(dir / "jvm.log"), "VM says 42\n");

    // Without a log file the messages land in JVMError.log of the current
    // directory.
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    EXPECT_FALSE(vm.SetLogFile((dir / "missing" / "jvm.log").c_str()));
    EXPECT_EQ(CallHook("%s", "lost?"), 5);
    std::filesystem::current_path(previous);
    EXPECT_EQ(ReadFile(dir / "JVMError.log"), "lost?");
}

// The VM's logs are never writable by others, whatever the umask, and a
// link planted in a log's place is not written through.
TEST(JavaCppVM, LogFilesArePrivateAndNeverALink) {
    tavro::testing::TempDir tmp("jvmlog");
    ASSERT_FALSE(tmp.Path().empty());
    const std::filesystem::path& dir = tmp.Path();
    const mode_t saved = ::umask(0);
    JavaCppVM vm;
    EXPECT_TRUE(vm.SetLogFile((dir / "jvm.log").c_str()));
    EXPECT_EQ(CallHook("%s", "x"), 1);
    auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    EXPECT_FALSE(vm.SetLogFile((dir / "missing" / "jvm.log").c_str()));
    EXPECT_EQ(CallHook("%s", "y"), 1);
    std::filesystem::current_path(previous);
    ::umask(saved);
    for (const char* name : {"jvm.log", "JVMError.log"}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir / name).c_str(), &info), 0) << name;
        EXPECT_EQ(info.st_mode & 0777, 0640u) << name;
    }

    tavro::testing::WriteFile(dir / "victim", "kept\n");
    std::filesystem::create_symlink(dir / "victim", dir / "linked.log");
    EXPECT_FALSE(vm.SetLogFile((dir / "linked.log").c_str()));
    EXPECT_EQ(ReadFile(dir / "victim"), "kept\n");
    vm.SetLogFile(nullptr);
}

}  // namespace
