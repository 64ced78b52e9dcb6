// The user-message routines and the library's message object, before a catalog is loaded.
#pragma once

#include "jexlink/core/JexException.h"
#include "jexlink/core/JexString.h"

// The message text of a mnemonic ("FACILITY::CODE") with the parameters
// substituted, without the mnemonic. An unknown mnemonic gives "Message not
// found: " and the mnemonic. Holds the catalog's mutex for the look-up and
// never fails otherwise.
JexString git_nm(const char* mnemonic, const JexExcArgs& parameters);

// Writes the message of a mnemonic and a newline to standard output, flushed.
void say(const char* mnemonic, JexExcArgs parameters);
// Writes the error's full text (one trailing newline removed) and a newline
// to standard error, flushed.
void say(JexException& error);
// As say for an error, without the code's name.
void say_nm(JexException& error);

// The error object that carries the library's message table.
class JexMsg : public JexException {
public:
    static const JexTextRow kTextTable[];
    JexMsg();
};
