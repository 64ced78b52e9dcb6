// Fuzz target: nodewalk's image loading, dump and summary over arbitrary images and offsets.
//
// Reaches: nodewalk's image loading at any offset, its dump and summary over images of any bytes.
// Cannot reach: images above what one input holds, the tool's command line.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tools/nodewalk/ConfigTree.h"

// The first two bytes are the start offset (little-endian, any value up to
// beyond the end); the rest is the file the image is loaded from.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::FILE* sink = std::fopen("/dev/null", "we");
    if (size < 2 || !sink) return 0;
    const int64_t offset = data[0] | data[1] << 8;
    const int fd = memfd_create("tree", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (write(fd, data + 2, size - 2) != static_cast<ssize_t>(size - 2)) {
        close(fd);
        return 0;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    try {
        const BinFile image(path.c_str(), offset);
        try {
            ConfigTree(image.Bytes(), sink).Dump();
        } catch (const Exception&) {
        }
        try {
            ConfigTree(image.Bytes(), sink).Summary();
        } catch (const Exception&) {
        }
    } catch (const Exception&) {
    }
    close(fd);
    return 0;
}
