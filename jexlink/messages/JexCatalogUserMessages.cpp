// The message catalog's routines as the core's user messages.
#include "jexlink/messages/JexCatalogUserMessages.h"

#include "jexlink/messages/JexCommonRoutines.h"

namespace {

void SayMnemonic(const char* mnemonic, const JexExcArgs& args) { say(mnemonic, args); }
void SayError(JexException& error) { say(error); }
void SayErrorNoName(JexException& error) { say_nm(error); }

constexpr JexUserMessages kCatalogRoutines = {&SayMnemonic, &SayError, &SayErrorNoName};

}  // namespace

const JexUserMessages& JexCatalogUserMessages() { return kCatalogRoutines; }
