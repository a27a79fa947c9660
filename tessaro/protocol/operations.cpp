#include "operations.h"

#include <array>
#include <cstring>
#include <iterator>

namespace tessaro::proto {

namespace {

using RK = RecordKind;
using SE = StateEffect;

const Operation kOperations[] = {
    {Op::Hello, "Hello", "su", "--", "us", RK::None, SE::Transient},
#define XAL_WIRE_OP(name, wire, request, roles, reply, record, state, ...) \
    {Op::name, #name, request, roles, reply, RK::record, SE::state},
#define XAL_LOCAL_OP(...)
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
#define XAL_API_OP(name, wire, request, roles, reply, record, state) \
    {Op::name, #name, request, roles, reply, RK::record, SE::state},
#include "api_operations.def"
#undef XAL_API_OP
};

// The operations the library answers itself, in list order.
const char* const kLocalOps[] = {
#define XAL_WIRE_OP(...)
#define XAL_LOCAL_OP(name, ...) #name,
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
};

static_assert(static_cast<uint16_t>(Op::PlcChanged) < 256, "operation numbers index a table of 256");

}  // namespace

size_t Operation::fields() const { return std::strlen(request); }

size_t Operation::reply_fields() const { return std::strlen(reply); }

bool Operation::addresses_node() const {
    for (const char* r = roles; *r; ++r)
        if (is_node_role(*r)) return true;
    return false;
}

bool Operation::carries_handle() const {
    for (const char* r = roles; *r; ++r)
        if (is_handle_role(*r)) return true;
    return false;
}

const Operation* operation(uint16_t op) {
    // Every number is below 256: one look-up per request, not a search.
    static const auto kByNumber = [] {
        std::array<const Operation*, 256> t{};
        for (const auto& o : kOperations) t[static_cast<uint16_t>(o.op)] = &o;
        return t;
    }();
    return op < kByNumber.size() ? kByNumber[op] : nullptr;
}

const Operation* operation(Op op) { return operation(static_cast<uint16_t>(op)); }

const Operation* operation_named(const std::string& name) {
    for (const auto& o : kOperations)
        if (name == o.name) return &o;
    return nullptr;
}

const Operation* operations_begin() { return kOperations; }

const char* local_op_name(uint16_t i) { return i < std::size(kLocalOps) ? kLocalOps[i] : nullptr; }

bool local_op_from_name(const std::string& name, uint16_t& i) {
    for (uint16_t k = 0; k < std::size(kLocalOps); ++k)
        if (name == kLocalOps[k]) return i = k, true;
    return false;
}
const Operation* operations_end() { return kOperations + sizeof kOperations / sizeof kOperations[0]; }

const char* request_op_name(Op op) {
    const Operation* o = operation(op);
    return o ? o->name : nullptr;
}

const char* op_name(Op op) {
    if (const char* name = request_op_name(op)) return name;
    if (op == Op::PlcChanged) return "PlcChanged";
    return "";
}

bool op_from_name(const std::string& name, Op& op) {
    const Operation* o = operation_named(name);
    if (o) op = o->op;
    return o != nullptr;
}

}  // namespace tessaro::proto
