// Opening a controller connection: TCP connect and the versioned Hello
// exchange, both inside one deadline.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "address.h"

namespace tessaro::lib {

// Sequence number of the Hello request; the connection's own requests follow.
constexpr uint32_t kHelloSeq = 1;

// Tries `addrs` in order until one accepts a non-blocking connect and answers
// Hello with result 0 and our protocol version, all before `deadline`. Returns
// the connected socket (non-blocking, close-on-exec, no Nagle delay) and the
// server's name, or -1 with the reason in `why`.
int dial(const std::vector<SocketAddress>& addrs, std::chrono::steady_clock::time_point deadline,
         std::string& server, std::string& why);

}  // namespace tessaro::lib
