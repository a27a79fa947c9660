// The machine model in-process: values parsed and rendered per type; the
// node operations that no link of the program reaches (job nodes, delete,
// rename, move, collections) and the rules under those it does (refusals,
// pending values, copies into sized buffers); the job run and the PLC word
// stepped with a manual clock (outcomes and stuck jobs are seen end to end).
#include <gtest/gtest.h>

#include "default_scenario.h"
#include "support.h"
#include "value.h"

namespace tessaro::sim {
namespace {

VarDef var(int32_t type, float min = 0, float max = 0, std::vector<std::string> options = {}) {
    return {type, min, max, std::move(options)};
}
// One definition per type, and the limited and optioned variants.
const VarDef i32 = var(VT_I32), i64 = var(VT_I64), r32 = var(VT_R32), r64 = var(VT_R64), boolean = var(VT_BOOLEAN);
const VarDef str = var(VT_STR), text = var(VT_TEXT), file = var(VT_FILE), bin = var(VT_BIN), no_options = var(VT_SEL);
const VarDef sel = var(VT_SEL, 0, 0, {"manual", "auto"}), set = var(VT_SET, 0, 0, {"laser", "camera", "vacuum"});
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

TEST(Value, TextIsParsedIntoCanonicalFormOrRefused) {
    const std::tuple<const VarDef&, std::string, std::string> cases[] = {
        {i32, "+007", "7"}, {i32, "-2147483648", "-2147483648"}, {limited, "10000", "10000"},
        {i64, "-9223372036854775808", "-9223372036854775808"}, {unlimited, "-100", "-100"},
        {r32_limited, "2.50000001", "2.5"},  // rounds onto the limit
        {r32, "1.1", "1.1"}, {r32, "16777217", "16777216"}, {r64, "0.1", "0.1"}, {r64, "1e3", "1000"},
        {r64, "-0", "0"}, {r64, "0.000015", "0.000015"}, {r64, "1e20", "1e+20"}, {r64, "-2.5e-300", "-2.5e-300"},
        {boolean, "TRUE", "true"}, {boolean, "1", "true"}, {boolean, "False", "false"}, {boolean, "0", "false"},
        {str, "  blanks kept  ", "  blanks kept  "}, {text, "a\r\nb\n", "a\r\nb\n"}, {sel, "auto", "auto"},
        {text, std::string(kMaxValueText, 'x'), std::string(kMaxValueText, 'x')},
        {set, "vacuum, laser", "laser,vacuum"}, {set, "camera,camera", "camera"}, {set, "  ", ""},
        {bin, "00 7f 80\nFF", "007F80FF"},

        {i32, "2147483648", kRange}, {i32, "-2147483649", kRange}, {i64, "9223372036854775808", kRange},
        {i64, "99999999999999999999999", kRange}, {limited, "10001", kRange}, {limited, "-1", kRange},
        {r32_limited, "2.501", kRange}, {r64_limited, "150.0000001", kRange}, {r32, "1e39", kRange},
        {r64, "1e400", kRange}, {text, std::string(kMaxValueText + 1, 'x'), kRange},
        {str, "a\nb", kInvalid}, {file, "a\rb", kInvalid}, {text, std::string("a\0b", 3), kInvalid},
        {r32_limited, "-0.001", kRange}, {sel, "Auto", kRange}, {no_options, "", kRange},
        {set, "laser,,camera", kInvalid}, {set, "laser,", kInvalid}, {set, "laser,drill", kRange},
        {bin, "ABC", kInvalid}, {bin, "0G", kInvalid}, {bin, "A B", kInvalid},
        {bin, std::string(2 * (kMaxBinBytes + 1), 'A'), kRange},
    };
    for (const auto& [def, in, out] : cases) EXPECT_EQ(parsed(def, in), out) << def.type << " " << in.substr(0, 40);
    for (const char* bad : {"", "-", "+", " 1", "1 ", "1.0", "0x10", "1e3", "12a"})
        EXPECT_EQ(parsed(i32, bad), kInvalid) << bad;
    for (const char* bad : {"", "nan", "inf", "-inf", "1,5", "0x1p3", "1e", ".", "1.2.3", " 1"})
        EXPECT_EQ(parsed(r64, bad), kInvalid) << bad;
    for (const char* bad : {"", "yes", "2", "truee", " true"}) EXPECT_EQ(parsed(boolean, bad), kInvalid) << bad;
}

TEST(Value, DefaultsStayInsideTheLimits) {
    const std::pair<VarDef, const char*> cases[] = {
        {i32, "0"}, {var(VT_I32, 3.5f, 9), "4"}, {var(VT_R64, -5, -1), "-1"}, {bin, ""}, {sel, "manual"}};
    for (const auto& [def, shown] : cases) EXPECT_EQ(render(def, default_value(def)), shown) << def.type;
}

using Names = std::vector<std::string>;
using Words = std::vector<uint32_t>;
constexpr uint32_t kReady = plc_bit(PLC_JOB_READY), kActive = plc_bit(PLC_JOB_ACTIVE);
constexpr uint32_t kCompleted = plc_bit(PLC_JOB_COMPLETED);
constexpr uint32_t kBase = plc_bit(PLC_DEVICES_READY) | plc_bit(PLC_SYSTEM_READY);

// The words pushed to the registered session, in order.
struct Recorder : PlcSink {
    void plc_changed(uint32_t word) override { words.push_back(word); }
    Words words;
};

// The default machine on a manual clock, its PLC events recorded.
class MachineTest : public ::testing::Test {
protected:
    MachineTest() : m(test::load(default_scenario_text()), [this] { return now; }) { m.register_plc(s, &events); }

