// Fuzz target: private environment file of arbitrary bytes, searched and edited.
//
// Reaches: the environment file's search, add, append and delete, the file rewrite, values and
// names of any bytes up to 64 KiB.
// Cannot reach: files of other users or modes, concurrent writers (one process, one file).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "Hostsys/Env.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

// One file per process, removed when the process ends.
struct TempFile {
    TempFile() {
        path = (std::filesystem::temp_directory_path() / "env-fuzz-XXXXXX").string();
        int fd = mkstemp(path.data());
        if (fd < 0) std::abort();
        close(fd);
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
    std::string path;
};

const std::string& FilePath() {
    static const TempFile file;
    return file.path;
}

std::string Contents() {
    std::ifstream in(FilePath(), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

// Whatever the file holds, an edit either fails and leaves the file as it was,
// or succeeds, reads back, and loses no other record that was readable.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (1u << 16)) return 0;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    {
        std::ofstream out(FilePath(), std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    Env env(FilePath());
    Check(env.OpenWrite());
    const std::string a = env.ReadEnvVar("A");
    const std::string b = env.ReadEnvVar("B");
    const std::string value = bytes.substr(0, size % 40);

    std::string before = Contents();
    if (!env.AddEnvVar("-Port", value)) {
        Check(Contents() == before);
        return 0;
    }
    Check(env.ReadEnvVar("-Port") == "-Port=" + value);
    Check(env.ReadEnvVar("A") == a);
    Check(env.ReadEnvVar("B") == b);
    if (a.empty()) return 0;

    before = Contents();
    if (env.AppendEnvVar("A", "x")) {
        Check(env.ReadEnvVar("A") == a + "x");
    } else {
        Check(Contents() == before);
    }
    Check(env.DeleteEnvVar("A"));
    Check(env.ReadEnvVar("A").empty());
    Check(env.ReadEnvVar("-Port") == "-Port=" + value);
    Check(env.ReadEnvVar("B") == b);
    return 0;
}
