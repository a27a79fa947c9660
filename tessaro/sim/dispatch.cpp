#include "dispatch.h"

#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

using proto::Op;

Outcome reply(std::vector<uint8_t> frame) {
    Outcome o;
    o.frame = std::move(frame);
    return o;
}

}  // namespace

std::vector<uint8_t> result_only_reply(uint32_t seq, uint16_t op, int32_t result) {
    wire::Writer w(wire::Kind::Reply, seq, op);
    w.i32(result);
    return w.frame();
}

int check_hello(const std::vector<Arg>& args, std::string& why) {
    if (args.size() != 2) {
        why = "malformed hello";
        return E_INVALID;
    }
    if (args[0].str != wire::kMagic) {
        why = "wrong magic";
        return E_INVALID;
    }
    if (args[1].u() != wire::kProtocolVersion) {
        why = "unsupported version " + std::to_string(args[1].u());
        return E_INVALID;
    }
    return E_OK;
}

Outcome respond(Machine& m, Session& s, PlcSink* sink, const std::vector<uint8_t>& body, const DelayFn& delay) {
    wire::Reader r(body);
    const OpLayout* layout = op_layout(r.op());
    if (!layout) return reply(result_only_reply(r.seq(), r.op(), E_UNIMP));
    if (r.kind() != wire::Kind::Request || r.seq() == 0) return reply(plain_reply(*layout, r.seq(), E_INVALID));
    std::vector<Arg> args;
    if (!decode_args(*layout, r, args)) return reply(plain_reply(*layout, r.seq(), E_INVALID));

    std::optional<FaultHit> hit = m.fault_for(*layout, args);
    if (hit) {
        Outcome o;
        o.fault = hit;
        if (hit->kind == FaultHit::Kind::Silent) {
            o.kind = Outcome::Kind::Silent;
            return o;
        }
        if (hit->delay_ms > 0 && !delay(hit->delay_ms)) {
            o.kind = Outcome::Kind::Close;
            return o;
        }
        if (hit->kind == FaultHit::Kind::Close) {
            o.kind = Outcome::Kind::Close;
            return o;
        }
        if (hit->kind == FaultHit::Kind::Result) {
            o.frame = plain_reply(*layout, r.seq(), hit->result);
            return o;
        }
    }
    Outcome o = reply(execute(m, s, sink, *layout, r.seq(), args));
    o.fault = hit;
    return o;
}

