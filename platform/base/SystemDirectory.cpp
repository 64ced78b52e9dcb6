// The system directory of the platform layer.
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/PlatformState.h"
#include "platform/winbase.h"

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    std::string dir = platform::StateSubdir("System32").string();
    if (dir.empty()) return 0;
    if (!buffer || dir.size() + 1 > size) return static_cast<UINT>(dir.size() + 1);
    std::memcpy(buffer, dir.c_str(), dir.size() + 1);
    return static_cast<UINT>(dir.size());
}
