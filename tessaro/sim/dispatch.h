// Carrying a request out on the machine: the operation's method and the
// reply that encodes its result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"
#include "request.h"

namespace tessaro::sim {

// Carries out a request that was decoded and admitted, and returns its reply
// with the result code it holds.
Outcome execute(Machine& m, Session& s, PlcSink* sink, const Request& r);

// Decodes and checks a Hello: E_OK for the right magic and version,
// E_INVALID otherwise (`why` then says what was wrong).
int check_hello(const std::vector<Arg>& args, std::string& why);

}  // namespace tessaro::sim
