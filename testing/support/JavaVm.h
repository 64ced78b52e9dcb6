// What a test needs to run a Java VM in its own process or a child's.
#pragma once

namespace tavro::testing {

// The sanitizer options of a process that runs a Java VM: the VM takes
// SIGSEGV for its own checks and keeps its memory to the end. A program that
// creates a VM links tavro_testsupport_jvm, which hands these options to the
// sanitizer runtime; a test that starts such a process through a shell sets
// them as ASAN_OPTIONS.
inline constexpr char kJavaVmSanitizerOptions[] =
    "handle_segv=0:allow_user_segv_handler=1:detect_leaks=0";

}  // namespace tavro::testing
