// The description of this machine that the library reports to its peers.
#pragma once

#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexString.h"

// Five blank-separated fields: the operating system ("WindowsNT" on the NT
// family), the computer name (the host name up to its first '.', at most 15
// characters), the system version "major.minor", "0", and the processor
// ("Intel", ...). Text() is the one-line platform text that peers read and
// classify clients by; Description() is the short form "Windows NT Intel".
// A field whose system call fails keeps its placeholder.
class JexPlatform : public JexFieldedString {
public:
    JexPlatform();
    ~JexPlatform();
    JexPlatform(const JexPlatform&) = default;
    JexPlatform& operator=(const JexPlatform&) = default;

    const JexString& Description() const { return description; }

    // The platform text of a JexPlatform made now, and into name its field
    // 1 (the computer's name), without making the list of fields.
    static JexString CurrentText(JexString& name);

private:
    JexString description;
};
