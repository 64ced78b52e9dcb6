// What the sources of JexModemAPI share: trace lines, frame dumps and the process-wide numbers.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "jexlink/core/JexNetMsg.h"
#include "jexlink/modem/JexModemAPI.h"

namespace jex_modem_api {

// A line on standard error when the switch bit of JEXMODEMAPI_TRACE is on
// (0: always).
[[gnu::format(printf, 2, 3)]] inline void Line(int bit, const char* format, ...) {
    if (bit != 0 && !(JexModemAPI::TraceFlags() & bit)) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
}

// The marker line and the frame's dump when the switch bit is on.
inline void Dump(int bit, const char* line, const JexTp2Frame& frame) {
    if (!(JexModemAPI::TraceFlags() & bit)) return;
    std::fputs(line, stderr);
    frame.Dump(stderr, 0);
}

constexpr int kText = JexModemAPI::kTraceText;
constexpr const char* kFile = "JexModemAPI";

// A frame's integer field; 0 when it is not set.
inline int Field(const JexTp2Frame& frame, int id) {
    int value = 0;
    return frame.GetAttr(id, value) == 0 ? value : 0;
}

// Whether a DT's user data is a data message in its raw form (the mark and
// the data), which decodes whatever follows the mark: its data can be taken
// without decoding the message.
inline bool RawData(const JexBufferBase& userData) {
    return userData.Length() > 0 && userData.Data()[0] == JexNetMsg::kRawMark;
}

// The next number of a process-wide heartbeat counter.
int NextEcho();
int NextBeat();

}  // namespace jex_modem_api
