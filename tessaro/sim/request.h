// One request as the simulator handles it, whoever sent it, and the one
// outcome that handling it gives. A request is decoded once from its frame
// (or built directly by an in-process caller); every later step (the fault
// check, the machine, the state file, the trace, the connection sending the
// reply) reads these values and never the bytes again. The outcome is a
// value too: only a connection encodes it, as the frame it sends.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "faults.h"
#include "protocol/operations.h"
#include "protocol/reply.h"
#include "protocol/wire.h"

namespace tessaro::sim {

// One request field: `num` for 'i' and 'u', `str` for 's'.
using Arg = proto::Field;

struct Request {
    uint16_t op = 0;  // the operation number as received
    uint32_t seq = 0;
    wire::Kind kind = wire::Kind::Request;
    const proto::Operation* layout = nullptr;  // its row; null: no request has this operation number
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
    // The same into this request, whose buffers are reused.
    void read(const uint8_t* body, size_t len);
    // A request of `op` with the given fields in the layout's order ('s'
    // fields in `str`, the others in `num`), for callers inside the
    // simulator; `decoded` says whether their number fits the layout.
    static Request make(proto::Op op, std::vector<Arg> args);
};

struct Outcome {
    enum class Kind { Reply, Silent, Close };
    Kind kind = Kind::Reply;
    proto::Reply reply;             // what the reply holds (Kind::Reply)
    std::optional<FaultHit> fault;  // the scenario fault that hit the request
    // Why the machine refused the request, when it says more than the result
    // (a handshake's wrong magic or version).
    std::string why;
    // Why a replay found no recorded call to answer it with (the request is
    // then refused with E_FAILURE).
    std::string divergence;

    // Back to a reply of 0 with nothing in it; buffers are kept for reuse.
    void clear();
    // The reply's result; none when nothing is sent.
    std::optional<int32_t> result() const {
        return kind == Kind::Reply ? std::optional<int32_t>(reply.result) : std::nullopt;
    }
    // A reply that holds just `result` and the empty fields every reply of
    // the request's operation carries (only the result for an unknown one).
    static Outcome refusal(const Request& r, int32_t result);
    // Makes this outcome such a reply; the fault that hit stays.
    void refuse(const Request& r, int32_t result);
};

}  // namespace tessaro::sim
