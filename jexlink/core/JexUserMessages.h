// JexUserMessages: the seam through which the core prints user messages.
#pragma once

#include "jexlink/core/JexException.h"

// The routines the core prints a user message with (the alarm clock's
// modem_say), taken from the library's seams (JexSeams::UserMessages): the
// set-up of the library installs the message catalog's, which the core
// never includes. Without them the plain default prints the mnemonic on
// standard output, or on standard error the error's chain as Describe
// gives it (sayError) or its own text alone (sayErrorNoName), each
// followed by "\n".
struct JexUserMessages {
    void (*say)(const char* mnemonic, const JexExcArgs& args);
    void (*sayError)(JexException& error);
    void (*sayErrorNoName)(JexException& error);

    // The plain default.
    static const JexUserMessages& Plain();
};
