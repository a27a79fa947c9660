// One request in, one outcome out: decodes a request frame, applies the
// scenario's faults, carries the operation out on the machine and encodes
// the reply.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"

namespace tessaro::sim {

struct Outcome {
    enum class Kind { Reply, Silent, Close };
    Kind kind = Kind::Reply;
    std::vector<uint8_t> frame;  // the reply (Kind::Reply)
    std::optional<FaultHit> fault;  // the scenario fault that hit the request
};

// Waits for a fault's delay; false when the connection is ending meanwhile.
using DelayFn = std::function<bool(int64_t ms)>;

// Handles one request frame body of a connection that has completed its
// handshake (a Hello is answered as such, without ending the connection).
Outcome respond(Machine& m, Session& s, PlcSink* sink, const std::vector<uint8_t>& body, const DelayFn& delay);

// Carries out a decoded request and returns the reply frame.
std::vector<uint8_t> execute(Machine& m, Session& s, PlcSink* sink, const OpLayout& layout, uint32_t seq,
                             const std::vector<Arg>& args);

// A reply with just a result, for a frame whose operation is unknown.
std::vector<uint8_t> result_only_reply(uint32_t seq, uint16_t op, int32_t result);

// Decodes and checks a Hello: E_OK for the right magic and version,
// E_INVALID otherwise (`why` then says what was wrong).
int check_hello(const std::vector<Arg>& args, std::string& why);

}  // namespace tessaro::sim
