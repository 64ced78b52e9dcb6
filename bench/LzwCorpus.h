// The data the compression benchmarks code: real text, machine code, already compressed bytes,
// and messages of the three kinds interleaved.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace tavro::bench {

using Bytes = std::vector<unsigned char>;

// The size of a message in the mixed part (and of what the LZW bench hands
// the codec at a time), and of each part.
constexpr size_t kCorpusMessage = 4096;
constexpr size_t kCorpusPart = 1 << 20;

inline Bytes ReadCorpusFile(const std::filesystem::path& path, size_t limit) {
    std::ifstream in(path, std::ios::binary);
    Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (bytes.size() > limit) bytes.resize(limit);
    return bytes;
}

// Text: the licence texts and C++ library headers of the machine.
inline Bytes TextPart() {
    Bytes text;
    for (const char* dir : {"/usr/share/common-licenses", "/usr/include/c++/12/bits"}) {
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
            if (text.size() >= kCorpusPart) break;
            if (!entry.is_regular_file()) continue;
            const Bytes file = ReadCorpusFile(entry.path(), kCorpusPart - text.size());
            text.insert(text.end(), file.begin(), file.end());
        }
    }
    // A machine without those files still gets text of a kind.
    for (unsigned i = 0; text.size() < kCorpusPart; ++i) {
        const std::string line =
            "route " + std::to_string(i * 2654435761u % 9973) + " via gateway\n";
        text.insert(text.end(), line.begin(), line.end());
    }
    return text;
}

// Binary: machine code and data of this program.
inline Bytes BinaryPart() { return ReadCorpusFile("/proc/self/exe", kCorpusPart); }

// Already compressed: deflated text and code.
inline Bytes CompressedPart(const Bytes& text, const Bytes& binary) {
    Bytes both = text;
    both.insert(both.end(), binary.begin(), binary.end());
    uLongf size = compressBound(static_cast<uLong>(both.size()));
    Bytes out(size);
    compress2(out.data(), &size, both.data(), static_cast<uLong>(both.size()), 9);
    out.resize(std::min<size_t>(size, kCorpusPart / 2));
    return out;
}

struct Corpus {
    Bytes text;
    Bytes binary;
    Bytes compressed;
    Bytes mixed;  // messages of the three kinds, interleaved
};

inline const Corpus& TheCorpus() {
    static const Corpus corpus = [] {
        Corpus c;
        c.text = TextPart();
        c.binary = BinaryPart();
        c.compressed = CompressedPart(c.text, c.binary);
        const Bytes* parts[] = {&c.text, &c.binary, &c.compressed};
        size_t offset[3] = {0, 0, 0};
        for (bool more = true; more;) {
            more = false;
            for (int k = 0; k < 3; ++k) {
                const Bytes& part = *parts[k];
                if (offset[k] >= part.size()) continue;
                const size_t n = std::min(kCorpusMessage, part.size() - offset[k]);
                c.mixed.insert(c.mixed.end(), part.begin() + static_cast<long>(offset[k]),
                               part.begin() + static_cast<long>(offset[k] + n));
                offset[k] += n;
                more = true;
            }
        }
        return c;
    }();
    return corpus;
}

}  // namespace tavro::bench
