// Fuzz target: the data file reader over hostile file contents, read twice around a rewind.
//
// Reaches: every rule of the data file syntax (comments, quotes, separators, continued lines, CR
// LF, long lines), end-of-file states and the rewind.
// Cannot reach: files above 64 KiB and the line limit itself (16 MiB), files that fail to open or
// change while read.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "jexlink/core/JexDataFile.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

using Lines = std::vector<std::vector<std::string>>;

Lines ReadAll(JexDataFile& file, size_t inputSize) {
    Lines lines;
    size_t bytes = 0;
    for (;;) {
        JexFieldedString& fields = file.NextLine();
        if (file.Code() != JexDataFile::OK) {
            Check(fields.Count() == 0);
            Check(file.Code() == JexDataFile::END_OF_FILE ||
                  file.Code() == JexDataFile::CONTINUED_AT_EOF);
            return lines;
        }
        Check(fields.Count() > 0 && fields.Count() == file.FieldCount());
        Check(file.LogicalLines() == static_cast<int32_t>(lines.size()) + 1);
        std::vector<std::string> line;
        for (int i = 0; i < fields.Count(); ++i) {
            line.emplace_back(fields[i].Text());
            bytes += line.back().size();
        }
        // Fields only ever lose characters of the file.
        Check(bytes <= inputSize);
        lines.push_back(line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    const int fd = memfd_create("datafile", MFD_CLOEXEC);
    Check(fd >= 0);
    Check(write(fd, data, size) == static_cast<ssize_t>(size));
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    {
        JexDataFile file(path.c_str(), 0);
        Check(file.Code() == JexDataFile::OK);
        const Lines first = ReadAll(file, size);
        const int endCode = file.Code();
        file.Rewind();
        Check(file.Code() == JexDataFile::OK && file.PhysicalLines() == 0);
        Check(ReadAll(file, size) == first && file.Code() == endCode);
    }
    close(fd);
    return 0;
}
