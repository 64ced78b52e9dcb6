// JexModemLineDb::Reserve: the choice of a line for an outgoing call, and the skip-list test.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/modem/JexList.h"
#include "jexlink/modem/JexModemLineDb.h"

namespace {

constexpr const char* kModule = "JexModemLineDb";

bool TraceReserve() { return (JexModemLineDb::TraceFlags() & JexModemLineDb::kTraceReserve) != 0; }

bool Same(const JexString& a, const JexString& b) { return std::strcmp(a.Text(), b.Text()) == 0; }

}  // namespace

int JexModemLineDb::found_in(const JexString& name, const JexFieldedString& list) {
    JexTrace trace(kModule, "found_in()", __LINE__);
    const JexString lowered = name.LowerCopy();
    JexFieldedString entries(list);
    for (int i = 0; i < entries.Count(); ++i)
        if (Same(lowered, entries[i].LowerCopy())) return 1;
    return 0;
}

bool JexModemLineDb::Eligible(int pass, int32_t speed, const JexString& lineType,
                              const JexString& destination, const JexFieldedString& skipList) {
    if (currentMode_ == kDisabled || links_ >= maxLinks_) return false;
    if (speed != 0 && speed_ < speed) return false;
    if (std::strcmp(lineType.Text(), "*") != 0 && !Same(lineType_, lineType)) return false;
    switch (pass) {
        case 1:
            if (allowedMode_ == kDisabled || (state_ != kOnline && state_ != kDialing))
                return false;
            if (!Same(dtn_, destination) && !Same(rtn_, destination)) return false;
            break;
        case 2:
            if (allowedMode_ != kOriginate || state_ != kIdle) return false;
            break;
        default:
            if (allowedMode_ != kBoth || (state_ != kIdle && state_ != kListening)) return false;
            break;
    }
    return !found_in(lineName_, skipList);
}

int JexModemLineDb::Reserve(const char* destination, int32_t speed, const char* lineType,
                            int32_t idleOk, JexFieldedString skipList) {
    // The object's own generator, never the C library's shared one (whose
    // state the 128-bit random values own).
    std::mt19937 generator(static_cast<uint32_t>(std::time(nullptr)));
    JexTrace trace(kModule, "Reserve()", __LINE__);
    if (accessMode_ != kFresh) return Fail(WRONGMODE, JexExcArgs("Reserve()"));
    accessMode_ = kReserving;

    JexString wanted(destination ? destination : "");
    wanted.ToLower();
    JexString type(lineType ? lineType : "");
    type.ToLower();
    const bool tracing = TraceReserve();
    if (tracing) {
        std::fprintf(stderr, "<vldb:r> Reserve request for call to '%s.%s' at speed %d, free:%d\n",
                     type.Text(), wanted.Text(), speed, idleOk);
        std::fprintf(stderr, "    <:r> There are %d line(s) in the skiplist:\n", skipList.Count());
        for (int i = 0; i < skipList.Count(); ++i)
            std::fprintf(stderr, "    <:r> %3.3d: Line '%s'\n", i, skipList[i].Text());
    }

    Find("*");
    if (Code() != OK) {
        if (tracing)
            std::fprintf(stderr, "<vldb:r> Reserve failed to load lines into memory:\n\t%s\n",
                         Describe(0).Text());
        return Fail(NOMATCH, JexExcArgs("Reserve()'s initial Find()"), this);
    }

    cursor_ = 0;
    for (Deliver(); Code() == OK; Deliver()) {
        if (tracing) std::fprintf(stderr, "<vldb:r> Pass 1 checking line '%s'\n", lineName_.Text());
        if (!Eligible(1, speed, type, wanted, skipList)) continue;
        if (tracing) std::fprintf(stderr, "<vldb:r> Pass 1 Match: Line '%s'\n", lineName_.Text());
        return ExcSet(OK);
    }
    if (idleOk == 0) return Fail(NOMATCH);

    JexConfig config;
    JexString method = config.Value("Modem.LookupSequence", "Sequential");
    if (tracing) std::fprintf(stderr, "<vldb:r> Line selection method is '%s'\n", method.Text());
    method.ToUpper();

    JexList order;
    const uint32_t n = static_cast<uint32_t>(results_.Count());
    for (uint32_t i = 0; i < n; ++i) order.Append(static_cast<int32_t>(i));
    if (std::strcmp(method.Text(), "RANDOM") == 0) {
        for (uint32_t i = 0; i < n; ++i) {
            const uint32_t bits =
                randomSource_ ? randomSource_() : static_cast<uint32_t>(generator() >> 16);
            const auto r = static_cast<uint32_t>((uint64_t{bits & 0xffffu} * n) >> 16);
            std::swap(order[i], order[r]);
        }
    }

    for (int pass = 2; pass <= 3; ++pass) {
        for (uint32_t i = 0; i < n; ++i) {
            Fetch(static_cast<uint32_t>(order[i]));
            if (Code() != OK) break;
            if (tracing)
                std::fprintf(stderr, "<vldb:r> Pass %d checking line '%s'\n", pass,
                             lineName_.Text());
            if (!Eligible(pass, speed, type, wanted, skipList)) continue;
            if (tracing)
                std::fprintf(stderr, "<vldb:r> Pass %d Match: Line '%s'\n", pass, lineName_.Text());
            return ExcSet(OK);
        }
    }
    if (tracing) std::fprintf(stderr, "<vldb:r> No eligible lines matched\n");
    return Fail(NOMATCH);
}
