// The command-line routines: the process's command line against a syntax table, and its items.
#pragma once

#include "jexlink/core/JexString.h"

class JexPCLI;

// Loads the syntax table named (type .cli when it has none) into a new
// process-wide interpreter, replacing the one of an earlier call, and parses
// the arguments with the command name standing in for element 0. A table
// that cannot be loaded, or a line that does not parse, is reported on
// standard error (the usage first) and ends the process with status 1.
void parsecli(const char* table_name, int argc, const char* const* argv, const char* command);

// The item's value when the command line gave it; otherwise the setting of
// the configuration key, or the default when the setting is absent. Before
// parsecli the setting or the default answers.
JexString getcli(const char* item, const char* key, const char* fallback);
// The same as a number: a given value is read with C base detection ("0x"
// hexadecimal, a leading "0" octal), held within 32 bits.
int getcli(const char* item, const char* key, int fallback);

// The process-wide interpreter of the last parsecli, or null.
JexPCLI* JexCommandLineInterpreter();
