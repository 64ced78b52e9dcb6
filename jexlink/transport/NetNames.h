// Host and service names of the TCP endpoint: resolution both ways, and the library's services
// file.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace jexnet {

// A number with C base detection (decimal, 0x hexadecimal, leading 0 octal);
// no digits give 0; values beyond 32 bits are clamped.
int32_t ParseNumber(const char* text);

// The IPv4 address of a host: the dotted form first, then the resolver
// (getaddrinfo, safe to call from several threads). False when not found.
bool ResolveHost(const char* host, in_addr* address);

// The host's name for an address through the resolver; "" when it has none.
std::string HostNameOf(in_addr address);

// This machine's name; "" when the system cannot tell.
std::string LocalHostName();

// The TCP port of a service name: the services file at `servicesFile`
// first (when not empty), then the system's services database. 0 when the
// name is unknown.
int ServicePort(const char* name, const std::string& servicesFile);
// The name of a TCP port, looked up the same way; "" when it has none.
std::string ServiceName(int port, const std::string& servicesFile);

// Lookups in the text of a services file (lines of name, port/protocol and
// aliases; '#' starts a comment). Only "tcp" entries count. 0 or "" when
// the text has no entry.
int FindServicePort(const std::string& text, const char* name);
std::string FindServiceName(const std::string& text, int port);

// The library's own services file, consulted before the system's; "" when
// the library has none.
std::string LibraryServicesFile();

}  // namespace jexnet
