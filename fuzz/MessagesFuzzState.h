// Fuzz support: a private platform state directory (registry settings) for one fuzz process.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "fuzz/ScratchDir.h"
#include "platform/PlatformState.h"

namespace fuzz_support {

// Points the platform state at a fresh temporary directory, removed when
// the process ends, so that settings a target writes stay its own.
inline void UsePrivateState() {
    static bool made = false;
    if (made) return;
    made = true;
    setenv(platform::kStateDirVar, MakeScratchDir("tavro-fuzz").c_str(), 1);
}

}  // namespace fuzz_support
