#pragma once
// Port names as the user writes them and what they open: a short local name, a device
// path, or an RFC 2217 network address. Used by the window, the command line and the
// port itself.
#include <string>
#include <vector>

// What a port name opens: rfc2217:// addresses and names holding a "/" as they stand;
// else "/dev/" + name (POSIX) or "\\.\" + name (Windows; a name holding "\" as it stands).
std::string ComDevicePath(const std::string& Port);
bool IsRfc2217Name(const std::string& Port);
// The host and port of rfc2217://host:port (or rfc2217://[v6addr]:port; a trailing "/"
// is tolerated); false for anything else.
bool ParseRfc2217Address(const std::string& Url, std::string& Host, std::string& Port);
// The addresses a network port name reaches, each as "address port" in numeric form
// ("127.0.0.1 4000", "::1 4000"), looked up as the connection looks them up. False, with
// Error set, when the name is malformed or its host does not resolve. May block for the
// name service's time.
bool ResolveRfc2217(const std::string& Url, std::vector<std::string>& Endpoints,
                    std::string& Error);
