// A director for the process mode written in the shell, for tests of the service host.
#pragma once

#include <filesystem>

#include "testing/support/TempDir.h"

namespace tavro::testing {

// Writes the tree's bin/tavro.bat, which starts bin/director.sh in the
// background. The director writes its pid to bin/director.pid, takes the
// link hello on port 9293 of this host's name into bin/hello, answers with
// its pid unless NO_PID is set, and sleeps EXIT_AFTER seconds (60 at most)
// without reacting to the stop byte.
inline void WriteShellDirector(const std::filesystem::path& home) {
    namespace fs = std::filesystem;
    WriteFile(home / "bin/tavro.bat",
              "#!/bin/sh\n\"$(dirname \"$0\")/director.sh\" </dev/null >/dev/null 2>&1 &\n");
    WriteFile(home / "bin/director.sh",
              "#!/bin/bash\n"
              "cd \"$(dirname \"$0\")\"\n"
              "echo $$ > director.pid\n"
              "exec 3<>/dev/tcp/$(hostname)/9293 || exit 1\n"
              "IFS= read -r -t 5 -n 1 first <&3\n"
              "IFS= read -r -t 0.3 -n 29 rest <&3\n"
              "printf '%s' \"$first$rest\" > hello\n"
              "[ -n \"$NO_PID\" ] || printf '%d' $$ >&3\n"
              "exec sleep \"${EXIT_AFTER:-60}\"\n");
    fs::permissions(home / "bin/tavro.bat", fs::perms::owner_all);
    fs::permissions(home / "bin/director.sh", fs::perms::owner_all);
}

}  // namespace tavro::testing
