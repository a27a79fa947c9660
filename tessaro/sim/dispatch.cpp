#include "dispatch.h"

#include "scenario.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

using proto::Op;

namespace {

// Checks a Hello: E_OK for the right magic and version, E_INVALID
// otherwise (`why` then says what was wrong).
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

}  // namespace

void execute(Machine& m, Session& s, PlcSink* sink, const Request& r, Outcome& o) {
    const std::vector<Arg>& a = r.args;
    proto::Reply& reply = o.reply;
    // Every reply starts with its result code; the fields that follow it are
    // added in the row's order.
    auto result = [&](int32_t rc) -> proto::Reply& {
        reply.result = rc;
        return reply;
    };
    auto field = [&](int32_t rc, Arg f) {
        result(rc).fields.push_back(std::move(f));
    };
    auto record = [&](int rc, auto&& rec) {
        result(rc);
        if (rc == E_OK) reply.record = std::forward<decltype(rec)>(rec);
    };
    switch (r.layout->op) {
        case Op::Hello: {
            int rc = check_hello(a, o.why);
            field(rc, Arg{rc == E_OK ? wire::kProtocolVersion : 0, {}});
            reply.fields.push_back(Arg{0, rc == E_OK ? m.server_name() : ""});
            break;
        }
        case Op::GetNode: result(m.get_node(a[0].str)); break;
        case Op::GetParentNode: result(m.get_parent(a[0].i())); break;
        case Op::ReadNode: result(m.read_node(s, a[0].i())); break;
        case Op::GetNodeInfo: {
            proto::NodeInfo info;
            int rc = m.node_info(a[0].i(), info);
            record(rc, std::move(info));
            break;
        }
        case Op::GetNodeValueStringLen: result(m.value_string_len(a[0].i())); break;
        case Op::GetNodeValueString: {
            Arg v;
            int rc = m.value_string(a[0].i(), a[1].i(), v.str);
            field(rc, std::move(v));
            break;
        }
        case Op::GetNodeValueBinCopyLen: result(m.bin_len(a[0].i())); break;
        case Op::GetNodeValueBinCopy: {
            std::vector<uint8_t> v;
            int rc = m.bin_copy(a[0].i(), a[1].i(), v);
            field(rc, Arg{0, std::string(v.begin(), v.end())});
            break;
        }
        case Op::SetNodeValueString: result(m.set_value(s, a[0].i(), a[1].str)); break;
        case Op::WriteNodeSync: result(m.write_sync(s, a[0].i())); break;
        case Op::GetNodeNameLen: result(m.name_len(a[0].i())); break;
        case Op::GetNodeName: {
            Arg v;
            int rc = m.name_copy(a[0].i(), a[1].i(), v.str);
            field(rc, std::move(v));
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
            int rc = m.collection_count(s, a[0].i(), count);
            field(rc, Arg{count, {}});
            break;
        }
        case Op::GetNodeObjectAtIndex: {
            int32_t node = -1;
            int rc = m.collection_at(s, a[0].i(), a[1].i(), node);
            field(rc, Arg{rc == E_OK ? node : 0, {}});
            break;
        }
        case Op::DestroyNodeObjectCollection: result(m.destroy_collection(s, a[0].i())); break;
        case Op::GetJobInfo: record(E_OK, m.job_info()); break;
        case Op::GetJobNamesLen: field(E_OK, Arg{static_cast<int64_t>(m.job_names().size()), {}}); break;
        case Op::GetJobNames: {
            Arg v;
            int rc = m.job_names_copy(a[0].i(), v.str);
            field(rc, std::move(v));
            break;
        }
        case Op::SelectNode: result(m.select_node(a[0].i())); break;
        case Op::JobStart: result(m.job_start()); break;
        case Op::GetJobNodeTypesCount: field(E_OK, Arg{m.job_node_type_count(), {}}); break;
        case Op::GetJobNodeTypeInfo: {
            proto::JobNodeType t;
            int rc = m.job_node_type(a[0].i(), t);
            record(rc, std::move(t));
            break;
        }
        case Op::GetPLCState:
            field(E_OK, Arg{m.plc_state(), {}});
            reply.fields.push_back(Arg{});
            break;
        case Op::RegisterOnPLCChanged: result(m.register_plc(s, sink)); break;
        case Op::UnregisterOnPLCChanged: result(m.unregister_plc(s)); break;
        case Op::GetDriverInfo: record(E_OK, m.drivers()); break;
        case Op::GetAllDeviceInfo: record(E_OK, m.devices()); break;
        case Op::GetDeviceInfo: {
            proto::Device d;
            int rc = m.device(a[0].i(), d);
            record(rc, std::move(d));
            break;
        }
        case Op::GetSystemMessageXMLLen: result(m.sysmsg_len(a[0].i())); break;
        case Op::GetSystemMessageXML: {
            Arg v;
            int rc = m.sysmsg_copy(a[0].i(), a[1].i(), v.str);
            field(rc, std::move(v));
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
            if (!r.fault_to_add) field(E_INVALID, Arg{});
            else field(E_OK, Arg{static_cast<int64_t>(m.add_fault(*r.fault_to_add)), {}});
            break;
        case Op::ApiRemoveFault: result(m.remove_fault(a[0].u()) ? E_OK : E_NOEXIST); break;
        case Op::ApiReset:
            s.pending.clear();  // a value set but not written belongs to the machine left behind
            result(m.reset_to_start());
            break;
        case Op::PlcChanged: o.refuse(r, E_UNIMP); return;
    }
    // A reply that would not fit in a frame cannot be sent; say so instead.
    if (proto::reply_body_size(*r.layout, reply) > wire::kMaxFrame) o.refuse(r, E_NOMEM);
}

}  // namespace tessaro::sim
