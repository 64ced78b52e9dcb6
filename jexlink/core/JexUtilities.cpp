// Library utilities: environment variables, user and process names, tag expansion, version banner.
#include "jexlink/core/JexUtilities.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "jexlink/core/JexThread.h"
#include "platform/winbase.h"

namespace {

// Access to a process that only lets its handle be duplicated: the least
// any open asks for.
constexpr DWORD kDuplicateHandleAccess = 0x0040;

constexpr const char* kNotice =
    "Copyright (c) Ferrandia. All rights reserved.\n"
    "This software is furnished under a licence and may be used and copied\n"
    "only in accordance with the terms of that licence.\n"
    "\n";

}  // namespace

const JexPlatform& JexLibraryPlatform() {
    static const JexPlatform platform;
    return platform;
}

JexString JexVersionBanner(const char* text) {
    std::string banner = "JEXlink ";
    banner += kJexVersion;
    banner += " for ";
    banner += JexLibraryPlatform().Description().Text();
    banner += " ";
    banner += text ? text : "";
    banner += "\n";
    banner += kNotice;
    return JexString(banner.c_str(), 1);
}

JexString JexGetEnv(const char* name, const char* fallback) {
    const char* value = name ? std::getenv(name) : nullptr;
    return JexString(value ? value : fallback, 1);
}

int JexGetEnvFlag(const char* name, int fallback) {
    const char* value = name ? std::getenv(name) : nullptr;
    if (!value) return fallback;
    if (std::isdigit(static_cast<unsigned char>(*value))) {
        const long long v = std::strtoll(value, nullptr, 10);
        return v > INT_MAX ? INT_MAX : static_cast<int>(v);
    }
    return (*value == 'y' || *value == 't' || *value == 'Y' || *value == 'T') ? 1 : 0;
}

JexString JexGetHomePath() { return JexGetEnv("HOMEPATH", ""); }

int JexHaveDisplay() {
    const char* display = std::getenv("DISPLAY");
    return display && *display ? 1 : 0;
}

JexString JexGetUserName() {
    char name[512];
    DWORD size = sizeof name;
    if (!GetUserNameA(name, &size)) return JexString("unknown_user", 1);
    return JexString(name, 1);
}

JexString JexProcessIdText(int pid) {
    if (pid == 0) pid = static_cast<int>(GetCurrentProcessId());
    char text[16];
    std::snprintf(text, sizeof text, "%5d", pid);
    return JexString(text, 1);
}

int JexProcessExists(int pid) {
    if (pid <= 0) return 0;
    HANDLE process = OpenProcess(kDuplicateHandleAccess, FALSE, static_cast<DWORD>(pid));
    if (process) {
        CloseHandle(process);
        return 1;
    }
    // A process this user may not open is there all the same.
    return GetLastError() == ERROR_ACCESS_DENIED ? 1 : 0;
}

int JexDeleteFile(const char* path) { return path && unlink(path) == 0 ? 1 : 0; }

JexString JexExpandTags(const char* text, JexTagList& tags) {
    const std::string input = text ? text : "";
    const size_t maxReplacements =
        kMaxTagReplacements + static_cast<size_t>(std::count(input.begin(), input.end(), '{'));
    const size_t maxInserted = kMaxTagExpansion;

    // The text is read from a stack of chunks: a replacement is pushed on
    // top so that it is read (and expanded) before the rest. What has been
    // read lies in `out`, with the positions of its open braces; the last
    // of them is the one the next "}" closes. Reading this way gives the
    // same result as searching the whole text again after each replacement,
    // in time linear in what is read.
    std::string out;
    std::vector<size_t> opens;
    std::vector<std::pair<std::string, size_t>> pending;
    pending.emplace_back(input, 0);
    size_t replacements = 0, inserted = 0;
    bool bounded = false;
    while (!pending.empty() && !bounded) {
        auto& top = pending.back();
        if (top.second == top.first.size()) {
            pending.pop_back();
            continue;
        }
        const char c = top.first[top.second++];
        if (c == '{') opens.push_back(out.size());
        if (c != '}' || opens.empty()) {
            out += c;
            continue;
        }
        if (replacements == maxReplacements) {
            out += c;
            bounded = true;
            break;
        }
        const size_t open = opens.back();
        const std::string tag = out.substr(open + 1);
        const JexString& value = tags[tag.c_str()];
        std::string replacement = *value.Text() ? value.Text() : tag;
        if (inserted + replacement.size() > maxInserted) {
            out += c;
            bounded = true;
            break;
        }
        opens.pop_back();
        out.resize(open);
        ++replacements;
        inserted += replacement.size();
        if (!replacement.empty()) pending.emplace_back(std::move(replacement), 0);
    }
    // At a bound, everything not yet read follows as it stands.
    for (auto it = pending.rbegin(); bounded && it != pending.rend(); ++it)
        out.append(it->first, it->second);
    return JexString(out.c_str(), 1);
}
