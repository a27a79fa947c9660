// Carrying a request out on the machine: the operation's method and the
// reply's values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "machine.h"
#include "request.h"

namespace tessaro::sim {

// Carries out a request that was decoded and admitted, and puts its reply
// in `o` (cleared), as values; a refused handshake says why in `o.why`.
void execute(Machine& m, Session& s, PlcSink* sink, const Request& r, Outcome& o);

}  // namespace tessaro::sim
