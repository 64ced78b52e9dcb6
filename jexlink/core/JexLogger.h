// JexLogger: one record of the library's history log, appended when the object ends.
#pragma once

#include <ctime>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexTagList.h"

class JexSession;

#define JEXLOGGEREXCEPTION_TEXTS(JEX_TEXT)                        \
    JEX_TEXT(0, OK, "Operation successful")                       \
    JEX_TEXT(1, CLOSEFAIL, "Unable to close history log file %s") \
    JEX_TEXT(2, OPENFAIL, "Unable to open history log file %s")   \
    JEX_TEXT(3, WRITEFAIL, "Unable to write to history log file %s")

// The last failure to write the history log.
class JexLoggerException : public JexException {
public:
    enum : int { JEXLOGGEREXCEPTION_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    JexLoggerException();
    JexException* Clone() override;
};

// A caller makes a JexLogger on its stack when an operation starts, sets
// tags as it goes (by name, from the session with GetFromSession, from the
// error it ended with through GetFromException) and lets the object end:
// the destructor completes the record and appends it to the history log
// (the data file "File.Logger", default "logs\jex_history.log" under the
// installation directory). A record whose "Record-Type" is "Metric" is a
// metric record (a timed operation); any other is an event record.
//
// A record is appended with one write under an exclusive lock of the file,
// so records of concurrent threads and processes never interleave. A
// failure to write it never ends the process: it is kept in Error() and
// its description printed on standard error. One object serves one thread.
class JexLogger {
public:
    JexLogger();
    virtual ~JexLogger();
    JexLogger(const JexLogger&) = delete;
    JexLogger& operator=(const JexLogger&) = delete;

    // The value of a tag, the tag appended when it is new.
    JexString& operator[](const char* tag) { return tags_[tag]; }
    JexTagList& Tags() { return tags_; }

    // "Exit-Status" becomes the code names of the error and its causes,
    // outermost first, separated by commas; null leaves it empty.
    void GetFromException(JexException* e);
    // The destination and source domain, node and user, the application and
    // the path from the session's attributes. Built with the session layer.
    void GetFromSession(JexSession& s);

    // While not 0 the destructor writes nothing.
    int Suppress() const { return suppress_; }
    void SetSuppress(int flag) { suppress_ = flag; }

    JexLoggerException& Error() { return error_; }

private:
    // Completes the record and appends it; the code of the outcome.
    int Write();
    void Fail(int code, int error, const char* call);

    JexTagList tags_;
    JexLoggerException error_;
    int suppress_ = 0;
    std::clock_t cpu_start_;
    JexString path_;
};
