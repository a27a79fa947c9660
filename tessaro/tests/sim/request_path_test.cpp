// Requests on the simulator's one path, in-process: every operation of the
// protocol's table on a call the machine carries out and on one it refuses;
// what admission refuses before the machine sees a request (no handshake, an
// API request from a library client, a request not decoded, a text a state
// file cannot hold); and the machine's limits, each at its boundary.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "api_json.h"
#include "protocol/operations.h"
#include "request_path.h"
#include "scenario.h"
#include "state_file.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;

Arg num(int64_t v) { return Arg{v, {}}; }
Arg text(std::string s) { return Arg{0, std::move(s)}; }

// Something for every operation: a limited and a read-only value, bytes, a
// job that is ready as soon as it is selected, a job node type a client may
// create and one it may not, a device, a system message.
const char* const kCell = R"({"plc": {"ready_delay_ms": 0},
  "job_node_types": [{"name": "Origin"}, {"name": "Line", "usercreatable": true}],
  "nodes": [{"name": "cell", "type": "FOLDER", "children": [
      {"name": "Speed", "type": "VT_I32", "min": 0, "max": 10000, "value": "1200"}, {"name": "Raw", "type": "VT_BIN", "value": "7F"},
      {"name": "Serial", "type": "VT_STR", "priv": "r", "value": "S-1"}, {"name": "Note", "type": "VT_TEXT"},
      {"name": "sub", "type": "FOLDER", "children": [{"name": "leaf", "type": "VT_I32"}]}]}, {"name": "scratch", "type": "FOLDER"},
    {"name": "Job", "type": "VT_JOB", "children": [{"name": "O", "type": "JOBNODE", "nodetype": "Origin"}]}],
  "drivers": [{"name": "io"}], "devices": [{"handle": 1, "name": "IO1", "driver": "io"}],
  "system_messages": [{"id": 1, "xml": "<m/>"}]})";

// A machine on a clock of the test's, its path (with a state file when a
// path for one is given), a library client and the control API.
struct Bench {
    explicit Bench(const std::string& scenario, const std::string& state_path = "")
        : m(test::load(scenario), [this] { return now; }),
          state(state_path.empty() ? nullptr : new StateFile(state_path, m, [](const std::string&) {})),
          path(m, state.get(), nullptr) {
        m.keep_start(scenario);
        client.greeted = api.greeted = api.api = true;
        EXPECT_TRUE(!state || state->open(error)) << error;
    }
    // The result the reply carries; none when no reply is sent.
    std::optional<int32_t> submit(Caller& c, Request r) { return path.submit(r, c, [](int64_t) { return true; }).result(); }
    // A request of the library client; the control API's own are the API's.
    // An added fault goes as a value, read from its text as the API reads it.
    std::optional<int32_t> call(Op op, std::vector<Arg> args = {}) {
        Request r = Request::make(op, std::move(args));
        Fault f;
        if (op == Op::ApiAddFault && r.decoded && parse_fault(r.args[0].str, f, error)) r.fault_to_add = f;
        return submit(proto::is_api_op(op) ? api : client, std::move(r));
    }
    int32_t h(const std::string& name) { return m.get_node(name); }

    TimePoint now{};
    std::string error;
    Machine m;
    std::unique_ptr<StateFile> state;
    RequestPath path;
    Session session, api_session;
    test::Events events;
    Caller client{"client", session, &events}, api{"api", api_session};
};

struct Row {  // no `bad`: nothing the machine refuses of it
    Op op; std::vector<Arg> ok; int32_t ok_result; std::optional<std::vector<Arg>> bad = std::nullopt; int32_t bad_result = 0;
};

