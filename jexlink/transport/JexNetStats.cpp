// Statistics of one connection: start and stop, caller and callee, messages and bytes each way.
#include "jexlink/transport/JexNetStats.h"

#include <unistd.h>

#include <cstdlib>

#include "jexlink/core/JexTime.h"

#define JEX_TEXT_CLASS JexNetStats
const JexTextRow JexNetStats::kTextTable[] = JEX_TEXT_TABLE(JEXNETSTATS_TEXTS);
#undef JEX_TEXT_CLASS

namespace {

// The report's form of a time.
JexString TimeText(time_t t) {
    JexString out;
    JexFormatTime(out, &t);
    return out;
}

}  // namespace

JexNetStats::JexNetStats(const char* statsName, const void* statsOwner, DisplayCallback callback)
    : JexException(kTextTable, "JexNetStats"),
      start(time(nullptr)),
      callee("(none)"),
      caller("(none)"),
      display(callback),
      name(statsName ? statsName : ""),
      owner(statsOwner),
      displayOn(std::getenv("JEXNETSTATS_DISPLAY") != nullptr) {}

JexNetStats::~JexNetStats() {
    if (stop == 0) stop = time(nullptr);
    if (display) display(this);
}

void JexNetStats::Increment(int index, uint32_t amount) {
    if (index < 0 || index > 3) {
        ExcRaise(BADSTAT, JexExcArgs("JexNetStats::Increment"));
        return;
    }
    counters[index] += amount;
}

void JexNetStats::Display(FILE* out) {
    std::fprintf(out, "PID %d: %s (0x%p):\n", static_cast<int>(getpid()), name.Text(), owner);
    std::fprintf(out, "\tStart:    %s\n", TimeText(start).Text());
    std::fprintf(out, "\tStop:     %s\n", TimeText(stop).Text());
    std::fprintf(out, "\tCaller:   %s\n", caller.Text());
    std::fprintf(out, "\tCallee:   %s\n", callee.Text());
    std::fprintf(out, "\tMessages Sent:    %16lu\n", static_cast<unsigned long>(counters[2]));
    std::fprintf(out, "\tBytes Sent:       %16lu\n", static_cast<unsigned long>(counters[0]));
    std::fprintf(out, "\tMessages Received:%16lu\n", static_cast<unsigned long>(counters[3]));
    std::fprintf(out, "\tBytes Received:   %16lu\n", static_cast<unsigned long>(counters[1]));
    std::fflush(out);
}

void JexNetStats::DisplaySwitch(JexNetStats* stats) {
    if (stats && stats->displayOn) stats->Display(stderr);
}
