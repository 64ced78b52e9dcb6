// The data file reader: the library's text data files as logical lines of fields.
#include "jexlink/core/JexDataFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "jexlink/core/JexPrivLock.h"
#include "jexlink/core/JexTrace.h"

#define JEX_TEXT_CLASS JexDataFile
const JexTextRow JexDataFile::kTextTable[] = JEX_TEXT_TABLE(JEXDATAFILE_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

constexpr char kSource[] = "JexDataFile";

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Opens a data file for reading under the process-wide file lock, so that
// the open is serialised with every other open and close of the library.
// Only a regular file is read: a directory, a pipe or a device could block
// the reader or never end. Null with errno set on failure.
FILE* OpenForReading(const char* path, int privileged) {
    if (!path) {
        errno = EINVAL;
        return nullptr;
    }
    JexPrivLock lock(privileged);
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat st;
    int error = 0;
    if (fstat(fd, &st) != 0) {
        error = errno;
    } else if (!S_ISREG(st.st_mode)) {
        error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    } else if (fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        error = errno;
    }
    FILE* stream = error ? nullptr : fdopen(fd, "r");
    if (!stream) {
        if (!error) error = errno;
        ::close(fd);
        errno = error;
    }
    return stream;
}

enum class LineRead { kLine, kEnd, kTooLong };

// One physical line without its newline; bytes after a NUL are dropped, as a
// C text would end there. Read errors count as the end of the file.
LineRead ReadPhysicalLine(FILE* stream, std::string& line, size_t limit) {
    line.clear();
    bool any = false;
    bool nul = false;
    LineRead result = LineRead::kLine;
    flockfile(stream);
    for (int c; (c = getc_unlocked(stream)) != EOF;) {
        any = true;
        if (c == '\n') break;
        if (line.size() >= limit) {
            result = LineRead::kTooLong;
            break;
        }
        if (c == '\0') nul = true;
        if (!nul) line.push_back(static_cast<char>(c));
    }
    funlockfile(stream);
    if (!any) return LineRead::kEnd;
    return result;
}

// Cuts the line at the first "#" outside double quotes.
void CutComment(std::string& line) {
    bool inQuotes = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') {
            inQuotes = !inQuotes;
        } else if (line[i] == '#' && !inQuotes) {
            line.resize(i);
            return;
        }
    }
}

// Appends the line without leading and trailing white space (a carriage
// return before the newline goes with it).
void AppendTrimmed(std::string& to, const std::string& line) {
    size_t begin = 0;
    size_t end = line.size();
    while (begin < end && IsSpace(line[begin])) ++begin;
    while (end > begin && IsSpace(line[end - 1])) --end;
    to.append(line, begin, end - begin);
}

}  // namespace

JexDataFile::JexDataFile(const char* path, int privileged)
    : JexException(kTextTable, "JexDataFile") {
    JexTrace trace(kSource, "JexDataFile(const char*,int)", __LINE__);
    Open(path, privileged);
}

JexDataFile::JexDataFile(const JexString& path, int privileged)
    : JexException(kTextTable, "JexDataFile") {
    JexTrace trace(kSource, "JexDataFile(const JexString&,int)", __LINE__);
    Open(path.Text(), privileged);
}

void JexDataFile::Open(const char* path, int privileged) {
    SetSuppress(1);
    stream = OpenForReading(path, privileged);
    if (stream) return;
    JexErrno cause(errno, "fopen()");
    ExcSet(OPENFAIL, JexExcArgs("JexPrivLock::fopen()", path ? path : ""), &cause);
    Raise();
}

JexDataFile::~JexDataFile() {
    JexTrace trace(kSource, "~JexDataFile()", __LINE__);
    if (stream) std::fclose(stream);
    stream = nullptr;
}

JexFieldedString& JexDataFile::NextLine() {
    JexTrace trace(kSource, "NextLine()", __LINE__);
    fields.Clear();
    fieldCount = 0;
    // A failed open, the end of the file or any other error: nothing more
    // is read until Rewind.
    if (Code() != OK || !stream) return fields;

    std::string text;
    std::string line;
    int32_t continuedFrom = 0;  // the physical line that asked for more
    for (;;) {
        const size_t room = static_cast<size_t>(kMaxLineLength) - text.size();
        const LineRead read = ReadPhysicalLine(stream, line, room);
        if (read == LineRead::kTooLong) {
            ExcSet(LINE_TOO_LONG, JexExcArgs("getting next line", physicalLines + 1,
                                             static_cast<int>(kMaxLineLength)));
            return fields;
        }
        if (read == LineRead::kEnd) {
            // A line still continued here has lost its end: say so rather
            // than deliver it in part or drop it silently.
            if (!text.empty()) {
                ExcSet(CONTINUED_AT_EOF, JexExcArgs("getting next line", continuedFrom));
            } else {
                ExcSet(END_OF_FILE, JexExcArgs("getting next line"));
            }
            return fields;
        }
        ++physicalLines;
        CutComment(line);
        AppendTrimmed(text, line);
        if (!text.empty() && text.back() == '\\') {
            text.pop_back();
            continuedFrom = physicalLines;
            continue;
        }
        if (text.empty()) continue;
        // A line of nothing but separators has no fields: skipped like a
        // blank line, so that an empty field list only ever means the end.
        SplitFields(text);
        if (fieldCount > 0) break;
        text.clear();
    }
    ++logicalLines;
    return fields;
}

void JexDataFile::SplitFields(std::string& text) {
    bool inQuotes = false;
    bool between = true;
    size_t start = 0;
    // A field that begins and ends with a double quote loses both.
    auto store = [&](size_t end) {
        size_t from = start;
        size_t length = end - start;
        if (length >= 2 && text[from] == '"' && text[end - 1] == '"') {
            ++from;
            length -= 2;
        }
        fields[fieldCount] = JexString::FromBytes(text.data() + from, static_cast<int>(length));
        ++fieldCount;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char& c = text[i];
        if (c == '"') {
            inQuotes = !inQuotes;
            if (inQuotes && between) {
                start = i;
                between = false;
            }
        }
        if (inQuotes) continue;
        if (c == ',') c = ' ';
        if (!between && IsSpace(c)) {
            store(i);
            between = true;
        } else if (between && !IsSpace(c)) {
            start = i;
            between = false;
        }
    }
    if (!between) store(text.size());
}

void JexDataFile::Rewind() {
    JexTrace trace(kSource, "Rewind()", __LINE__);
    if (!stream) return;
    std::rewind(stream);
    physicalLines = 0;
    logicalLines = 0;
    fieldCount = 0;
    fields.Clear();
    ExcSet(OK, JexExcArgs(), nullptr);
}