// A row per operation, in number order, and a few more where what the
// machine holds makes a difference: carried out in this order, each call on
// `ok` succeeds and the one on `bad` after it is refused.
std::vector<Row> rows(Bench& b) {
    const int32_t cell = b.h("cell"), speed = b.h("cell.Speed"), raw = b.h("cell.Raw"), gone = 9999, note = b.h("cell.Note");
    const int32_t sub = b.h("cell.sub"), scratch = b.h("scratch");
    const auto version = static_cast<int64_t>(wire::kProtocolVersion);
    return {
        {Op::Hello, {text(wire::kMagic), num(version)}, E_OK, {{text(wire::kMagic), num(version + 1)}}, E_INVALID},
        {Op::GetNode, {text("cell.Speed")}, speed, {{text("cell.Nope")}}, -1},
        {Op::GetParentNode, {num(speed)}, cell, {{num(cell)}}, -1},  // a top-level node has none
        {Op::ReadNode, {num(speed)}, E_OK, {{num(gone)}}, E_NOEXIST},
        {Op::GetNodeInfo, {num(speed)}, E_OK, {{num(gone)}}, E_NOEXIST},
        {Op::GetNodeValueStringLen, {num(speed)}, 4, {{num(gone)}}, E_INVALID},
        // A copy takes the text and its terminator.
        {Op::GetNodeValueString, {num(speed), num(5)}, E_OK, {{num(speed), num(4)}}, E_NOSPACE},
        {Op::GetNodeValueBinCopyLen, {num(raw)}, 1, {{num(gone)}}, E_INVALID},
        {Op::GetNodeValueBinCopy, {num(raw), num(1)}, E_OK, {{num(raw), num(2)}}, E_NOSPACE},  // exactly its size
        {Op::GetNodeValueBinCopy, {num(raw), num(1)}, E_OK, {{num(raw), num(0)}}, E_INVALID},
        {Op::SetNodeValueString, {num(note), text("noted")}, E_OK, {{num(speed), text("10001")}}, E_RANGE},
        {Op::WriteNodeSync, {num(note)}, E_OK, {{num(gone)}}, E_NOEXIST},
        {Op::GetNodeNameLen, {num(speed)}, 5, {{num(gone)}}, E_INVALID},
        {Op::GetNodeName, {num(speed), num(6)}, E_OK, {{num(speed), num(5)}}, E_NOSPACE},
        {Op::CreateNodeOnController, {text("scratch.n"), num(VT_I32), num(0)}, E_OK,
         {{text("scratch.n"), num(VT_I32), num(0)}}, E_EXIST},
        {Op::CreateJobNodeOnController, {text("Job.L"), text("Line"), num(0)}, E_OK,
         {{text("Job.O2"), text("Origin"), num(0)}}, E_ACCESS},
        {Op::DeleteSingleNodeOnController, {num(b.h("cell.sub.leaf"))}, E_OK, {{num(b.h("cell.Serial"))}}, E_ACCESS},
        {Op::RenameNode, {num(sub), text("box")}, E_OK, {{num(speed), text("Raw")}}, E_EXIST},
        // scratch holds n and box: a third node goes at 0 to 2.
        {Op::MoveSubtree, {num(sub), num(scratch), num(-1)}, E_OK, {{num(speed), num(scratch), num(3)}}, E_RANGE},
        {Op::CreateNodeObjectCollection, {}, 1},
        {Op::GetSubnodes, {num(cell), num(1)}, E_OK, {{num(cell), num(2)}}, E_INVALID},
        {Op::GetNodeObjectCount, {num(1)}, E_OK, {{num(2)}}, E_INVALID},
        // cell holds Speed, Raw, Serial and Note.
        {Op::GetNodeObjectAtIndex, {num(1), num(3)}, E_OK, {{num(1), num(4)}}, E_RANGE},
        {Op::DestroyNodeObjectCollection, {num(1)}, E_OK, {{num(1)}}, E_INVALID},
        {Op::GetJobInfo, {}, E_OK},
        {Op::GetJobNamesLen, {}, E_OK},
        {Op::GetJobNames, {num(4)}, E_OK, {{num(3)}}, E_NOSPACE},
        {Op::SelectNode, {num(b.h("Job"))}, E_OK, {{num(gone)}}, E_NOEXIST},
        {Op::SelectNode, {num(b.h("Job"))}, E_OK},  // again, while it is ready
        {Op::ApiSetPlc, {num(0), num(plc_bit(PLC_JOB_READY))}, E_OK},
        {Op::SelectNode, {num(b.h("Job"))}, E_OK},  // again, and it is made ready again
        {Op::JobStart, {}, E_OK, {{}}, E_BUSY},  // the clock stands still: the job runs on
        {Op::GetJobNodeTypesCount, {}, E_OK},
        {Op::GetJobNodeTypeInfo, {num(0)}, E_OK, {{num(-1)}}, E_RANGE},
        {Op::GetJobNodeTypeInfo, {num(1)}, E_OK, {{num(2)}}, E_RANGE},
        {Op::GetPLCState, {}, E_OK},
        {Op::RegisterOnPLCChanged, {}, E_OK},
        {Op::UnregisterOnPLCChanged, {}, E_OK},
        {Op::GetDriverInfo, {}, E_OK},
        {Op::GetAllDeviceInfo, {}, E_OK},
        {Op::GetDeviceInfo, {num(1)}, E_OK, {{num(2)}}, E_NOEXIST},
        {Op::GetSystemMessageXMLLen, {num(1)}, 4, {{num(2)}}, E_INVALID},
        {Op::GetSystemMessageXML, {num(1), num(5)}, E_OK, {{num(1), num(4)}}, E_NOSPACE},
        {Op::ApiSetPlc, {num(plc_bit(PLC_ATTENTION)), num(0)}, E_OK},
        {Op::ApiSetJob, {text("Job"), num(1), num(500)}, E_OK, {{text("Nope"), num(-1), num(-1)}}, E_NOEXIST},
        {Op::ApiAddFault, {text(R"({"op": "GetNodeName", "node": "nowhere", "result": -3})")}, E_OK, {{text("{")}}, E_INVALID},
        {Op::ApiRemoveFault, {num(0)}, E_OK, {{num(0)}}, E_NOEXIST},
        {Op::ApiReset, {}, E_OK},
    };
}

