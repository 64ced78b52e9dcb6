// The user-message routines and the library's message object, before a catalog is loaded.
#include "jexlink/core/JexMsg.h"

#include <cstdio>
#include <cstring>

#include "jexlink/core/JexThread.h"

namespace {

JexMutex& CatalogMutex() {
    static JexMutex* mutex = new JexMutex(2);  // lives until the process ends
    return *mutex;
}

// The message of a mnemonic as the catalog gives it. No catalog is loaded:
// every mnemonic is unknown.
JexString Lookup(const char* mnemonic, const JexExcArgs& /*parameters*/) {
    JexMutexLock hold(CatalogMutex());
    JexString text("Message not found: ");
    text += mnemonic ? mnemonic : "";
    return text;
}

void WriteLine(FILE* out, const JexString& text) {
    std::string line(text.Text());
    if (!line.empty() && line.back() == '\n') line.pop_back();
    std::fprintf(out, "%s\n", line.c_str());
    std::fflush(out);
}

}  // namespace

JexString git_nm(const char* mnemonic, const JexExcArgs& parameters) {
    return Lookup(mnemonic, parameters);
}

void say(const char* mnemonic, JexExcArgs parameters) {
    const JexString text = Lookup(mnemonic, parameters);
    std::fprintf(stdout, "%s\n", text.Text());
    std::fflush(stdout);
}

void say(JexException& error) { WriteLine(stderr, error.Describe(1)); }

void say_nm(JexException& error) { WriteLine(stderr, error.Describe(0)); }

#define JEXMSG_TEXTS(JEX_TEXT)
#define JEX_TEXT_CLASS JexMsg
const JexTextRow JexMsg::kTextTable[] = JEX_TEXT_TABLE(JEXMSG_TEXTS);
#undef JEX_TEXT_CLASS

JexMsg::JexMsg() : JexException(kTextTable, "JexMsg") {}
