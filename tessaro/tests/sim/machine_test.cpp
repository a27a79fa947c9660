// The machine model in-process: values parsed and rendered per type, and the
// node operations that no link of the program reaches (job nodes, delete,
// rename, move, values pending per session, collections). Reads, writes,
// creates, job runs, their timings and events are the end-to-end
// transcripts'.
#include <gtest/gtest.h>

#include "default_scenario.h"
#include "support.h"
#include "value.h"

namespace tessaro::sim {
namespace {

VarDef var(int32_t type, float min = 0, float max = 0, std::vector<std::string> options = {}) {
    return {type, min, max, std::move(options)};
}
const VarDef i32 = var(VT_I32), i64 = var(VT_I64), r32 = var(VT_R32), r64 = var(VT_R64), boolean = var(VT_BOOLEAN);
const VarDef str = var(VT_STR), bin = var(VT_BIN), no_options = var(VT_SEL);
const VarDef set = var(VT_SET, 0, 0, {"laser", "camera", "vacuum"});
const VarDef limited = var(VT_I32, 0, 10000), unlimited = var(VT_I32, 5, 5);  // min == max: no limits
const VarDef r32_limited = var(VT_R32, 0, 2.5f), r64_limited = var(VT_R64, -40, 150);
const std::string kRange = "E" + std::to_string(E_RANGE), kInvalid = "E" + std::to_string(E_INVALID);

// The rendering of parsed text, or "E" and the result of a refusal, which
// must leave the value alone.
std::string parsed(const VarDef& def, const std::string& in) {
    Value v;
    v.text = "untouched";
    int rc = parse_value(def, in, v);
    if (rc == E_OK) return render(def, v);
    EXPECT_TRUE(v.text == "untouched" && v.bytes.empty()) << "a refused parse changed the value";
    return "E" + std::to_string(rc);
}

TEST(Value, TextIsParsedIntoCanonicalFormOrRefusedAndDefaultsKeepTheLimits) {
    // The longest text and bytes are the request path's limits.
    const std::tuple<const VarDef&, std::string, std::string> cases[] = {
        {i32, "+007", "7"}, {i64, "-9223372036854775808", "-9223372036854775808"}, {limited, "10000", "10000"},
        {unlimited, "-100", "-100"}, {r32_limited, "2.50000001", "2.5"}, {r32, "16777217", "16777216"},  // rounded
        {r64, "0.1", "0.1"}, {r64, "1e20", "1e+20"}, {boolean, "TRUE", "true"}, {set, "vacuum, laser", "laser,vacuum"},
        {set, "camera,camera", "camera"}, {bin, "00 7f 80\nFF", "007F80FF"}, {i32, "2147483648", kRange},
        {i64, "9223372036854775808", kRange}, {limited, "-1", kRange}, {r32_limited, "2.501", kRange},
        {r64_limited, "150.0000001", kRange}, {r32, "1e39", kRange}, {no_options, "", kRange}, {set, "laser,drill", kRange},
        {str, "a\nb", kInvalid}, {set, "laser,,camera", kInvalid}, {bin, "ABC", kInvalid}, {i32, " 1", kInvalid},
        {i32, "1.0", kInvalid}, {r64, "nan", kInvalid}, {r64, "1e", kInvalid}, {boolean, "2", kInvalid}};
    for (const auto& [def, in, out] : cases) EXPECT_EQ(parsed(def, in), out) << def.type << " " << in.substr(0, 40);
    const std::pair<VarDef, const char*> defaults[] = {{var(VT_I32, 3.5f, 9), "4"}, {var(VT_R64, -5, -1), "-1"}};
    for (const auto& [def, shown] : defaults) EXPECT_EQ(render(def, default_value(def)), shown) << def.type;
}

using Names = std::vector<std::string>;

// The default machine and one client session of it.
class MachineTest : public ::testing::Test {
protected:
    int32_t h(const std::string& name) { return m.get_node(name); }
    proto::NodeInfo info(int32_t node, proto::NodeInfo i = {}) {
        EXPECT_EQ(m.node_info(node, i), E_OK) << node;
        return i;
    }
    Names children(const std::string& name, Names out = {}) {
        m.inspect([&](const MachineView& v) { for (const Node* c : v.tree.find(name)->children) out.push_back(c->name); });
        return out;
    }

