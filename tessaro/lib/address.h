// Controller addresses as DetectRemoteController takes them, and their
// resolution to socket addresses within a time bound.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::lib {

struct Endpoint {
    enum class Kind { Ipv4, Ipv6, Name };
    Kind kind = Kind::Ipv4;
    std::string host;  // without brackets
    uint16_t port = 0;
};

// Parses one address:
//   ""                        -> 127.0.0.1, default port
//   "host" / "10.0.0.5"       -> that host, default port
//   "host:1611"               -> that host, port 1611
//   "[::1]" / "[::1]:1611"    -> IPv6 literal, default or given port
//   "::1" (several colons)    -> IPv6 literal, default port
// A port written in the address overrides `default_port`; the port in use must
// be 1..65535. Host names may hold letters, digits, '-', '_' and '.'; a host
// made of digits and dots only is an IPv4 literal. On a malformed address it
// returns false and says why in `why`.
bool parse_address(const std::string& text, int default_port, Endpoint& out, std::string& why);

struct SocketAddress {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

// Resolves the endpoint to the addresses to try, in order. Literals are
// converted locally and never reach DNS; names are looked up on a helper
// thread so that a slow resolver cannot hold the caller past `deadline`.
bool resolve(const Endpoint& ep, std::chrono::steady_clock::time_point deadline,
             std::vector<SocketAddress>& out, std::string& why);

}  // namespace tessaro::lib
