// Env: reader and writer of the tree's private environment files.
#pragma once

#include <cstdint>
#include <string>

#include "Hostsys/Revision.h"

#define ENV_H_REVISION TAVRO_REVISION("Hostsys/Env.h", "1.4")

// A private environment file (NTPriv.env, NTRight) is a flat sequence of
// records: the text length in decimal digits, then that many bytes of
// name, "=" and value, then a line feed. Lookups scan from the start;
// changes are made in place: a removed record is overwritten with blanks of
// the same length, a record that grows is blanked and written again at the
// end. Not for concurrent writers: the file carries no lock.
class Env : public tavro::Revisions<Env> {
public:
    // Longest record text the reader accepts (a length of 2048 or more ends
    // the scan of the file).
    static constexpr int32_t kMaxRecordText = 2047;

    Env();
    explicit Env(const std::string& name);
    // A copy has the source's file name, state and last found record, and
    // opens the file on its own when it is next used.
    Env(const Env& other);
    Env& operator=(const Env& other);
    virtual ~Env();

    void File(const std::string& name);

    // Opens the named file unless one is open: `read` true for reading
    // only (the file must exist), false to make it afresh, empty, 0600
    // (and then also readable, so that what is added can be read back).
    // Neither goes through a symbolic link. With a file already open it keeps that file, sets the
    // fail state and returns true. True when a file is open afterwards.
    bool Open(bool read);
    // Opens the named file for reading and writing without truncating it
    // (and makes it private, 0600 at most); creates it empty when it does
    // not exist. A symbolic link in its place is refused.
    bool OpenWrite();
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    // False after a failed open, seek, read or write, until the next search.
    bool Good() const { return !m_fail; }

    // The whole text ("name=value") of the record `name`, or an empty text
    // when the file holds none.
    const std::string& ReadEnvVar(const std::string& name);
    // Blanks the record `name`; the file keeps its size.
    bool DeleteEnvVar(const std::string& name);
    // Appends `text` to the value of the existing record `name`.
    bool AppendEnvVar(const std::string& name, const std::string& text);
    // Sets `name` to `value`, adding the record when it is missing.
    bool AddEnvVar(const std::string& name, const std::string& value);

    // True for a name that can be stored: not empty, not beginning with a
    // digit or white space, without "=" or a line feed.
    static bool IsValidName(const std::string& name);

    // "<source revision> <header revision>".
    static const char* const s_pRevisionCpp;
    static const char* const s_pRevisionH;

protected:
    // Searches the file from its start for the record `name`; when found,
    // keeps its text, length and start.
    bool Find(const std::string& name);

    std::string m_fileName;

private:
    // A new empty file at the file's name, 0600, made under a temporary name
    // and renamed into place; its descriptor (read-write), or -1 with errno.
    int CreateAfresh() const;
    enum class Scan { kFound, kEnd, kStopped };
    bool OpenIfClosed();
    Scan Search(const std::string& name);
    bool ReachesEnd();
    bool WriteAt(int64_t offset, const std::string& bytes);
    bool WriteAtEnd(const std::string& bytes, int64_t* offset);
    bool BlankLastRecord();
    bool BlankShadows(const std::string& name, int64_t before);
    std::string LengthDigits(int32_t length, int width) const;

    int m_fd = -1;
    // The private copy OpenWrite edits, renamed over the file by Close.
    std::string m_pending;
    bool m_fail = false;
    // How the last search ended: true when it reached the end of the file
    // cleanly, false when it found the record or stopped on bad data.
    bool m_scanEnded = false;
    int64_t m_lastStart = 0;
    std::string m_lastText;
    int32_t m_lastLength = 0;
    // Number of length digits of the last found record as the file has them.
    int m_lastDigits = 0;
};
