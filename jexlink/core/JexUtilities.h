// Library utilities: environment variables, user and process names, tag expansion, version banner.
#pragma once

#include "jexlink/core/JexPlatform.h"
#include "jexlink/core/JexString.h"
#include "jexlink/core/JexTagList.h"

// The library's version, as the banner and peers show it.
inline constexpr const char* kJexVersion = "T2.2-EFT8";

// The library's one description of this machine, built on first use and
// kept for the life of the process.
const JexPlatform& JexLibraryPlatform();

// "JEXlink T2.2-EFT8 for <platform description> <text>\n", then the
// product's notice of three lines and an empty line.
JexString JexVersionBanner(const char* text);

// The variable's value (case flag set), or `fallback` when it is not set.
JexString JexGetEnv(const char* name, const char* fallback);
// Unset: `fallback`. A value starting with a digit: its decimal number
// (clamped to int); starting with y, t, Y or T: 1; anything else, the empty
// value included: 0.
int JexGetEnvFlag(const char* name, int fallback);
// JexGetEnv("HOMEPATH", "").
JexString JexGetHomePath();
// 1 when DISPLAY is set and not empty, else 0.
int JexHaveDisplay();

// The name of the user the process runs as, or "unknown_user". Each call
// has its own result, so threads may call it at once.
JexString JexGetUserName();
// The process id (0: this process) formatted as "%5d".
JexString JexProcessIdText(int pid);
// 1 when a process with that id exists, also one that this user may not
// touch; 0 for a pid of 0 or less and for one that does not exist.
int JexProcessExists(int pid);
// Deletes the file: 1 on success, 0 on failure.
int JexDeleteFile(const char* path);

// Most replacements JexExpandTags makes beyond one per "{" of its text, and
// most bytes it inserts beyond the text's length; they end a tag whose
// value refers back to itself. References left when a bound is reached
// stay in the result as they stand.
constexpr int kMaxTagReplacements = 1000;
constexpr size_t kMaxTagExpansion = size_t{1} << 20;

// The text with every "{tag}" replaced by the tag's value, or by the tag's
// name when its value is empty (an unknown tag is added to the list with an
// empty value). Replacements are expanded in turn; nested braces expand
// from the innermost pair outward. A "}" before any "{" and a "{" that no
// "}" follows stay as they are.
JexString JexExpandTags(const char* text, JexTagList& tags);
