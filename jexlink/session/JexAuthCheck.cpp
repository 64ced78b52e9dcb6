// JexAuthCheck: the local authorization check of a request by allow/disallow rules.
#include "jexlink/session/JexAuthCheck.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "jexlink/core/JexDataFile.h"
#include "jexlink/core/JexDataFilePath.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexTime.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"
#include "jexlink/core/JexWildcardMatch.h"

namespace {

constexpr const char* kTraceFile = "JexAuthCheck";

JexString NameOr(const char* name, const JexString& fallback) {
    JexString out(name && *name ? name : fallback.Text());
    out.ToLower();
    return out;
}

}  // namespace

JexString JexAuthCheck::FilePath() { return JexDataFilePath(nullptr, kRelativePath); }

JexAuthCheck::JexAuthCheck(const char* domain, const char* node, const char* user,
                           const char* application, const char* option) {
    JexTrace trace(kTraceFile, "JexAuthCheck()", __LINE__);
    JexFieldedString platform = JexPlatform();
    const JexString names[5] = {
        NameOr(domain, "*"),
        NameOr(node, platform.Field(1)),
        NameOr(user, JexGetUserName()),
        NameOr(application, "*"),
        NameOr(option, "*"),
    };

    const JexString path = FilePath();
    JexDataFile file(path, 1);
    if (file.Code() != JexDataFile::OK) {
        // Without the file nothing is restricted.
        if (trace.Prints()) {
            JexString note("no local authorization file, all permitted: ");
            note += path;
            trace.Ckpt(__LINE__, note.Text());
        }
        return;
    }

    // A file that other users may change is used, but not silently.
    struct stat info {};
    if (::stat(path.Text(), &info) == 0 && (info.st_mode & (S_IWGRP | S_IWOTH))) {
        std::fprintf(stderr, "Warning: local authorization file %s can be written by other users\n",
                     path.Text());
        std::fflush(stderr);
    }

    permitted_ = 0;
    for (;;) {
        JexFieldedString& fields = file.NextLine();
        if (file.Code() != JexDataFile::OK || fields.Count() == 0) break;
        const JexString keyword = fields[0].LowerCopy();
        int answer;
        if (std::strcmp(keyword.Text(), "allow") == 0)
            answer = 1;
        else if (std::strcmp(keyword.Text(), "disallow") == 0)
            answer = 0;
        else
            continue;
        bool match = true;
        for (int i = 0; match && i < 5; ++i)
            match = JexWildcardMatchEither(fields[i + 1].LowerCopy(), names[i]) != 0;
        if (!match) continue;
        if (!JexDateInRange(fields[6].Text(), fields[7].Text())) continue;
        matched_ = 1;
        permitted_ = answer;
        userData_ = fields[8];
        break;
    }
    if (trace.Prints()) trace.Ckpt(__LINE__, permitted_ ? "permitted" : "not permitted");
}

JexAuthCheck::~JexAuthCheck() { JexTrace trace(kTraceFile, "~JexAuthCheck()", __LINE__); }

int JexAuthCheck::Permitted() const {
    JexTrace trace(kTraceFile, "Permitted()", __LINE__);
    return permitted_;
}

JexString JexAuthCheck::UserData() const {
    JexTrace trace(kTraceFile, "UserData()", __LINE__);
    return userData_;
}
