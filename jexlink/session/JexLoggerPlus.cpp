// JexLogger::GetFromSession: a history-log record's tags from a session's attributes.
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/session/JexSession.h"

namespace {

struct SessionTag {
    const char* tag;
    int attribute;
};

// The tags, in the order they are added to a record that lacks them.
constexpr SessionTag kSessionTags[] = {
    {"Dst-Domain", 10}, {"Dst-Node", 11}, {"Dst-User", 13},   {"Src-Domain", 24},
    {"Src-Node", 25},   {"Src-User", 27}, {"Application", 1}, {"Path", 18},
};

}  // namespace

void JexLogger::GetFromSession(JexSession& s) {
    JexTrace trace("R:\\JexLoggerPlus.cxx", "GetFromSession()", __LINE__);
    for (const SessionTag& t : kSessionTags) {
        JexString value("", 1);
        s.GetAttr(static_cast<JexSession::Attribute>(t.attribute), value);
        tags_[t.tag] = value;
    }
}