// Carries out the rows in order.
void check(Bench& b, const std::vector<Row>& rows) {
    for (const Row& row : rows) {
        const std::string what = proto::op_name(row.op) + (row.ok.empty() ? "" : " " + std::to_string(row.ok[0].num) + " " + row.ok[0].str.substr(0, 40));
        EXPECT_EQ(b.call(row.op, row.ok), row.ok_result) << what;
        if (row.bad) { EXPECT_EQ(b.call(row.op, *row.bad), row.bad_result) << what << " refused"; }
    }
}

TEST(RequestPath, EveryOperationSucceedsAndIsRefusedAsTheMachineSays) {
    Bench b(kCell);
    const std::vector<Row> all = rows(b);
    check(b, all);
    std::set<Op> covered;
    for (const Row& row : all) covered.insert(row.op);
    for (const proto::Operation* o = proto::operations_begin(); o != proto::operations_end(); ++o)
        EXPECT_TRUE(covered.count(o->op)) << o->name << " has no row";
    EXPECT_TRUE(b.h("scratch.n") == -1 && b.h("cell.sub.leaf") != -1) << "the reset brought back the start";
}

// Each refusal of admission, before the machine sees the request: before
// the handshake only Hello is served; an API request from a library client
// or an unknown operation; fields that do not match the operation, a reply,
// a request without a sequence number. None changes the machine. A refused
// Hello tells neither the version nor the server's name.
TEST(RequestPath, AdmissionRefusesBeforeTheMachineSeesTheRequest) {
    Bench b(kCell);
    Session stranger_session;
    Caller stranger{"stranger", stranger_session};
    const uint64_t version = b.m.version();
    const auto get = [](std::vector<Arg> args) { return Request::make(Op::GetNodeNameLen, std::move(args)); };
    Request unnumbered = get({num(1)}), reply = get({num(1)});
    unnumbered.seq = 0;
    reply.kind = wire::Kind::Reply;
    const Request hello = Request::make(Op::Hello, {text(wire::kMagic), num(wire::kProtocolVersion)});
    const std::tuple<Caller*, Request, int32_t> cases[] = {
        {&stranger, get({num(1)}), E_ACCESS}, {&stranger, Request::make(static_cast<Op>(99), {}), E_ACCESS},
        {&b.client, Request::make(Op::ApiReset, {}), E_UNIMP}, {&b.client, Request::make(static_cast<Op>(99), {}), E_UNIMP},
        {&b.client, get({num(1), num(0)}), E_INVALID}, {&b.client, get({}), E_INVALID},  // a field too many, too few
        {&b.api, Request::make(Op::ApiReset, {num(0)}), E_INVALID}, {&b.client, reply, E_INVALID},
        {&b.client, unnumbered, E_INVALID}, {&stranger, hello, E_OK}, {&stranger, get({num(b.h("cell"))}), 4}};  // a Hello greets
    int row = 0;
    for (const auto& [caller, r, rc] : cases) EXPECT_EQ(b.submit(*caller, r), rc) << "row " << row++;
    const Request other = Request::make(Op::Hello, {text(wire::kMagic), num(wire::kProtocolVersion + 1)});
    const Outcome o = b.path.submit(other, stranger, [](int64_t) { return true; });
    EXPECT_EQ(o.reply.fields, (std::vector<Arg>{num(0), text("")}));
    EXPECT_EQ(b.m.version(), version);
    EXPECT_TRUE(b.session.collections.empty() && b.session.pending.empty());
}

