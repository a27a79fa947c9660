// The library's side of the wire: frames from a controller, read and decoded
// as the library does it. A reply is decoded after the layout of the
// operation it names (its result, the fields every reply of it carries, and
// its record after a result of 0), and each record is turned into the C
// record a caller would get and given back; a PlcChanged event is decoded
// into its two words.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "frames.h"
#include "protocol/messages.h"
#include "protocol/wire.h"
#include "records.h"

namespace {

using namespace tessaro;

enum class Rec { None, NodeInfo, JobInfo, JobNodeType, DriverList, Device, DeviceList };

template <typename Value>
void to_record(wire::Reader& r) {
    Value v;
    if (proto::get(r, v) && r.ok()) lib::records::destroy(lib::records::make(v));
}

void decode_reply(wire::Reader& r, const char* fields, Rec rec) {
    int32_t result = 0;
    if (!r.i32(result)) return;
    for (const char* f = fields; *f; ++f) {
        int32_t i = 0;
        uint32_t u = 0;
        std::string s;
        std::vector<uint8_t> b;
        bool ok = *f == 'i' ? r.i32(i) : *f == 'u' ? r.u32(u) : *f == 's' ? r.str(s) : r.bytes(b);
        if (!ok) return;
    }
    if (result != 0) return;
    switch (rec) {
        case Rec::None: break;
        case Rec::NodeInfo: to_record<proto::NodeInfo>(r); break;
        case Rec::JobInfo: to_record<proto::JobInfo>(r); break;
        case Rec::JobNodeType: {
            // Kept by the library for the process lifetime: decoded only.
            proto::JobNodeType v;
            proto::get(r, v);
            break;
        }
        case Rec::DriverList: to_record<std::vector<proto::Driver>>(r); break;
        case Rec::Device: to_record<proto::Device>(r); break;
        case Rec::DeviceList: to_record<std::vector<proto::Device>>(r); break;
    }
}

void decode(const std::vector<uint8_t>& body) {
    wire::Reader r(body);
    if (!r.ok()) return;
    if (r.kind() == wire::Kind::Event) {
        uint32_t state = 0, reserved = 0;
        if (r.op() == static_cast<uint16_t>(proto::Op::PlcChanged)) r.u32(state) && r.u32(reserved);
        return;
    }
    if (r.kind() != wire::Kind::Reply) return;
    switch (r.op()) {
        case static_cast<uint16_t>(proto::Op::Hello): {
            int32_t result = 0;
            uint32_t version = 0;
            std::string server;
            r.i32(result) && r.u32(version) && r.str(server);
            break;
        }
#define XAL_LOCAL_OP(Name, Ret, Params)
#define XAL_WIRE_OP(Name, Wire, Request, Roles, Reply, Record, State, Ret, Params) \
    case Wire: decode_reply(r, Reply, Rec::Record); break;
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
        default: break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::for_each_frame(data, size, decode);
    return 0;
}
