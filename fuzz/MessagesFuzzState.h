// Fuzz support: a private platform state directory (registry settings) for one fuzz process.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "platform/PlatformState.h"

namespace fuzz_support {

// Points the platform state at a fresh temporary directory, removed when
// the process ends, so that settings a target writes stay its own.
inline void UsePrivateState() {
    static std::string dir;
    if (!dir.empty()) return;
    std::string pattern = (std::filesystem::temp_directory_path() / "tavro-fuzz-XXXXXX").string();
    if (!mkdtemp(pattern.data())) std::abort();
    dir = pattern;
    setenv(platform::kStateDirVar, dir.c_str(), 1);
    std::atexit([] {
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    });
}

}  // namespace fuzz_support
