// Host and service names of the TCP endpoint: resolution both ways, and the library's services
// file.
#include "jexlink/transport/NetNames.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <vector>

#include "jexlink/core/JexDataFilePath.h"

namespace jexnet {

int32_t ParseNumber(const char* text) {
    if (!text) return 0;
    errno = 0;
    const long long v = std::strtoll(text, nullptr, 0);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

bool ResolveHost(const char* host, in_addr* address) {
    if (!host || !*host) return false;
    if (inet_aton(host, address) != 0) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &list) != 0 || !list) return false;
    bool found = false;
    for (const addrinfo* a = list; a && !found; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addrlen < sizeof(sockaddr_in)) continue;
        sockaddr_in in{};
        std::memcpy(&in, a->ai_addr, sizeof in);
        *address = in.sin_addr;
        found = true;
    }
    freeaddrinfo(list);
    return found;
}

namespace {

// What the resolver reads again when it changes, for a name of an address
// (host.conf it reads once per process).
const std::vector<std::string>& HostSources() {
    static const std::vector<std::string> sources = {"/etc/hosts", "/etc/nsswitch.conf",
                                                     "/etc/resolv.conf"};
    return sources;
}

SourceStampedCache<std::string>& HostNames() {
    static auto* cache = new SourceStampedCache<std::string>;
    return *cache;
}

std::string LookHostNameOf(in_addr address) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr = address;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&in), sizeof in, host, sizeof host, nullptr,
                    0, NI_NAMEREQD) != 0)
        return "";
    return host;
}

}  // namespace

std::string HostNameOf(in_addr address) {
    const std::string key(reinterpret_cast<const char*>(&address), sizeof address);
    return HostNames().Find(key, HostSources(),
                            [&]() -> std::string { return LookHostNameOf(address); });
}

std::string LocalHostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "";
    return name;
}

namespace {

constexpr std::streamsize kMaxServicesFile = 1 << 20;

std::string ReadServicesFile(const std::string& path) {
    // Only a full path: a relative one would name a file of whatever the
    // working directory is.
    if (path.empty() || path[0] != '/') return "";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::string text(static_cast<size_t>(kMaxServicesFile), '\0');
    in.read(text.data(), kMaxServicesFile);
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

// Calls visit(name, port) for the name and each alias of every tcp entry
// until it returns true.
template <class Visit>
bool ForEachTcpName(const std::string& text, Visit visit) {
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos) line.resize(hash);
        // Files written on Windows end lines with CR LF; a NUL ends no name.
        for (char& c : line)
            if (c == '\r' || c == '\0') c = ' ';
        std::istringstream words(line);
        std::string name;
        std::string portProto;
        if (!(words >> name >> portProto)) continue;
        const size_t slash = portProto.find('/');
        if (slash == std::string::npos || slash == 0) continue;
        if (strcasecmp(portProto.c_str() + slash + 1, "tcp") != 0) continue;
        const std::string digits = portProto.substr(0, slash);
        if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 5)
            continue;
        const int port = std::atoi(digits.c_str());
        if (port < 1 || port > 65535) continue;
        if (visit(name, port)) return true;
        std::string alias;
        while (words >> alias)
            if (visit(alias, port)) return true;
    }
    return false;
}

}  // namespace

int FindServicePort(const std::string& text, const char* name) {
    if (!name || !*name) return 0;
    int found = 0;
    ForEachTcpName(text, [&](const std::string& n, int port) {
        if (n != name) return false;
        found = port;
        return true;
    });
    return found;
}

std::string FindServiceName(const std::string& text, int port) {
    std::string found;
    ForEachTcpName(text, [&](const std::string& n, int p) {
        if (p != port) return false;
        found = n;
        return true;
    });
    return found;
}

int ServicePort(const char* name, const std::string& servicesFile) {
    if (!name || !*name) return 0;
    if (const int port = FindServicePort(ReadServicesFile(servicesFile), name)) return port;
    servent entry{};
    servent* result = nullptr;
    char buffer[4096];
    if (getservbyname_r(name, "tcp", &entry, buffer, sizeof buffer, &result) != 0 || !result)
        return 0;
    return ntohs(static_cast<uint16_t>(result->s_port));
}

namespace {

// The names of tcp ports: the library's services file first, then the
// system's services database; the first entry of a port wins.
using PortNames = std::unordered_map<int, std::string>;

PortNames ReadPortNames(const std::string& servicesFile) {
    PortNames names;
    ForEachTcpName(ReadServicesFile(servicesFile), [&](const std::string& name, int port) {
        names.try_emplace(port, name);  // an alias adds nothing: its port has its name
        return false;
    });
    // The database is walked through the resolver, in the order a look-up
    // by port would search it; its walk is the process's one.
    static std::mutex walking;
    std::lock_guard<std::mutex> hold(walking);
    std::vector<char> buffer(4096);
    setservent(0);
    for (;;) {
        servent entry{};
        servent* result = nullptr;
        const int rc = getservent_r(&entry, buffer.data(), buffer.size(), &result);
        if (rc == ERANGE && buffer.size() < 65536) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (rc != 0 || !result) break;
        if (!result->s_name || !result->s_proto || std::strcmp(result->s_proto, "tcp") != 0)
            continue;
        names.try_emplace(ntohs(static_cast<uint16_t>(result->s_port)), result->s_name);
    }
    endservent();
    return names;
}

SourceStampedCache<std::shared_ptr<const PortNames>>& PortNameTables() {
    static auto* cache = new SourceStampedCache<std::shared_ptr<const PortNames>>;
    return *cache;
}

}  // namespace

std::string ServiceName(int port, const std::string& servicesFile) {
    if (port < 1 || port > 65535) return "";
    // The table is made again when a file it was read from changes; only a
    // full path names a library file that is read (ReadServicesFile).
    std::vector<std::string> sources = {"/etc/services", "/var/lib/misc/services.db",
                                        "/etc/nsswitch.conf"};
    if (!servicesFile.empty() && servicesFile[0] == '/') sources.push_back(servicesFile);
    const std::shared_ptr<const PortNames> names =
        PortNameTables().Find(servicesFile, sources, [&]() -> std::shared_ptr<const PortNames> {
            return std::make_shared<const PortNames>(ReadPortNames(servicesFile));
        });
    auto at = names->find(port);
    return at == names->end() ? "" : at->second;
}

std::string LibraryServicesFile() {
    try {
        return JexServicesFilePath().Text();
    } catch (...) {
        return "";  // the registry cannot be read: only the system's file counts
    }
}

}  // namespace jexnet
