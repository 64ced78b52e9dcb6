// JexAccessCheck: whether the caller of an accepted session may use a local service.
#include "jexlink/session/JexAccessCheck.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexDataFile.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexWildcardMatch.h"
#include "jexlink/obligation/JexObligation.h"
#include "jexlink/session/JexSession.h"

namespace {

// Process-wide trace switches: every construction reads JEXAUTHREMOTE_TRACE
// and may only switch them on.
std::atomic<bool> matchTrace{false};
std::atomic<bool> scanTrace{false};

void ReadTraceSwitches() {
    const char* value = std::getenv("JEXAUTHREMOTE_TRACE");
    for (const char* c = value ? value : ""; *c; ++c) {
        if (*c == '*') matchTrace = scanTrace = true;
        if (*c == 'M' || *c == 'm') matchTrace = true;
        if (*c == 'S' || *c == 's') scanTrace = true;
    }
}

void PrintCaller(const JexString& acid, const JexString& node, const JexString& user,
                 const JexString& application, const JexString& option) {
    std::fprintf(stderr, "\tDomain: <%s>\n", acid.Text());
    std::fprintf(stderr, "\t  Node: <%s>\n", node.Text());
    std::fprintf(stderr, "\t  User: <%s>\n", user.Text());
    std::fprintf(stderr, "\t  Appl: <%s>\n", application.Text());
    std::fprintf(stderr, "\tOption: <%s>\n", option.Text());
}

void PrintRule(const char* label, JexFieldedString& fields) {
    std::fprintf(stderr, "«rac» %s: %s %s %s %s %s %s %s %s %s\n", label, fields[0].Text(),
                 fields[1].Text(), fields[2].Text(), fields[3].Text(), fields[4].Text(),
                 fields[5].Text(), fields[6].Text(), fields[7].Text(), fields[8].Text());
}

}  // namespace

const char* JexAccessCheck::ResultName(int result) {
    switch (result) {
        case kDisallowed: return "Disallowed";
        case kAllowed: return "Allowed";
        case kNoMatch: return "No Match";
        default: return "Unknown";
    }
}

JexAccessCheck::JexAccessCheck(JexSession* session, const char* option) {
    JexTrace trace(__FILE__, "JexAccessCheck()", __LINE__);
    JexString acids, nodes, user, application;
    if (session) {
        session->GetAttr(JexSession::SRC_ACID, acids);
        session->GetAttr(JexSession::SRC_NODE, nodes);
        session->GetAttr(JexSession::SRC_USER, user);
        session->GetAttr(JexSession::APPLICATION, application);
    }
    Run(acids, nodes, user, application, option);
}

JexAccessCheck::JexAccessCheck(const JexString& acids, const JexString& nodes,
                               const JexString& user, const JexString& application,
                               const char* option) {
    JexTrace trace(__FILE__, "JexAccessCheck()", __LINE__);
    Run(acids, nodes, user, application, option);
}

JexAccessCheck::~JexAccessCheck() { JexTrace trace(__FILE__, "~JexAccessCheck()", __LINE__); }

void JexAccessCheck::Run(const JexString& acids, const JexString& nodes, const JexString& user,
                         const JexString& application, const char* option) {
    ReadTraceSwitches();
    userData_ = "";
    matchingDomain_ = "";
    result_ = kNoMatch;

    const JexString opt(option ? option : "");
    JexFieldedString acidList(acids, ',');
    JexFieldedString nodeList(nodes, ',');
    for (int a = 0; a < acidList.Count(); ++a) {
        for (int n = 0; n < nodeList.Count(); ++n) {
            const int skip = opt.Text()[0] != '\0' || n > 0 ? 1 : 0;
            result_ = check_by_the_list(acidList[a], nodeList[n], user, application, opt, skip);
            if (result_ == kAllowed) return;
        }
    }
}

int JexAccessCheck::Permitted() {
    JexTrace trace(__FILE__, "Permitted()", __LINE__);
    return result_ == kAllowed ? 1 : 0;
}

JexString JexAccessCheck::UserData() {
    JexTrace trace(__FILE__, "UserData()", __LINE__);
    return userData_;
}

JexString JexAccessCheck::MatchingDomain() {
    JexTrace trace(__FILE__, "MatchingDomain()", __LINE__);
    return matchingDomain_;
}

