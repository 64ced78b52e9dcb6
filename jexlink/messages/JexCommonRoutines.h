// The user-message routines: message texts by mnemonic or from an error, printed or fatal.
#pragma once

#include <cstdint>

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"

// Every routine turns a mnemonic ("Facility::NAME") with its arguments, or
// an error with its causes, into text through the one process-wide message
// catalog (JexCatalog), under one process-wide lock, so that concurrent
// threads always get whole texts. A mnemonic that no catalog holds gives
// "Message not found: " and the mnemonic. The _nm forms leave the mnemonic
// out. Printing and flushing happen after the lock is released.

// The text of the mnemonic, after the mnemonic and ", ".
JexString git(const char* mnemonic, const JexExcArgs& args);
// The text of the mnemonic alone.
JexString git_nm(const char* mnemonic, const JexExcArgs& args);
// One line per error of the chain, "--- " before the first and "  - "
// before each cause, every line ending in "\n".
JexString git(JexException& error);
// The lines of the chain without code names and prefixes, the last
// without its "\n".
JexString git_nm(JexException& error);

// git / git_nm and "\n" on standard output, flushed.
void say(const char* mnemonic, const JexExcArgs& args);
void say_nm(const char* mnemonic, const JexExcArgs& args);
// The error's text (one more trailing "\n" removed) and "\n" on standard
// error, flushed.
void say(JexException& error);
void say_nm(JexException& error);
// As say, with "\r" in place of "\n" so that the next output overwrites the
// line. The error form of say_online_nm prints on standard output.
void say_online(const char* mnemonic, const JexExcArgs& args);
void say_online_nm(const char* mnemonic, const JexExcArgs& args);
void say_online(JexException& error);
void say_online_nm(JexException& error);

// say / say_nm, then the process ends with exit status 1.
[[noreturn]] void die(const char* mnemonic, const JexExcArgs& args);
[[noreturn]] void die_nm(const char* mnemonic, const JexExcArgs& args);
[[noreturn]] void die(JexException& error);
[[noreturn]] void die_nm(JexException& error);

// git_nm of the mnemonic with the values as arguments 1 and 2, copied into
// one result buffer shared by all threads and returned; the text stays
// valid until the next call of any of these routines. The copy is cut to
// the buffer and always NUL-terminated within it.
char* git_0_C_no_param(const char* mnemonic);
char* git_1_C_numeric_param(const char* mnemonic, int32_t value);
char* git_2_C_1_char_param(const char* mnemonic, const char* text);
char* git_2_C_2_char_param(const char* mnemonic, const char* text1, const char* text2);
char* git_4_C_2_numeric_param(const char* mnemonic, int32_t value1, int32_t value2);
char* git_5_C_1_char_1_num_param(const char* mnemonic, const char* text, int32_t value);
char* git_6_C_1_num_1_char_param(const char* mnemonic, int32_t value, const char* text);
// Gives the shared result buffer `size` bytes. Until it is called the
// buffer has kGitBufferDefaultSize bytes; a size below 1, or one that cannot
// be allocated, keeps the buffer as it is. The first parameter is ignored.
constexpr int kGitBufferDefaultSize = 1024;
void git_C_init(const char* ignored, int size);

// The whole text file. A file that cannot be opened (or is longer than
// kReadFileLimit bytes) is reported as JexMsg::OPENERR on standard error and
// ends the process with exit status 1.
constexpr int32_t kReadFileLimit = 256 * 1024 * 1024;
JexString ReadFile(const char* path);
