// Key files of the signing methods: safe names, lookup in a key directory, reading and normalising
// a key.
#include "jexlink/session/JexKeyFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace JexKeyFile {

namespace {

// Opens `path` only when it is a regular file. O_NONBLOCK keeps a pipe or a
// device planted under a key name from blocking the open.
FILE* OpenRegular(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    if (!known || !S_ISREG(st.st_mode)) {
        const int err = !known ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        close(fd);
        errno = err;
        return nullptr;
    }
    // A key that other users may change is used, but not silently.
    if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        std::fprintf(stderr, "Warning: key file %s can be written by other users\n", path.c_str());
        std::fflush(stderr);
    }
    FILE* file = fdopen(fd, "r");
    if (!file) {
        const int err = errno;
        close(fd);
        errno = err;
    }
    return file;
}

// Key sets made on a system whose file names ignore case: the first entry,
// in byte order, whose name equals `name` regardless of case.
std::string FindIgnoringCase(const std::string& dir, const char* name) {
    DIR* d = opendir(dir.c_str());
    if (!d) return {};
    std::string found;
    while (dirent* entry = readdir(d)) {
        if (JexStrCaseCmp(entry->d_name, name) != 0) continue;
        if (found.empty() || found.compare(entry->d_name) > 0) found = entry->d_name;
    }
    closedir(d);
    return found;
}

}  // namespace

bool SafeName(const JexString& name) {
    const char* text = name.Data();
    const int n = name.Length();
    if (!text || n <= 0) return true;
    if (std::memchr(text, '\0', static_cast<size_t>(n))) return false;
    return !std::strpbrk(text, "/\\") && !std::strstr(text, "..");
}

FILE* Open(const JexString& path) {
    const std::string full = path.Text();
    FILE* file = OpenRegular(full);
    if (file || errno != ENOENT) return file;
    const size_t slash = full.rfind('/');
    const std::string directory = slash == std::string::npos ? "" : full.substr(0, slash + 1);
    const std::string name = full.substr(directory.size());
    const std::string other = FindIgnoringCase(directory.empty() ? "." : directory, name.c_str());
    if (other.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    return OpenRegular(directory + other);
}

void Normalise(const char* line, int n, JexBuffer& key) {
    int len = 0;
    while (len < n && !std::strchr("\t \r\n", line[len]) && line[len] != '\0') ++len;
    const int padded = (len + 7) / 8 * 8;
    key.Free();
    if (padded == 0) return;
    key.SetLength(padded);
    if (key.Length() != padded) return;
    for (int i = 0; i < padded; ++i) {
        const char c = i < len ? line[i] : '\0';
        key[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
}

int Read(FILE* file, JexBuffer& key) {
    char line[kMaxKeyLine + 1];
    int n = 0;
    int c = 0;
    while (n < kMaxKeyLine && (c = std::getc(file)) != EOF && c != '\n')
        line[n++] = static_cast<char>(c);
    if (std::ferror(file)) {
        const int err = errno ? errno : EIO;
        explicit_bzero(line, sizeof line);
        key.Free();
        return err;
    }
    Normalise(line, n, key);
    explicit_bzero(line, sizeof line);
    return 0;
}

}  // namespace JexKeyFile
