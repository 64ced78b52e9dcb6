// Captures what a function writes to a standard I/O stream, for tests of dumps and reports.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tavro::testing {

// Runs write(FILE*) on an in-memory stream and returns the bytes written.
template <typename Write>
std::string CapturedFile(Write write) {
    char* text = nullptr;
    size_t size = 0;
    FILE* f = open_memstream(&text, &size);
    if (!f) return "<open_memstream failed>";
    write(f);
    std::fclose(f);
    std::string out(text, size);
    std::free(text);
    return out;
}

}  // namespace tavro::testing
