// JexAccessCheck: whether the caller of an accepted session may use a local service.
#pragma once

#include "jexlink/core/JexString.h"

class JexSession;

// Runs the checks that the setting Server.AccessCheckSequence names
// ("file", the default: the allow/disallow rules of the remote
// authorization file, setting File.RemoteAuth; "chs": the call-handling
// system through the service-obligation map) for every pair of the
// caller's access ids and nodes, until one pair is allowed.
//
// It fails closed: no pair to check, an unknown name in the sequence (which
// ends the whole check), an unreadable file or a rule that matches nothing
// all leave the caller not permitted. The whole check runs in the
// constructor; read the outcome with Permitted, UserData and
// MatchingDomain. Nothing is raised. JEXAUTHREMOTE_TRACE ("m" matches,
// "s" scans, "*" both) traces to standard error.
class JexAccessCheck {
public:
    enum Result : int { kDisallowed = 0, kAllowed = 1, kNoMatch = 2 };
    // "Disallowed", "Allowed", "No Match", or "Unknown".
    static const char* ResultName(int result);

    // The caller as the accepted session describes it (SRC_ACID, SRC_NODE,
    // SRC_USER, APPLICATION); a null session is not permitted. `option` may
    // be null or empty; a non-empty one skips the "chs" check.
    JexAccessCheck(JexSession* session, const char* option);
    // The caller given as comma-separated access ids and nodes, a user and
    // an application. `option` may be null or empty; a non-empty one skips
    // the "chs" check.
    JexAccessCheck(const JexString& acids, const JexString& nodes, const JexString& user,
                   const JexString& application, const char* option);
    ~JexAccessCheck();
    JexAccessCheck(const JexAccessCheck&) = delete;
    JexAccessCheck& operator=(const JexAccessCheck&) = delete;

    // 1 when the caller is allowed, else 0.
    int Permitted();
    // Field 8 of the rule that decided, or the obligation's product list.
    JexString UserData();
    // The access id, as the session gave it, for which the deciding rule matched.
    JexString MatchingDomain();

    // The result of the last pair checked (kNoMatch when none was).
    int Result() const { return result_; }

private:
    void Run(const JexString& acids, const JexString& nodes, const JexString& user,
             const JexString& application, const char* option);
    int check_by_the_list(const JexString& acid, const JexString& node, const JexString& user,
                          const JexString& application, const JexString& option, int skip);
    int check_file(const JexString& acid, const JexString& node, const JexString& user,
                   const JexString& application, const JexString& option);
    int check_chs(const JexString& acid, const JexString& application);

    int result_ = kNoMatch;
    JexString userData_;
    JexString matchingDomain_;
    // Set once a check that does not exist, named in the sequence, has been
    // reported.
    bool unknownReported_ = false;
};
