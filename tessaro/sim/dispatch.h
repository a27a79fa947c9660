// Carrying a request out on the machine: the operation's method and the
// reply's values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"
#include "request.h"

namespace tessaro::sim {

// Carries out a request that was decoded and admitted, and returns its
// reply as values (a refused handshake says why in `why`).
Outcome execute(Machine& m, Session& s, PlcSink* sink, const Request& r);

}  // namespace tessaro::sim
