// JexAuthCheck: the local authorization check of a request by allow/disallow rules.
#pragma once

#include "jexlink/core/JexString.h"

// Decides in its constructor whether a request described by five names
// (domain, node, user, application, option) is permitted on this machine,
// by the first rule of the local authorization file that matches:
//
//   allow|disallow domain node user application option [from [until [data]]]
//
// Names and rule fields agree when either, taken as a "*" pattern, matches
// the other, ignoring letter case; the time now must lie between the from
// and until dates (empty or "*" is open). Empty names stand for "*", the
// computer's name (node) and the current user (user). A file that cannot
// be opened permits everything; a file without a matching rule permits
// nothing. The object carries no error state.
class JexAuthCheck {
public:
    // The file's place under the installation directory.
    static constexpr const char* kRelativePath = "data\\jex_local_auth.dat";

    JexAuthCheck(const char* domain, const char* node, const char* user, const char* application,
                 const char* option);
    ~JexAuthCheck();
    JexAuthCheck(const JexAuthCheck&) = delete;
    JexAuthCheck& operator=(const JexAuthCheck&) = delete;

    // 1 permitted, 0 not.
    int Permitted() const;
    // Field 8 of the matching rule, as written; empty without a match.
    JexString UserData() const;
    // 1 once a rule matched.
    int Matched() const { return matched_; }

    // The full path of the local authorization file.
    static JexString FilePath();

private:
    int matched_ = 0;
    int permitted_ = 1;
    JexString userData_;
};
