// JexUserMessages: the seam through which the core prints user messages.
#pragma once

#include "jexlink/core/JexException.h"

// The routines the core prints a user message with (the alarm clock's
// modem_say). The messages library installs its own, which take the texts
// from the message catalog, whenever it is linked into a program; the core
// never includes it. Without them a plain default prints the mnemonic on
// standard output, or on standard error the error's chain as Describe
// gives it (sayError) or its own text alone (sayErrorNoName), each
// followed by "\n".
struct JexUserMessages {
    void (*say)(const char* mnemonic, const JexExcArgs& args);
    void (*sayError)(JexException& error);
    void (*sayErrorNoName)(JexException& error);

    // Installs the routines (null restores the plain default); returns the
    // ones it replaces (null for the default).
    static const JexUserMessages* Install(const JexUserMessages* routines);
    // The installed routines, or the plain default.
    static const JexUserMessages& Current();
};
