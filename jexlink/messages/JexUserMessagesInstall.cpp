// Installs the message catalog's routines as the core's user messages.
#include "jexlink/core/JexUserMessages.h"
#include "jexlink/messages/JexCommonRoutines.h"

namespace {

void SayMnemonic(const char* mnemonic, const JexExcArgs& args) { say(mnemonic, args); }
void SayError(JexException& error) { say(error); }
void SayErrorNoName(JexException& error) { say_nm(error); }

constexpr JexUserMessages kCatalogRoutines = {&SayMnemonic, &SayError, &SayErrorNoName};

// Installed while the program starts.
[[maybe_unused]] const JexUserMessages* const kReplaced =
    JexUserMessages::Install(&kCatalogRoutines);

}  // namespace

// The library's link option names this symbol, so that every program that
// links the messages library keeps this file and the installation above,
// even when nothing else calls into it.
extern "C" void JexMessagesInstallUserMessages() {}
