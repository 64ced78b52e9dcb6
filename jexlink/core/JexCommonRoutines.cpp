// Environment routines: local domains and nodes, default addresses, locations and commands.
#include "jexlink/core/JexCommonRoutines.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "jexlink/core/JexConfig.h"
#include "jexlink/core/JexFieldedString.h"
#include "jexlink/core/JexParamList.h"
#include "jexlink/core/JexTrace.h"
#include "jexlink/core/JexUtilities.h"

namespace {

constexpr const char* kTraceFile = "JexCommonRoutines";

// The computer's name up to its first ".".
std::string HostName() {
    JexFieldedString platform(JexLibraryPlatform());
    std::string name = platform.Field(1).Text();
    return name.substr(0, name.find('.'));
}

// Copies `value` into a buffer of `size` bytes; false (buffer emptied) when
// it does not fit.
bool Fill(char* buffer, size_t size, const std::string& value) {
    if (!buffer) return true;
    if (value.size() >= size) {
        if (size > 0) buffer[0] = '\0';
        return false;
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return true;
}

// The text quoted for a POSIX shell: in single quotes, each quote as '\''.
std::string ShellQuoted(const char* text) {
    std::string out = "'";
    for (const char* p = text; *p; ++p) {
        if (*p == '\'')
            out += "'\\''";
        else
            out += *p;
    }
    return out + "'";
}

}  // namespace

JexString local_domain_list() {
    JexString out("", 1);
    return local_domain_list(out);
}

JexString& local_domain_list(JexString& out) {
    JexTrace trace(kTraceFile, "local_domain_list()", __LINE__);
    out = BuildParamList("Local.Domain").Text();
    return out;
}

JexString local_node_list() {
    JexString out("", 1);
    return local_node_list(out);
}

JexString& local_node_list(JexString& out) {
    JexTrace trace(kTraceFile, "local_node_list()", __LINE__);
    JexConfig config;
    JexFieldedString list(',');
    list[0] = HostName().c_str();
    for (int i = 0;; ++i) {
        const JexString& v = config.Value("Local.Node", "", i);
        if (!*v.Text()) break;
        list[i] = v;
    }
    out = list.Text();
    return out;
}

int JexCheckMyDomain(const char* domain) {
    JexTrace trace(kTraceFile, "JexCheckMyDomain()", __LINE__);
    JexString wanted(domain ? domain : "", 1);
    wanted.ToLower();
    JexString domains = local_domain_list();
    domains.ToLower();
    JexFieldedString items(domains, ',');
    for (int i = 0; i < items.Count(); ++i)
        if (std::strcmp(items[i].Text(), wanted.Text()) == 0) return 1;
    return 0;
}

int JexGetDefaultData(char* localAddress, char* localNode, char* remoteAddress, char* remoteNode,
                      char* host, char* user, char* localDomain, char* remoteDomain, size_t size) {
    JexTrace trace(kTraceFile, "JexGetDefaultData()", __LINE__);
    JexConfig config;
    const std::string hostName = HostName();
    const std::string userName = JexGetUserName().Text();
    const std::string local = config.Value("Local.Domain", "").Text();
    const std::string node = config.Value("Local.Node", "").Text();
    const std::string remote = config.Value("Remote.Domain", "").Text();
    const std::string remoteNodeName = config.Value("Remote.Node", "").Text();
    bool fits = Fill(localAddress, size, userName + "@" + local + "/" + hostName);
    fits = Fill(localNode, size, node) && fits;
    fits = Fill(remoteAddress, size, remote + "/" + remoteNodeName) && fits;
    fits = Fill(remoteNode, size, remoteNodeName) && fits;
    fits = Fill(host, size, hostName) && fits;
    fits = Fill(user, size, userName) && fits;
    fits = Fill(localDomain, size, local) && fits;
    fits = Fill(remoteDomain, size, remote) && fits;
    return fits ? 1 : 0;
}

int JexFormatErrorMessage(char* buffer, size_t size) {
    JexTrace trace(kTraceFile, "JexFormatErrorMessage()", __LINE__);
    if (!buffer) return 0;
    const size_t length = strnlen(buffer, size);
    if (length + 2 > size) return 0;
    std::memcpy(buffer + length, "\n", 2);
    return 1;
}

const char* JexGetExecutableLocation() {
    JexTrace trace(kTraceFile, "JexGetExecutableLocation()", __LINE__);
    const char* location = std::getenv("JEX_EXECUTABLE_LOCATION");
    return location ? location : "/usr/bin/jex";
}

void Banner(const char* text) {
    JexTrace trace(kTraceFile, "Banner()", __LINE__);
    std::printf("%s", JexVersionBanner(text).Text());
    std::fflush(stdout);
}

int JexLegalPlatform() {
    JexTrace trace(kTraceFile, "JexLegalPlatform()", __LINE__);
    return *JexLibraryPlatform().Description().Text() ? 1 : 0;
}

int JexActivateImage() {
    JexTrace trace(kTraceFile, "JexActivateImage()", __LINE__);
    return 1;
}

int JexDoCommand(const char* command) {
    JexTrace trace(kTraceFile, "JexDoCommand()", __LINE__);
    return std::system(command);
}

bool JexComposeAsyncCommand(const char* command, const char* outputFile, std::string& line) {
    line = command ? command : "";
    if (outputFile && *outputFile) line += " | cat > " + ShellQuoted(outputFile);
    line += " &";
    if (line.size() <= kMaxAsyncCommandLine) return true;
    line.clear();
    return false;
}

int JexDoCommandAsync(const char* command, const char* outputFile) {
    JexTrace trace(kTraceFile, "JexDoCommandAsync()", __LINE__);
    std::string line;
    if (!JexComposeAsyncCommand(command, outputFile, line)) {
        errno = E2BIG;
        return E2BIG;
    }
    const int result = std::system(line.c_str());
    if (result == -1) return errno;
    return result;
}

int JexDoCommandAsyncChar(const char* command, const char* outputFile) {
    JexTrace trace(kTraceFile, "JexDoCommandAsyncChar()", __LINE__);
    return JexDoCommandAsync(command, outputFile);
}
