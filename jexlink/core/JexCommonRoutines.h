// Environment routines: local domains and nodes, default addresses, locations and commands.
#pragma once

#include <cstddef>
#include <string>

#include "jexlink/core/JexString.h"

// Each routine reads the settings through a configuration object of its
// own and keeps no state between calls, so any thread may call them.

// The values of "Local.Domain" in index order up to the first empty one,
// joined with ","; empty when there are none.
JexString local_domain_list();
JexString& local_domain_list(JexString& out);
// The computer's name (up to its first ".") as item 0, with the values of
// "Local.Node" replacing items from index 0 upward; joined with ",".
JexString local_node_list();
JexString& local_node_list(JexString& out);
// 1 when the domain is one of local_domain_list(), ignoring letter case.
int JexCheckMyDomain(const char* domain);

// Fills eight buffers of `size` bytes each (a null buffer is skipped) with
// the first value of each setting: the local address (user "@" Local.Domain
// "/" host), Local.Node, the remote address (Remote.Domain "/" Remote.Node),
// Remote.Node, the host (computer name up to its first "."), the user name,
// Local.Domain and Remote.Domain. A value that does not fit leaves its
// buffer empty and makes the result 0; otherwise 1.
int JexGetDefaultData(char* localAddress, char* localNode, char* remoteAddress, char* remoteNode,
                      char* host, char* user, char* localDomain, char* remoteDomain, size_t size);
// Appends "\n" to the text in a buffer of `size` bytes; 0 (text unchanged)
// when it does not fit.
int JexFormatErrorMessage(char* buffer, size_t size);

// JEX_EXECUTABLE_LOCATION, or "/usr/bin/jex" when it is not set. The text
// belongs to the environment or the library: the caller must not free it.
const char* JexGetExecutableLocation();
// Prints JexVersionBanner(text) to standard output.
void Banner(const char* text);
// Non-zero when the library's platform description is there.
int JexLegalPlatform();
// Nothing to do on this platform: 1.
int JexActivateImage();

// Runs the command line through the shell; what system() returns.
int JexDoCommand(const char* command);

// Longest composed line JexDoCommandAsync runs.
constexpr size_t kMaxAsyncCommandLine = 1023;
// The line JexDoCommandAsync runs: the command, then " | cat > " and the
// output file quoted for the shell when a file is named, then " &". False
// (and `line` empty) when it would be longer than kMaxAsyncCommandLine.
bool JexComposeAsyncCommand(const char* command, const char* outputFile, std::string& line);
// Runs the composed line in the background. 0 when system() gives 0, errno
// when it gives -1, else system()'s result. A line that does not fit is
// refused, never cut and run: E2BIG, with errno set to it.
int JexDoCommandAsync(const char* command, const char* outputFile);
int JexDoCommandAsyncChar(const char* command, const char* outputFile);
