#include "ops.h"

#include <cstring>

namespace tessaro::sim {

namespace {

using proto::Op;

const OpLayout kLayouts[] = {
    {Op::Hello, "su", "--", "us"},
#define XAL_WIRE_OP(name, wire, request, roles, reply, ...) {Op::name, request, roles, reply},
#define XAL_LOCAL_OP(...)
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
    // The control API's requests: PLC bits to set and to clear; a job's
    // next outcome and run time (-1: unchanged); a fault as a scenario's
    // fault object; the number of a fault; a reset to the start.
    {Op::ApiSetPlc, "uu", "--", ""},
    {Op::ApiSetJob, "sii", "N--", ""},
    {Op::ApiAddFault, "s", "-", "u"},
    {Op::ApiRemoveFault, "u", "-", ""},
    {Op::ApiReset, "", "", ""},
};

}  // namespace

const OpLayout* op_layout(uint16_t op) {
    for (const auto& s : kLayouts)
        if (static_cast<uint16_t>(s.op) == op) return &s;
    return nullptr;
}

const OpLayout* op_layout(proto::Op op) { return op_layout(static_cast<uint16_t>(op)); }

bool addresses_node(const OpLayout& layout) { return std::strpbrk(layout.roles, "nN") != nullptr; }

bool carries_handle(const OpLayout& layout) { return std::strpbrk(layout.roles, "ncdm") != nullptr; }

bool decode_args(const OpLayout& layout, wire::Reader& r, std::vector<Arg>& args) {
    args.clear();
    for (const char* t = layout.request; *t; ++t) {
        Arg a;
        if (*t == 'i') {
            int32_t v = 0;
            if (!r.i32(v)) return false;
            a.num = v;
        } else if (*t == 'u') {
            uint32_t v = 0;
            if (!r.u32(v)) return false;
            a.num = v;
        } else if (!r.str(a.str)) {
            return false;
        }
        args.push_back(std::move(a));
    }
    return r.at_end();
}

std::vector<uint8_t> plain_reply(const OpLayout& layout, uint32_t seq, int32_t result) {
    wire::Writer w(wire::Kind::Reply, seq, static_cast<uint16_t>(layout.op));
    w.i32(result);
    for (const char* t = layout.reply; *t; ++t) {
        switch (*t) {
            case 'i': w.i32(0); break;
            case 'u': w.u32(0); break;
            case 's': w.str(""); break;
            case 'b': w.bytes(nullptr, 0); break;
            default: break;
        }
    }
    return w.frame();
}

}  // namespace tessaro::sim
