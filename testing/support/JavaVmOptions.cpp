// The sanitizer options of a program that runs a Java VM, compiled into that program.
#include "testing/support/JavaVm.h"

extern "C" const char* __asan_default_options();

// The sanitizer runtime calls this before main, when the program is built with it.
extern "C" const char* __asan_default_options() { return tavro::testing::kJavaVmSanitizerOptions; }
