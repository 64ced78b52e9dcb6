// Fuzz target: the private-profile calls over an INI file of arbitrary bytes.
//
// Reaches: the private-profile reads and writes over an INI file of any bytes up to 64 KiB:
// sections and keys in any case, sizes of the caller's buffer.
// Cannot reach: files of other users or modes, concurrent writers.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/winbase.h"
#include "testing/support/TempDir.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// One file per process, in a directory removed when the process ends.
const std::string& FilePath() {
    static const tavro::testing::TempDir dir("profile-fuzz");
    static const std::string path = (dir.Path() / "fuzz.ini").string();
    return path;
}

std::string Get(const char* section, const char* key, DWORD size = 255) {
    char buffer[256];
    std::memset(buffer, 'X', sizeof buffer);
    DWORD n = GetPrivateProfileStringA(section, key, "", buffer, size, FilePath().c_str());
    Check(n < size);
    Check(buffer[n] == '\0');
    return std::string(buffer, n);
}

}  // namespace

// Whatever the file holds, reads stay inside the buffer; a write either
// fails and leaves the file as it was, or reads back, keeps the other keys'
// values.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    tavro::testing::WriteFile(FilePath(), bytes);
    const std::string a = Get("Configuration", "A");
    const std::string b = Get("configuration", "b");
    const std::string other = Get("Other", "A");
    (void)Get("Configuration", "A", 3);
    const std::string value = "v" + std::to_string(size);
    if (!WritePrivateProfileStringA("Configuration", "Time", value.c_str(), FilePath().c_str())) {
        Check(tavro::testing::ReadFile(FilePath()) == bytes);
        return 0;
    }
    Check(Get("CONFIGURATION", "time") == value);
    Check(Get("Configuration", "A") == a);
    Check(Get("configuration", "b") == b);
    Check(Get("Other", "A") == other);
    return 0;
}
