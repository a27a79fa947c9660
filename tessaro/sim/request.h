// One request as the simulator handles it, whoever sent it, and the one
// outcome that handling it gives. A request is decoded once from its frame
// (or built directly by an in-process caller); every later step (the fault
// check, the machine, the state file, the trace, the connection sending the
// reply) reads these values and never the bytes again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "ops.h"
#include "protocol/wire.h"

namespace tessaro::sim {

struct Request {
    uint16_t op = 0;  // the operation number as received
    uint32_t seq = 0;
    wire::Kind kind = wire::Kind::Request;
    const OpLayout* layout = nullptr;  // null: no request has this operation number
    // True when `args` holds every field the layout asks for and nothing
    // followed them (only requests are decoded, never replies or events).
    bool decoded = false;
    // The fields in the layout's order; layout->roles says what each
    // addresses (a node by handle or by name, a collection, ...).
    std::vector<Arg> args;
    // Per argument: the full name of the node it names or addresses, as it
    // was when the request was admitted ("" for other arguments and unknown
    // handles). Filled only when an observer or a fault needs it.
    std::vector<std::string> nodes;
    // An ApiAddFault's fault as a value; its text argument is what the trace
    // shows.
    std::optional<Fault> fault_to_add;

    // Decodes a frame body (without its length header).
    static Request decode(const uint8_t* body, size_t len);
    // A request of `op` with the given fields in the layout's order ('s'
    // fields in `str`, the others in `num`), for callers inside the
    // simulator; `decoded` says whether their number fits the layout.
    static Request make(proto::Op op, std::vector<Arg> args);
};

struct Outcome {
    enum class Kind { Reply, Silent, Close };
    Kind kind = Kind::Reply;
    std::optional<int32_t> result;  // the result code of the reply; none when nothing is sent
    std::vector<uint8_t> frame;     // the reply, length header included (Kind::Reply)
    std::optional<FaultHit> fault;  // the scenario fault that hit the request

    // A reply that holds just `result` and the empty fields every reply of
    // the request's operation carries (only the result for an unknown one).
    static Outcome refusal(const Request& r, int32_t result);
};

}  // namespace tessaro::sim
