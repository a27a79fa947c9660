// The request operations as the simulator decodes them: the fields each
// request carries, what each field addresses (a node, a collection, ...), and
// the fields that every reply carries after its result, as the list of
// operations (xal_operations.def) gives them, plus the handshake.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "protocol/wire.h"

namespace tessaro::sim {

struct OpLayout {
    proto::Op op;
    // Request field tags in order: 'i' (i32), 'u' (u32), 's' (string).
    const char* request;
    // Per request field: 'n' node handle, 'N' node full name, 'c' collection,
    // 'd' device, 'm' system message, '-' anything else.
    const char* roles;
    // Fields that follow the result in every reply, success or not:
    // 'i', 'u', 's' or 'b' (bytes). Records are not listed: they follow only
    // a result of 0.
    const char* reply;
};

// The layout of a request operation number; null when no request has it.
const OpLayout* op_layout(uint16_t op);
const OpLayout* op_layout(proto::Op op);

// True when a request of `layout` names or addresses a node.
bool addresses_node(const OpLayout& layout);
// True when a request of `layout` carries any handle (node, collection,
// device or system message).
bool carries_handle(const OpLayout& layout);

// One decoded request field: `num` for 'i' and 'u', `str` for 's'.
struct Arg {
    int64_t num = 0;
    std::string str;
    int32_t i() const { return static_cast<int32_t>(num); }
    uint32_t u() const { return static_cast<uint32_t>(num); }
};

// Decodes the fields of a request; false when a field is missing, of the
// wrong type, or when anything follows the last field.
bool decode_args(const OpLayout& layout, wire::Reader& r, std::vector<Arg>& args);

// A reply frame holding just `result` and the empty or zero fields that
// every reply of the op carries.
std::vector<uint8_t> plain_reply(const OpLayout& layout, uint32_t seq, int32_t result);

}  // namespace tessaro::sim
