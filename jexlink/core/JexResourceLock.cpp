// Named resource locks: the name of a shared resource a caller works on.
#include "jexlink/core/JexResourceLock.h"

#include <cstring>

#define JEX_TEXT_CLASS JexResourceLock
const JexTextRow JexResourceLock::kTextTable[] = JEX_TEXT_TABLE(JEXRESOURCELOCK_TEXTS);
#undef JEX_TEXT_CLASS

JexResourceLock::JexResourceLock(const char* name)
    : JexException(kTextTable, "JexResourceLock"), name_("", 1) {
    SetSuppress(1);
    Check(name);
}

JexResourceLock::JexResourceLock(const JexString& name)
    : JexException(kTextTable, "JexResourceLock"), name_("", 1) {
    SetSuppress(1);
    Check(name.Text());
}

JexResourceLock::~JexResourceLock() = default;

void JexResourceLock::Check(const char* name) {
    const size_t length = name ? std::strlen(name) : 0;
    if (length >= 1 && length <= kMaxName) {
        name_ = name;
        return;
    }
    ExcSet(BADRESNAM, JexExcArgs("resnam check", name ? name : ""));
    Raise();
}
