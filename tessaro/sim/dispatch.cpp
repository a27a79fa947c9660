#include "dispatch.h"

#include "scenario.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

using proto::Op;

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

Outcome execute(Machine& m, Session& s, PlcSink* sink, const Request& r) {
    const std::vector<Arg>& a = r.args;
    Outcome o;
    wire::Writer w(wire::Kind::Reply, r.seq, r.op);
    // Every reply starts with its result code.
    auto result = [&](int32_t rc) -> wire::Writer& {
        o.result = rc;
        return w.i32(rc);
    };
    auto record = [&](int rc, const auto& rec) {
        result(rc);
        if (rc == E_OK) proto::put(w, rec);
    };
    switch (r.layout->op) {
        case Op::Hello: {
            std::string why;
            int rc = check_hello(a, why);
            result(rc).u32(rc == E_OK ? wire::kProtocolVersion : 0).str(rc == E_OK ? m.server_name() : "");
            break;
        }
        case Op::GetNode: result(m.get_node(a[0].str)); break;
        case Op::GetParentNode: result(m.get_parent(a[0].i())); break;
        case Op::ReadNode: result(m.read_node(s, a[0].i())); break;
        case Op::GetNodeInfo: {
            proto::NodeInfo info;
            record(m.node_info(a[0].i(), info), info);
            break;
        }
        case Op::GetNodeValueStringLen: result(m.value_string_len(a[0].i())); break;
        case Op::GetNodeValueString: {
            std::string v;
            result(m.value_string(a[0].i(), a[1].i(), v)).str(v);
            break;
        }
        case Op::GetNodeValueBinCopyLen: result(m.bin_len(a[0].i())); break;
        case Op::GetNodeValueBinCopy: {
            std::vector<uint8_t> v;
            result(m.bin_copy(a[0].i(), a[1].i(), v)).bytes(v.data(), v.size());
            break;
        }
        case Op::SetNodeValueString: result(m.set_value(s, a[0].i(), a[1].str)); break;
        case Op::WriteNodeSync: result(m.write_sync(s, a[0].i())); break;
        case Op::GetNodeNameLen: result(m.name_len(a[0].i())); break;
        case Op::GetNodeName: {
            std::string v;
            result(m.name_copy(a[0].i(), a[1].i(), v)).str(v);
            break;
        }
        case Op::CreateNodeOnController: result(m.create_node(a[0].str, a[1].i())); break;
        case Op::CreateJobNodeOnController: result(m.create_job_node(a[0].str, a[1].str)); break;
        case Op::DeleteSingleNodeOnController: result(m.delete_node(a[0].i())); break;
        case Op::RenameNode: result(m.rename_node(a[0].i(), a[1].str)); break;
        case Op::MoveSubtree: result(m.move_subtree(a[0].i(), a[1].i(), a[2].i())); break;
        case Op::CreateNodeObjectCollection: result(m.create_collection(s)); break;
        case Op::GetSubnodes: result(m.get_subnodes(s, a[0].i(), a[1].i())); break;
        case Op::GetNodeObjectCount: {
            int32_t count = 0;
            result(m.collection_count(s, a[0].i(), count)).i32(count);
            break;
        }
        case Op::GetNodeObjectAtIndex: {
            int32_t node = -1;
            int rc = m.collection_at(s, a[0].i(), a[1].i(), node);
            result(rc).i32(rc == E_OK ? node : 0);
            break;
        }
        case Op::DestroyNodeObjectCollection: result(m.destroy_collection(s, a[0].i())); break;
        case Op::GetJobInfo: record(E_OK, m.job_info()); break;
        case Op::GetJobNamesLen: result(E_OK).i32(static_cast<int32_t>(m.job_names().size())); break;
        case Op::GetJobNames: {
            std::string v;
            result(m.job_names_copy(a[0].i(), v)).str(v);
            break;
        }
        case Op::SelectNode: result(m.select_node(a[0].i())); break;
        case Op::JobStart: result(m.job_start()); break;
        case Op::GetJobNodeTypesCount: result(E_OK).i32(m.job_node_type_count()); break;
        case Op::GetJobNodeTypeInfo: {
            proto::JobNodeType t;
            record(m.job_node_type(a[0].i(), t), t);
            break;
        }
        case Op::GetPLCState: result(E_OK).u32(m.plc_state()).u32(0); break;
        case Op::RegisterOnPLCChanged: result(m.register_plc(s, sink)); break;
        case Op::UnregisterOnPLCChanged: result(m.unregister_plc(s)); break;
        case Op::GetDriverInfo: record(E_OK, m.drivers()); break;
        case Op::GetAllDeviceInfo: record(E_OK, m.devices()); break;
        case Op::GetDeviceInfo: {
            proto::Device d;
            record(m.device(a[0].i(), d), d);
            break;
        }
        case Op::GetSystemMessageXMLLen: result(m.sysmsg_len(a[0].i())); break;
        case Op::GetSystemMessageXML: {
            std::string v;
            result(m.sysmsg_copy(a[0].i(), a[1].i(), v)).str(v);
            break;
        }
        case Op::ApiSetPlc:
            m.change_plc(a[0].u(), a[1].u());
            result(E_OK);
            break;
        case Op::ApiSetJob: {
            std::optional<JobOutcome> outcome;
            std::optional<int64_t> duration;
            if (a[1].num > static_cast<int>(JobOutcome::None) || a[2].num > kMaxDurationMs) {
                result(E_RANGE);
                break;
            }
            if (a[1].num >= 0) outcome = static_cast<JobOutcome>(a[1].num);
            if (a[2].num >= 0) duration = a[2].num;
            result(m.set_job(a[0].str, outcome, duration));
            break;
        }
        case Op::ApiAddFault:
            if (!r.fault_to_add) result(E_INVALID).u32(0);
            else result(E_OK).u32(static_cast<uint32_t>(m.add_fault(*r.fault_to_add)));
            break;
        case Op::ApiRemoveFault: result(m.remove_fault(a[0].u()) ? E_OK : E_NOEXIST); break;
        case Op::ApiReset:
            s.pending.clear();  // a value set but not written belongs to the machine left behind
            result(m.reset_to_start());
            break;
        case Op::PlcChanged: return Outcome::refusal(r, E_UNIMP);
    }
    // A reply that would not fit in a frame cannot be sent; say so instead.
    if (w.body().size() > wire::kMaxFrame) return Outcome::refusal(r, E_NOMEM);
    o.frame = w.frame();
    return o;
}

}  // namespace tessaro::sim
