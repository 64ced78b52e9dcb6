// Platform state directory and session number.
#include "platform/PlatformState.h"

#include <unistd.h>

#include <cstdlib>
#include <system_error>

namespace platform {

std::filesystem::path StateDir() {
    const char* dir = std::getenv(kStateDirVar);
    std::filesystem::path path =
        (dir && *dir)
            ? std::filesystem::path(dir)
            : std::filesystem::path("/var/tmp/tavro-platform-" + std::to_string(getuid()));
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
    return path;
}

std::filesystem::path StateSubdir(const std::string& name) {
    std::filesystem::path path = StateDir() / name;
    std::error_code ignored;
    std::filesystem::create_directories(path, ignored);
    return path;
}

int SessionId() {
    const char* session = std::getenv(kSessionVar);
    return (session && session[0] == '0' && session[1] == '\0') ? 0 : 1;
}

}  // namespace platform
