// The data file reader: the library's text data files as logical lines of fields.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

#define JEXDATAFILE_TEXTS(JEX_TEXT)                                        \
    JEX_TEXT(0, OK, "Operation successful")                                \
    JEX_TEXT(1, END_OF_FILE, "End of file")                                \
    JEX_TEXT(2, OPENFAIL, "Error opening file %1$s")                       \
    JEX_TEXT(3, CONTINUED_AT_EOF, "Line %1$d is continued at end of file") \
    JEX_TEXT(4, LINE_TOO_LONG, "Line %1$d is longer than %2$d bytes")

// Reads one of the library's text data files as a sequence of logical lines,
// each split into fields. The syntax every such file shares:
//   - "#" outside double quotes starts a comment that runs to the line end;
//   - white space around a line is dropped, and lines without fields
//     (blank, comment only, separators only) are skipped;
//   - a line ending in a backslash is joined to the next one (the backslash
//     goes, the next line's leading white space too);
//   - fields are separated by runs of blanks, tabs and commas; double quotes
//     protect blanks, commas and "#", and a field in quotes loses them;
//   - lines may end in LF or CR LF, and may be of any length up to
//     kMaxLineLength bytes.
//
// Errors are only recorded (the suppress flag is set): after a failed open,
// at the end of the file and after any other error the code is not OK and
// NextLine gives no fields until Rewind. A line still continued at the end
// of the file is reported as CONTINUED_AT_EOF, not delivered in part.
//
//   JexDataFile file(path, 0);
//   for (;;) {
//       JexFieldedString& fields = file.NextLine();
//       if (file.Code() != JexDataFile::OK) break;  // END_OF_FILE, or why not
//       ...
//   }
class JexDataFile : public JexException {
public:
    enum : int { JEXDATAFILE_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // The longest logical line read, in bytes.
    static constexpr int32_t kMaxLineLength = 16 * 1024 * 1024;

    // Opens the file through the process-wide file lock, passing the
    // privileged flag on. A failure records OPENFAIL with the path and the
    // system error as its cause.
    JexDataFile(const char* path, int privileged);
    JexDataFile(const JexString& path, int privileged);
    ~JexDataFile() override;

    // The next logical line's fields; the same object every time, empty at
    // the end of the file and after an error.
    JexFieldedString& NextLine();
    // Back to the first line, with the counts at 0 and the code OK; nothing
    // happens when the file was never opened.
    void Rewind();

    // The fields of the line last delivered.
    const JexFieldedString& Fields() const { return fields; }
    int32_t PhysicalLines() const { return physicalLines; }
    int32_t LogicalLines() const { return logicalLines; }
    int32_t FieldCount() const { return fieldCount; }

private:
    void Open(const char* path, int privileged);
    void SplitFields(std::string& text);

    int32_t physicalLines = 0;
    int32_t logicalLines = 0;
    int32_t fieldCount = 0;
    FILE* stream = nullptr;
    JexFieldedString fields{' '};
};
