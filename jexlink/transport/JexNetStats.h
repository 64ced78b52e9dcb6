// Statistics of one connection: start and stop, caller and callee, messages and bytes each way.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"

#define JEXNETSTATS_TEXTS(JEX_TEXT)         \
    JEX_TEXT(0, OK, "Operation successful") \
    JEX_TEXT(1, BADSTAT, "Invalid statistic index")

// What one connection did. Every byte-stream endpoint embeds one; the
// session and the gateway keep their own and read and copy the fields
// directly. When the environment variable JEXNETSTATS_DISPLAY is set, the
// display switch callback prints the report on standard error as the
// object ends. The counters belong to the thread that owns the connection.
class JexNetStats : public JexException {
public:
    enum : int { JEXNETSTATS_TEXTS(JEX_TEXT_CODE) };
    static const JexTextRow kTextTable[];

    // Counter indices.
    static constexpr int kBytesSent = 0;
    static constexpr int kBytesReceived = 1;
    static constexpr int kMessagesSent = 2;
    static constexpr int kMessagesReceived = 3;

    using DisplayCallback = void (*)(JexNetStats* stats);

    JexNetStats(const char* name, const void* owner, DisplayCallback display);
    // Statistics that belong to no particular object (the session's own).
    JexNetStats(const char* statsName, DisplayCallback callback)
        : JexNetStats(statsName, nullptr, callback) {}
    ~JexNetStats() override;

    // Adds to a counter; an index outside 0..3 raises BADSTAT and changes nothing.
    void Increment(int index, uint32_t amount);
    // Writes the report.
    void Display(FILE* out);
    // The callback the endpoints pass: Display on standard error when
    // JEXNETSTATS_DISPLAY was set at the object's construction.
    static void DisplaySwitch(JexNetStats* stats);

    time_t start;      // now at construction; stamped again on accept
    time_t stop = 0;   // stamped by the destructor when still 0
    JexString callee;  // text of the called address
    JexString caller;  // text of the calling address
    DisplayCallback display;
    uint32_t counters[4] = {0, 0, 0, 0};
    JexString name;     // the owner's class or role
    const void* owner;  // only printed
    bool displayOn;     // JEXNETSTATS_DISPLAY at construction
};
