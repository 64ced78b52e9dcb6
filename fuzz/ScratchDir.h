// Fuzz support: temporary directories of one fuzz process, removed when it ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzz_support {

// Makes a fresh directory "<prefix>-XXXXXX" under the temporary directory
// (TMPDIR, else /tmp), removed with all it holds when the process ends by a
// return from main or by exit(), as libFuzzer ends its runs. A forked child
// that exits leaves it to the process that made it. Aborts when no
// directory can be made.
inline std::string MakeScratchDir(const char* prefix) {
    // Never destroyed: the exit handler runs after static destructors of
    // objects made before it was registered.
    static auto* dirs = new std::vector<std::string>;
    static const pid_t owner = getpid();
    if (dirs->empty())
        std::atexit([] {
            if (getpid() != owner) return;
            std::error_code ignored;
            for (const std::string& dir : *dirs) std::filesystem::remove_all(dir, ignored);
        });
    std::string pattern =
        (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
    if (!mkdtemp(pattern.data())) std::abort();
    dirs->push_back(pattern);
    return pattern;
}

}  // namespace fuzz_support