    int32_t h(const std::string& name) { return m.get_node(name); }
    proto::NodeInfo info(int32_t node) {
        proto::NodeInfo i;
        EXPECT_EQ(m.node_info(node, i), E_OK) << node;
        return i;
    }
    Names children(const std::string& name) {
        Names out;
        m.inspect([&](const MachineView& v) {
            for (const Node* c : v.tree.find(name)->children) out.push_back(c->name);
        });
        return out;
    }
    void step(int ms) {
        now += std::chrono::milliseconds(ms);
        m.run_due();
    }

    TimePoint now{};
    Machine m;
    Session s;
    Recorder events;
};

TEST_F(MachineTest, CreateRefusesWhatTheTreeCannotHold) {
    EXPECT_EQ(m.create_node("demo.Speed.v", VT_I32), E_NALLOWED);  // under a variable
    EXPECT_EQ(m.create_node("jobs.Demo.v", VT_I32), E_NALLOWED);   // under a job
    EXPECT_EQ(m.create_node("scratch.t", VT_JOB), E_INVALID);      // no variable type

    EXPECT_EQ(m.create_job_node("jobs.Demo.L1", "Line"), E_OK);
    EXPECT_EQ(m.create_job_node("jobs.Demo.Outline.L2", "Line"), E_OK);     // Group accepts subnodes
    EXPECT_EQ(m.create_job_node("jobs.Demo.G2", "jobnodes.Group"), E_OK);  // by full name
    EXPECT_EQ(m.create_job_node("jobs.Demo.L1.L3", "Line"), E_NALLOWED);   // Line does not
    EXPECT_EQ(m.create_job_node("scratch.L", "Line"), E_NALLOWED);         // not in a job
    EXPECT_EQ(m.create_job_node("jobs.Demo.O", "Origin"), E_ACCESS);       // not user-creatable
    EXPECT_EQ(m.create_job_node("jobs.Demo.L1", "Line"), E_EXIST);
    EXPECT_EQ(children("jobs.Demo"), (Names{"Start", "Outline", "L1", "G2"}));
    EXPECT_EQ(info(h("jobs.Demo.Outline.L2")).typestring, "Line");
}

TEST_F(MachineTest, DeleteRenameAndMove) {
    int32_t speed = h("demo.Speed"), scratch = h("scratch"), last = h("jobs.DemoFail.Edge");
    EXPECT_EQ(m.delete_node(h("demo.Label")), E_OK);
    ASSERT_EQ(m.create_node("demo.Label", VT_STR), E_OK);
    EXPECT_GT(h("demo.Label"), last);  // a fresh handle, not the old one
    EXPECT_EQ(m.delete_node(h("demo")), E_NALLOWED);  // has children
    EXPECT_EQ(m.delete_node(h("sys.SerialNo")), E_ACCESS);

    EXPECT_EQ(m.rename_node(h("demo"), "cell"), E_OK);
    EXPECT_EQ(info(speed).fullname + "|" + info(speed).path, "cell.Speed|cell");
    EXPECT_EQ(m.rename_node(speed, "Gain"), E_EXIST);
    EXPECT_EQ(m.rename_node(speed, "Speed"), E_OK);  // its own name
    EXPECT_EQ(m.rename_node(speed, "p.q"), E_INVALID);
    EXPECT_EQ(m.rename_node(h("sys.SerialNo"), "S"), E_ACCESS);

    EXPECT_EQ(m.move_subtree(speed, scratch, 0), E_OK);
    EXPECT_EQ(m.move_subtree(h("cell.Gain"), scratch, -1), E_OK);  // -1 appends
    EXPECT_EQ(m.move_subtree(h("cell.Counter"), scratch, 1), E_OK);
    EXPECT_EQ(children("scratch"), (Names{"Speed", "Counter", "Gain"}));
    // Within one parent the position counts the siblings without the node.
    EXPECT_EQ(m.move_subtree(speed, scratch, 2), E_OK);
    EXPECT_EQ(m.move_subtree(speed, scratch, 3), E_RANGE);
    EXPECT_EQ(m.move_subtree(h("cell.deep"), h("cell.deep.deeper"), 0), E_INVALID);  // into itself
    ASSERT_EQ(m.create_node("scratch.Label", VT_STR), E_OK);
    EXPECT_EQ(m.move_subtree(h("cell.Label"), scratch, 0), E_EXIST);
    EXPECT_EQ(m.move_subtree(speed, h("jobs.Demo"), 0), E_NALLOWED);
    EXPECT_EQ(m.move_subtree(h("sys.SerialNo"), scratch, 0), E_ACCESS);
    EXPECT_EQ(children("scratch"), (Names{"Counter", "Gain", "Speed", "Label"}));  // the refusals moved nothing
}

TEST_F(MachineTest, SetValuesAreTheSessionsOwnUntilWritten) {
    Session other;
    int32_t x = h("demo.Speed");
    ASSERT_EQ(m.set_value(s, x, "42"), E_OK);
    EXPECT_EQ(m.write_sync(other, x), E_OK);  // writes nothing of s
    EXPECT_EQ(info(x).value, "1200");
    EXPECT_EQ(m.write_sync(s, x), E_OK);
    EXPECT_EQ(info(x).value, "42");
    ASSERT_EQ(m.set_value(other, x, "43"), E_OK);
    EXPECT_EQ(m.read_node(other, x), E_OK);  // a read replaces what was set
    EXPECT_EQ(m.write_sync(other, x), E_OK);
    EXPECT_EQ(info(x).value, "42");
    ASSERT_EQ(m.set_value(s, x, "44"), E_OK);
    ASSERT_EQ(m.delete_node(x), E_OK);
    EXPECT_EQ(m.write_sync(s, x), E_NOEXIST);
}

TEST_F(MachineTest, CopiesNeedRoomForTheTerminatorBinaryOnesTheExactSize) {
    std::string v;
    std::vector<uint8_t> bytes;
    int32_t serial = h("sys.SerialNo"), calibration = h("demo.Calibration");  // 12 characters, 20 bytes
    EXPECT_EQ(m.value_string(serial, 12, v), E_NOSPACE);
    EXPECT_EQ(m.value_string(serial, 0, v), E_INVALID);
    EXPECT_EQ(m.value_string(serial, 13, v), E_OK);
    EXPECT_EQ(m.bin_copy(calibration, 19, bytes), E_NOSPACE);
    EXPECT_EQ(m.bin_copy(calibration, 21, bytes), E_NOSPACE);
    EXPECT_EQ(m.bin_copy(calibration, 20, bytes), E_OK);
}

TEST_F(MachineTest, CollectionsBelongToTheirSessionAndAreFew) {
    Session other;
    int32_t c = m.create_collection(s), n = -1;
    EXPECT_TRUE(m.collection_count(s, c, n) == E_OK && n == 0);
    EXPECT_EQ(m.collection_count(other, c, n), E_INVALID);
    for (size_t i = 1; i < kMaxCollections; ++i) ASSERT_NE(m.create_collection(s), -1) << i;
    EXPECT_EQ(m.create_collection(s), -1);
    m.end_session(s);
    EXPECT_NE(m.create_collection(s), -1);
}

TEST_F(MachineTest, JobsGetReadyRunAndEndWithTheirEvents) {
    ASSERT_EQ(m.select_node(h("demo.Label")), E_OK);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);  // not a job
    ASSERT_EQ(m.select_node(h("jobs.Demo")), E_OK);
    step(99);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);
    step(1);
    ASSERT_EQ(m.job_start(), E_OK);
    EXPECT_EQ(m.job_start(), E_BUSY);
    EXPECT_EQ(m.select_node(h("demo.Label")), E_BUSY);
    EXPECT_EQ(m.create_job_node("jobs.Demo.Outline.L", "Line"), E_BUSY);
    EXPECT_EQ(m.delete_node(h("jobs.Demo.Start")), E_BUSY);
    EXPECT_EQ(m.move_subtree(h("jobs.Demo"), h("scratch"), 0), E_BUSY);
    EXPECT_EQ(m.rename_node(h("jobs.Demo"), "K"), E_OK);
    EXPECT_EQ(m.job_info().selectednode, "jobs.K");
    step(999);
    EXPECT_EQ(m.plc_state(), kBase | kActive);
    step(1);
    EXPECT_EQ(m.plc_state(), kBase | kCompleted);
    step(100);
    ASSERT_EQ(m.job_start(), E_OK);  // clears the outcome of the last run
    step(1000);
    ASSERT_EQ(m.select_node(h("jobs.DemoFail")), E_OK);
    step(100);
    ASSERT_EQ(m.select_node(h("jobs.DemoFail")), E_OK);  // already selected and ready: no change
    ASSERT_EQ(m.select_node(h("demo.Label")), E_OK);
    ASSERT_EQ(m.delete_node(h("demo.Label")), E_OK);  // deleting the selection forgets it
    EXPECT_EQ(m.job_info().selectednode, "");
    const uint32_t done = kBase | kCompleted;
    const Words words{kBase | kReady, kBase | kActive, done, done | kReady, kBase | kActive, done, done | kReady, done};
    EXPECT_EQ(events.words, words);
    m.unregister_plc(s);
    ASSERT_EQ(m.select_node(h("jobs.K")), E_OK);
    step(100);
    EXPECT_EQ(events.words, words) << "events after unregistering";
}

}  // namespace
}  // namespace tessaro::sim