    Machine m{test::load(default_scenario_text())};
    Session s;
};

// No link of the program creates job nodes, deletes, renames or moves; the
// library's clients may. What the request path's table refuses of each (a
// read-only node, a name taken, a job node type not user-creatable) is not
// repeated here.
TEST_F(MachineTest, CreateRefusesWhatTheTreeCannotHold) {
    const std::tuple<const char*, int32_t, int> nodes[] = {
        {"demo.Speed.v", VT_I32, E_NALLOWED}, {"jobs.Demo.v", VT_I32, E_NALLOWED}, {"scratch.t", VT_JOB, E_INVALID}};
    for (const auto& [name, type, rc] : nodes) EXPECT_EQ(m.create_node(name, type), rc) << name;
    const std::tuple<const char*, const char*, int> job_nodes[] = {
        {"jobs.Demo.L1", "Line", E_OK}, {"jobs.Demo.Outline.L2", "Line", E_OK},  // Group accepts subnodes
        {"jobs.Demo.G2", "jobnodes.Group", E_OK}, {"jobs.Demo.L1.L3", "Line", E_NALLOWED},  // Line does not
        {"scratch.L", "Line", E_NALLOWED}, {"jobs.Demo.L1", "Line", E_EXIST}};
    for (const auto& [name, type, rc] : job_nodes) EXPECT_EQ(m.create_job_node(name, type), rc) << name;
    EXPECT_EQ(children("jobs.Demo"), (Names{"Start", "Outline", "L1", "G2"}));
    EXPECT_EQ(info(h("jobs.Demo.Outline.L2")).typestring, "Line");
}

TEST_F(MachineTest, DeleteRenameAndMove) {
    const int32_t speed = h("demo.Speed"), last = h("jobs.DemoFail.Edge");
    EXPECT_EQ(m.delete_node(h("demo.Label")), E_OK);
    ASSERT_EQ(m.create_node("demo.Label", VT_STR), E_OK);
    EXPECT_GT(h("demo.Label"), last);  // a fresh handle, not the old one
    EXPECT_EQ(m.delete_node(h("demo")), E_NALLOWED);  // has children
    EXPECT_EQ(m.rename_node(h("demo"), "cell"), E_OK);
    EXPECT_EQ(info(speed).fullname + "|" + info(speed).path, "cell.Speed|cell");
    EXPECT_EQ(m.rename_node(speed, "Speed"), E_OK);  // its own name
    EXPECT_EQ(m.rename_node(h("sys.SerialNo"), "S"), E_ACCESS);
    ASSERT_EQ(m.create_node("scratch.Label", VT_STR), E_OK);
    // Node, new parent, position, result. -1 appends; within one parent the
    // position counts the siblings without the node.
    const std::tuple<const char*, const char*, int32_t, int> moves[] = {
        {"cell.Speed", "scratch", 0, E_OK}, {"cell.Gain", "scratch", -1, E_OK}, {"cell.Counter", "scratch", 1, E_OK},
        {"scratch.Speed", "scratch", 3, E_OK}, {"scratch.Speed", "scratch", 4, E_RANGE},
        {"cell.deep", "cell.deep.deeper", 0, E_INVALID}, {"cell.Label", "scratch", 0, E_EXIST},
        {"scratch.Speed", "jobs.Demo", 0, E_NALLOWED}, {"sys.SerialNo", "scratch", 0, E_ACCESS}};
    for (const auto& [node, parent, at, rc] : moves)
        EXPECT_EQ(m.move_subtree(h(node), h(parent), at), rc) << node << " " << at;
    EXPECT_EQ(children("scratch"), (Names{"Counter", "Label", "Gain", "Speed"}));  // the refusals moved nothing
}

TEST_F(MachineTest, SetValuesAreTheSessionsOwnUntilWritten) {
    Session other;
    const int32_t x = h("demo.Speed");
    ASSERT_EQ(m.set_value(s, x, "42"), E_OK);
    EXPECT_TRUE(m.write_sync(other, x) == E_OK && info(x).value == "1200");  // writes nothing of s
    EXPECT_TRUE(m.write_sync(s, x) == E_OK && info(x).value == "42");
    ASSERT_EQ(m.set_value(other, x, "43"), E_OK);
    EXPECT_EQ(m.read_node(other, x), E_OK);  // a read replaces what was set
    EXPECT_TRUE(m.write_sync(other, x) == E_OK && info(x).value == "42");
    ASSERT_EQ(m.set_value(s, x, "44"), E_OK);
    ASSERT_EQ(m.delete_node(x), E_OK);
    EXPECT_EQ(m.write_sync(s, x), E_NOEXIST);
}

TEST_F(MachineTest, CollectionsBelongToTheirSessionAndAreFew) {
    Session other;
    int32_t c = m.create_collection(s), n = -1;
    EXPECT_TRUE(m.collection_count(s, c, n) == E_OK && n == 0 && m.collection_count(other, c, n) == E_INVALID);
    for (size_t i = 1; i < kMaxCollections; ++i) ASSERT_NE(m.create_collection(s), -1) << i;
    EXPECT_EQ(m.create_collection(s), -1);
    m.end_session(s);
    EXPECT_NE(m.create_collection(s), -1);
}

// Run-time control: a job's new outcome holds from its next run on, faults
// keep their numbers while others come and go, and a reset brings back the
// start without faults.
TEST(MachineControl, OutcomesFaultsAndReset) {
    TimePoint now{};
    Machine m(test::load(default_scenario_text()), [&now] { return now; });
    const uint32_t completed = plc_bit(PLC_JOB_COMPLETED), failed = plc_bit(PLC_JOB_FAILED);
    auto run = [&](bool change_midway) {
        now += std::chrono::seconds(1);
        m.run_due();  // ready
        EXPECT_EQ(m.job_start(), E_OK);
        if (change_midway) { EXPECT_EQ(m.set_job("Demo", JobOutcome::Failed, 5000), E_OK); }
        now += std::chrono::seconds(1);
        m.run_due();
        return m.plc_state() & (completed | failed);
    };
    ASSERT_EQ(m.select_node(m.get_node("jobs.Demo")), E_OK);
    EXPECT_EQ(run(true), completed) << "the run under way keeps its outcome";
    EXPECT_EQ(run(false), 0u) << "the next one takes 5 s";
    now += std::chrono::seconds(4);
    m.run_due();
    EXPECT_EQ(m.plc_state() & (completed | failed), failed);

    Fault once{proto::Op::GetNode, std::nullopt, std::nullopt, 2, 0, -2};
    Fault always{proto::Op::GetNode, std::nullopt, std::nullopt, 0, 0, -14};
    EXPECT_TRUE(m.add_fault(once) == 0u && m.add_fault(always) == 1u);
    Request get = Request::make(proto::Op::GetNode, {Arg{0, "demo.Speed"}});
    EXPECT_EQ(m.admit(get, false)->index, 1u);
    EXPECT_EQ(m.admit(get, false)->index, 0u) << "the earlier fault wins its call";
    EXPECT_FALSE(m.remove_fault(0)) << "a spent fault removes itself";
    EXPECT_EQ(m.add_fault(once), 2u) << "its number is not taken again";

    m.change_plc(plc_bit(PLC_ATTENTION), plc_bit(PLC_SYSTEM_READY));
    m.reset(test::load(default_scenario_text()));
    EXPECT_TRUE(m.fault_status().empty());
    EXPECT_EQ(m.plc_state(), plc_bit(PLC_DEVICES_READY) | plc_bit(PLC_SYSTEM_READY));
    m.inspect([](const MachineView& v) { EXPECT_EQ(v.tree.find("jobs.Demo")->job.outcome, JobOutcome::Completed); });
}

}  // namespace
}  // namespace tessaro::sim