int JexAccessCheck::check_by_the_list(const JexString& acid, const JexString& node,
                                      const JexString& user, const JexString& application,
                                      const JexString& option, int skip) {
    JexTrace trace(__FILE__, "check_by_the_list()", __LINE__);
    int result = kNoMatch;
    JexConfig config;
    for (int index = 0; result == kNoMatch; ++index) {
        JexString name = config.Value("Server.AccessCheckSequence", "file", index);
        if (index > 0 && config.Found() == JexConfig::kNotFound) break;
        if (name.Text()[0] == '\0') break;
        name.ToLower();
        if (name.Compare("file") == 0) {
            result = check_file(acid, node, user, application, option);
        } else if (name.Compare("chs") == 0) {
            if (!skip) {
                result = check_chs(acid, application);
            } else if (scanTrace) {
                std::fprintf(stderr, "«rac» Skipping CHS check for:\n");
                PrintCaller(acid, node, user, application, option);
            }
        } else {
            // Ends this pair's check; the next pair is checked from the
            // start of the sequence again, and says nothing more about it.
            if (!unknownReported_) {
                std::fprintf(stderr, "«rac» Database '%s' not known, check aborted\n", name.Text());
                std::fflush(stderr);
                unknownReported_ = true;
            }
            return kNoMatch;
        }
    }
    return result;
}

int JexAccessCheck::check_file(const JexString& acid, const JexString& node, const JexString& user,
                               const JexString& application, const JexString& option) {
    JexTrace trace(__FILE__, "check_file()", __LINE__);
    int result = kNoMatch;
    const JexString acidL = acid.LowerCopy();
    const JexString nodeL = node.LowerCopy();
    const JexString userL = user.LowerCopy();
    const JexString applicationL = application.LowerCopy();
    const JexString optionL = option.LowerCopy();
    const bool tracing = matchTrace || scanTrace;
    if (tracing) {
        std::fprintf(stderr, "«rac» Remote Authorization Check in file for\n");
        PrintCaller(acidL, nodeL, userL, applicationL, optionL);
    }

    JexDataFile file(JexDataFilePath("File.RemoteAuth", "data\\jex_remote_auth.dat"), 0);
    if (file.Code() != JexDataFile::OK) {
        if (tracing) std::fprintf(stderr, "«rac» File not accessable\n");
        return kNoMatch;
    }
    while (result == kNoMatch) {
        JexFieldedString& fields = file.NextLine();
        if (file.Code() != JexDataFile::OK || fields.Count() == 0) break;
        const JexString keyword = fields[0].LowerCopy();
        int answer;
        if (keyword.Compare("allow") == 0) {
            answer = kAllowed;
        } else if (keyword.Compare("disallow") == 0) {
            answer = kDisallowed;
        } else {
            std::fprintf(stderr,
                         "«rac» Keyword not known in remote authorizations file\n"
                         "      Offending keyword is '%s'\n"
                         "      Skipping this entry\n",
                         keyword.Text());
            std::fflush(stderr);
            continue;
        }
        if (scanTrace) PrintRule("Scanned", fields);
        const bool match = JexWildcardMatch(fields[1].LowerCopy(), acidL) &&
                           JexWildcardMatch(fields[2].LowerCopy(), nodeL) &&
                           JexWildcardMatch(fields[3].LowerCopy(), userL) &&
                           JexWildcardMatch(fields[4].LowerCopy(), applicationL) &&
                           JexWildcardMatch(fields[5].LowerCopy(), optionL) &&
                           JexDateInRange(fields[6].Text(), fields[7].Text());
        if (!match) continue;
        matchingDomain_ = acid;
        userData_ = fields[8];
        result = answer;
        if (matchTrace) PrintRule("Matched", fields);
    }
    if (matchTrace)
        std::fprintf(stderr, "«rac» Result of this file check: %s\n", ResultName(result));
    return result;
}

int JexAccessCheck::check_chs(const JexString& acid, const JexString& application) {
    JexTrace trace(__FILE__, "check_chs()", __LINE__);
    if (scanTrace) {
        std::fprintf(stderr, "«rac» Remote Authorization Check in CHS for\n");
        std::fprintf(stderr, "\tDomain: <%s>\n", acid.Text());
        std::fprintf(stderr, "\t  Appl: <%s>\n", application.Text());
    }
    int result = kDisallowed;
    JexObligation obligation;
    if (obligation.CheckCHS(acid, application) == 0) {
        if (matchTrace)
            std::fprintf(stderr, "«rac» Matched: %s %s\n", acid.Text(), application.Text());
        matchingDomain_ = acid;
        result = kAllowed;
        userData_ = obligation.GetProductList(acid).Text();
    }
    if (matchTrace)
        std::fprintf(stderr, "«rac» Result of this CHS check: %s\n", ResultName(result));
    return result;
}