// With a state file, a text that is no UTF-8 in a request whose texts the
// machine keeps is refused (the file could not hold it) and changes nothing,
// though the same request succeeds without a state file; any other request
// is answered as without one. UTF-8 beyond ASCII is kept, and saved before
// the reply.
TEST(RequestPath, AStateFileRefusesTextsItCannotHold) {
    test::TempDir dir;
    const std::string file = dir.path + "/state.json";
    Bench with(kCell, file), without(kCell);
    for (const Row& row : rows(with)) {
        const proto::Operation& op = *proto::operation(row.op);
        const char* first = std::strchr(op.request, 's');
        if (proto::is_api_op(row.op) || !first) continue;
        std::vector<Arg> args = row.ok;
        args[static_cast<size_t>(first - op.request)].str += "\xFF";  // stays a valid name, value or type
        const uint64_t version = with.m.version();
        auto alone = without.call(row.op, args);
        EXPECT_EQ(with.call(row.op, args), op.keeps_texts() ? E_INVALID : alone) << op.name;
        if (op.keeps_texts()) { EXPECT_TRUE(alone == row.ok_result && with.m.version() == version) << op.name; }
    }
    ASSERT_EQ(with.call(Op::CreateNodeOnController, {text("scratch.Größe"), num(VT_STR), num(0)}), E_OK);
    const int32_t node = with.h("scratch.Größe");
    ASSERT_EQ(with.call(Op::SetNodeValueString, {num(node), text("naïve")}), E_OK);
    ASSERT_EQ(with.call(Op::WriteNodeSync, {num(node)}), E_OK);
    const std::string saved = test::read_file(file);
    EXPECT_TRUE(saved.find("\"Größe\"") != std::string::npos && saved.find("\"naïve\"") != std::string::npos) << saved;
}