std::vector<uint8_t> execute(Machine& m, Session& s, PlcSink* sink, const OpLayout& layout, uint32_t seq,
                             const std::vector<Arg>& a) {
    wire::Writer w(wire::Kind::Reply, seq, static_cast<uint16_t>(layout.op));
    auto record = [&w](int rc, const auto& rec) {
        w.i32(rc);
        if (rc == E_OK) proto::put(w, rec);
    };
    switch (layout.op) {
        case Op::Hello: {
            std::string why;
            int rc = check_hello(a, why);
            w.i32(rc).u32(rc == E_OK ? wire::kProtocolVersion : 0).str(rc == E_OK ? m.server_name() : "");
            break;
        }
        case Op::GetNode: w.i32(m.get_node(a[0].str)); break;
        case Op::GetParentNode: w.i32(m.get_parent(a[0].i())); break;
        case Op::ReadNode: w.i32(m.read_node(s, a[0].i())); break;
        case Op::GetNodeInfo: {
            proto::NodeInfo info;
            record(m.node_info(a[0].i(), info), info);
            break;
        }
        case Op::GetNodeValueStringLen: w.i32(m.value_string_len(a[0].i())); break;
        case Op::GetNodeValueString: {
            std::string v;
            w.i32(m.value_string(a[0].i(), a[1].i(), v)).str(v);
            break;
        }
        case Op::GetNodeValueBinCopyLen: w.i32(m.bin_len(a[0].i())); break;
        case Op::GetNodeValueBinCopy: {
            std::vector<uint8_t> v;
            w.i32(m.bin_copy(a[0].i(), a[1].i(), v)).bytes(v.data(), v.size());
            break;
        }
        case Op::SetNodeValueString: w.i32(m.set_value(s, a[0].i(), a[1].str)); break;
        case Op::WriteNodeSync: w.i32(m.write_sync(s, a[0].i())); break;
        case Op::GetNodeNameLen: w.i32(m.name_len(a[0].i())); break;
        case Op::GetNodeName: {
            std::string v;
            w.i32(m.name_copy(a[0].i(), a[1].i(), v)).str(v);
            break;
        }
        case Op::CreateNodeOnController: w.i32(m.create_node(a[0].str, a[1].i())); break;
        case Op::CreateJobNodeOnController: w.i32(m.create_job_node(a[0].str, a[1].str)); break;
        case Op::DeleteSingleNodeOnController: w.i32(m.delete_node(a[0].i())); break;
        case Op::RenameNode: w.i32(m.rename_node(a[0].i(), a[1].str)); break;
        case Op::MoveSubtree: w.i32(m.move_subtree(a[0].i(), a[1].i(), a[2].i())); break;
        case Op::CreateNodeObjectCollection: w.i32(m.create_collection(s)); break;
        case Op::GetSubnodes: w.i32(m.get_subnodes(s, a[0].i(), a[1].i())); break;
        case Op::GetNodeObjectCount: {
            int32_t count = 0;
            w.i32(m.collection_count(s, a[0].i(), count)).i32(count);
            break;
        }
        case Op::GetNodeObjectAtIndex: {
            int32_t node = -1;
            int rc = m.collection_at(s, a[0].i(), a[1].i(), node);
            w.i32(rc).i32(rc == E_OK ? node : 0);
            break;
        }
        case Op::DestroyNodeObjectCollection: w.i32(m.destroy_collection(s, a[0].i())); break;
        case Op::GetJobInfo: record(E_OK, m.job_info()); break;
        case Op::GetJobNamesLen: w.i32(E_OK).i32(static_cast<int32_t>(m.job_names().size())); break;
        case Op::GetJobNames: {
            std::string v;
            w.i32(m.job_names_copy(a[0].i(), v)).str(v);
            break;
        }
        case Op::SelectNode: w.i32(m.select_node(a[0].i())); break;
        case Op::JobStart: w.i32(m.job_start()); break;
        case Op::GetJobNodeTypesCount: w.i32(E_OK).i32(m.job_node_type_count()); break;
        case Op::GetJobNodeTypeInfo: {
            proto::JobNodeType t;
            record(m.job_node_type(a[0].i(), t), t);
            break;
        }
        case Op::GetPLCState: w.i32(E_OK).u32(m.plc_state()).u32(0); break;
        case Op::RegisterOnPLCChanged: w.i32(m.register_plc(s, sink)); break;
        case Op::UnregisterOnPLCChanged: w.i32(m.unregister_plc(s)); break;
        case Op::GetDriverInfo: record(E_OK, m.drivers()); break;
        case Op::GetAllDeviceInfo: record(E_OK, m.devices()); break;
        case Op::GetDeviceInfo: {
            proto::Device d;
            record(m.device(a[0].i(), d), d);
            break;
        }
        case Op::GetSystemMessageXMLLen: w.i32(m.sysmsg_len(a[0].i())); break;
        case Op::GetSystemMessageXML: {
            std::string v;
            w.i32(m.sysmsg_copy(a[0].i(), a[1].i(), v)).str(v);
            break;
        }
        case Op::PlcChanged: return plain_reply(layout, seq, E_UNIMP);
    }
    // A reply that would not fit in a frame cannot be sent; say so instead.
    if (w.body().size() > wire::kMaxFrame) return plain_reply(layout, seq, E_NOMEM);
    return w.frame();
}

}  // namespace tessaro::sim
