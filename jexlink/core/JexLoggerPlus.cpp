// JexLogger::GetFromSession: a history-log record's tags from a session's attributes.
#include "jexlink/core/JexLogger.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/session/JexSession.h"

namespace {

struct SessionTag {
    const char* tag;
    JexSession::Attribute attribute;
};

// The tags, in the order they are added to a record that lacks them.
constexpr SessionTag kSessionTags[] = {
    {"Dst-Domain", JexSession::DST_ACID},     {"Dst-Node", JexSession::DST_NODE},
    {"Dst-User", JexSession::DST_USER},       {"Src-Domain", JexSession::SRC_ACID},
    {"Src-Node", JexSession::SRC_NODE},       {"Src-User", JexSession::SRC_USER},
    {"Application", JexSession::APPLICATION}, {"Path", JexSession::PATH},
};

}  // namespace

void JexLogger::GetFromSession(JexSession& s) {
    JexTrace trace("R:\\JexLoggerPlus.cxx", "GetFromSession()", __LINE__);
    for (const SessionTag& t : kSessionTags) {
        JexString value("", 1);
        s.GetAttr(t.attribute, value);
        tags_[t.tag] = value;
    }
}