// Each limit of the machine, exactly at it and one past it.
TEST(RequestPath, LimitsHoldExactlyAtTheirBoundary) {
    std::string opened, closed, deepest = "d";  // deepest: at depth kMaxDepth - 1
    for (size_t i = 1; i < kMaxDepth; ++i) opened += R"({"name": "d", "type": "FOLDER", "children": [)", closed += "]}", deepest += i > 1 ? ".d" : "";
    Bench b(R"({"nodes": [)" + opened + closed + R"(, {"name": "leaf", "type": "VT_I32"},
        {"name": "pair", "type": "FOLDER", "children": [{"name": "inner", "type": "FOLDER"}]},
        {"name": "Note", "type": "VT_TEXT"}, {"name": "Raw", "type": "VT_BIN"}, {"name": "Job", "type": "VT_JOB"}]})");
    const std::string below = deepest.substr(0, deepest.size() - 2);
    const int32_t note = b.h("Note"), raw = b.h("Raw"), pair = b.h("pair");
    const std::string longest(kMaxNameLength, 'n');
    const std::string max_text(kMaxValueText, 'x'), max_bin(2 * kMaxBinBytes, 'A');
    const auto none = static_cast<int64_t>(JobOutcome::None);
    check(b, {
        // Depth: a node may end up exactly kMaxDepth deep, no deeper.
        {Op::MoveSubtree, {num(b.h("leaf")), num(b.h(deepest)), num(0)}, E_OK},
        {Op::MoveSubtree, {num(pair), num(b.h(deepest)), num(0)}, E_NALLOWED},
        {Op::MoveSubtree, {num(pair), num(b.h(below)), num(0)}, E_OK},
        {Op::CreateNodeOnController, {text(deepest + ".v"), num(VT_I32), num(0)}, E_OK},
        {Op::CreateNodeOnController, {text(below + ".pair.inner.v"), num(VT_I32), num(0)}, E_INVALID},
        // Names.
        {Op::CreateNodeOnController, {text(longest), num(VT_I32), num(0)}, E_OK},
        {Op::CreateNodeOnController, {text(longest + "n"), num(VT_I32), num(0)}, E_INVALID},
        {Op::RenameNode, {num(note), text(std::string(kMaxNameLength, 'm'))}, E_OK, {{num(note), text(longest + "m")}}, E_INVALID},
        {Op::RenameNode, {num(note), text(" ~\x80")}, E_OK},
        {Op::RenameNode, {num(note), text("Note")}, E_OK},
        // Values.
        {Op::SetNodeValueString, {num(note), text(max_text)}, E_OK, {{num(note), text(max_text + "x")}}, E_RANGE},
        {Op::WriteNodeSync, {num(note)}, E_OK},
        {Op::GetNodeValueStringLen, {num(note)}, static_cast<int32_t>(kMaxValueText)},
        {Op::SetNodeValueString, {num(raw), text(max_bin)}, E_OK, {{num(raw), text(max_bin + "00")}}, E_RANGE},
        {Op::WriteNodeSync, {num(raw)}, E_OK},
        {Op::GetNodeValueBinCopyLen, {num(raw)}, static_cast<int32_t>(kMaxBinBytes)},
        // A job's outcome and run time.
        {Op::ApiSetJob, {text("Job"), num(none), num(kMaxDurationMs)}, E_OK, {{text("Job"), num(none + 1), num(-1)}}, E_RANGE},
        {Op::ApiSetJob, {text("Job"), num(-1), num(-1)}, E_OK, {{text("Job"), num(-1), num(kMaxDurationMs + 1)}}, E_RANGE},
    });
    // No dots, semicolons (they separate job names) or control characters.
    for (const char* bad : {"a;b", "a.b", "a\x1F", "a\x7F", ""})
        EXPECT_EQ(b.call(Op::RenameNode, {num(note), text(bad)}), E_INVALID) << bad;
    EXPECT_EQ(b.m.full_name(b.h(deepest + ".leaf")), deepest + ".leaf");
    EXPECT_NE(b.h(below + ".pair.inner"), -1) << "moved in whole";
    b.m.inspect([&](const MachineView& v) {  // -1 keeps what is set
        EXPECT_TRUE(v.tree.find("Job")->job.duration_ms == kMaxDurationMs && v.tree.find("Job")->job.outcome == JobOutcome::None);
    });
}

// The machine holds at most kMaxNodes nodes, whether a scenario or clients
// make them.
TEST(RequestPath, NodesStopAtTheirLimit) {
    auto machine = [](size_t nodes) {
        std::string text = R"({"job_node_types": [{"name": "Line", "usercreatable": true}], "nodes": [{"name": "Job", "type": "VT_JOB"},
            {"name": "f", "type": "FOLDER", "children": [)";
        for (size_t i = 2; i < nodes; ++i) text += (i > 2 ? R"(,{"name": "v)" : R"({"name": "v)") + std::to_string(i) + R"(", "type": "FOLDER"})";
        return text + "]}]}";
    };
    Bench b(machine(kMaxNodes));
    check(b, {{Op::CreateNodeOnController, {text("g"), num(VT_I32), num(0)}, E_NOMEM},
              {Op::CreateJobNodeOnController, {text("Job.L"), text("Line"), num(0)}, E_NOMEM},
              {Op::DeleteSingleNodeOnController, {num(b.h("f.v2"))}, E_OK},
              {Op::CreateJobNodeOnController, {text("Job.L"), text("Line"), num(0)}, E_OK}});
    MachineConfig cfg;
    EXPECT_FALSE(load_scenario_text(machine(kMaxNodes + 1), "t.json", cfg, b.error));
    EXPECT_NE(b.error.find("more than 100000 nodes"), std::string::npos) << b.error;
}

}  // namespace
}  // namespace tessaro::sim
