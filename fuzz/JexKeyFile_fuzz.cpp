// Fuzz target: key-file reading and normalising of arbitrary bytes, and the key-name check.
//
// Reaches: reading and normalising a key file of any bytes up to 64 KiB, the line limit, the
// key-name check.
// Cannot reach: the key path search and file opening (JexSession_fuzz reads real key files).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jexlink/session/JexKeyFile.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > (1u << 16)) return 0;
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "r");
    if (!file) return 0;
    JexBuffer key;
    Check(JexKeyFile::Read(file, key) == 0);
    std::fclose(file);

    // The key is the first word of the first line, A to Z folded, padded
    // with zero bytes to a multiple of 8, and never longer than a line.
    const int n = key.Length();
    Check(n % 8 == 0 && n <= JexKeyFile::kMaxKeyLine + 1);
    int word = 0;
    while (word < n && key.Data()[word] != '\0') ++word;
    Check(n - word < 8 && word <= JexKeyFile::kMaxKeyLine);
    for (int i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(key.Data()[i]);
        if (i >= word) {
            Check(c == 0);
            continue;
        }
        Check(c != '\t' && c != ' ' && c != '\r' && c != '\n' && !(c >= 'A' && c <= 'Z'));
        Check(c == data[i] || (data[i] >= 'A' && data[i] <= 'Z' && c == data[i] - 'A' + 'a'));
    }
    // The word ends where the line has a separator, or at the line's limit.
    if (static_cast<size_t>(word) < size && word < JexKeyFile::kMaxKeyLine) {
        const uint8_t end = data[word];
        Check(end == '\t' || end == ' ' || end == '\r' || end == '\n' || end == 0);
    }

    // A name that passes the check can never name another directory.
    const JexString name = JexString::FromBytes(data, static_cast<int>(size));
    if (JexKeyFile::SafeName(name)) {
        Check(!std::memchr(data, '/', size) && !std::memchr(data, '\\', size));
        Check(!std::memchr(data, '\0', size));
    }
    return 0;
}
