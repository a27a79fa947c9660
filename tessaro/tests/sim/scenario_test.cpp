// Scenario loading: errors point at the offending value, the default machine
// has what the programs rely on, and the documented example loads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "default_scenario.h"
#include "scenario.h"
#include "support.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// "LINE:COLUMN" of the character `skip` bytes after the first occurrence of
// `needle` in `text` (columns count characters, as the loader does).
std::string at(const std::string& text, const std::string& needle, size_t skip = 0) {
    size_t off = text.find(needle);
    EXPECT_NE(off, std::string::npos) << needle;
    off += skip;
    size_t line = 1, col = 1;
    for (size_t i = 0; i < off; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') line++, col = 1;
        else if ((c & 0xC0) != 0x80) ++col;
    }
    return std::to_string(line) + ":" + std::to_string(col);
}

struct BadCase {
    const char* text;
    const char* needle;  // the offending value starts here
    size_t skip;
    const char* says;
};

TEST(ScenarioErrors, PointAtTheOffendingValue) {
    const BadCase cases[] = {
        {R"({"nodes": [{"name": "a", "type": "VT_FOO"}]})", "\"VT_FOO", 0, "unknown type name 'VT_FOO'"},
        {R"({"nodes": [{"name": "a", "type": "FOLDER"},
                       {"name": "a", "type": "VT_I32"}]})", "\"a\", \"type\": \"VT_I32", 0, "duplicate node name 'a'"},
        {R"({"nodes": [{"name": "f", "type": "FOLDER", "children": [
              {"name": "v", "type": "VT_I32", "value": "12x"}]}]})", "\"12x", 0, "'12x' is not a valid VT_I32 value"},
        {R"({"nodes": [{"name": "g", "type": "VT_R32", "min": 0, "max": 2.5, "value": "3"}]})", "\"3\"", 0,
         "out of range"},
        {R"({"faults": [{"op": "GetNod", "result": -1}]})", "\"GetNod", 0, "unknown operation name 'GetNod'"},
        {R"({"job_node_types": [{"name": "Line"}],
             "nodes": [{"name": "J", "type": "VT_JOB", "children": [
               {"name": "n", "type": "JOBNODE", "nodetype": "Arc"}]}]})", "\"Arc", 0, "unknown job node type 'Arc'"},
        {R"({"nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": "10"}]})", "\"10\"", 0,
         "expected an integer for duration_ms, found a string"},
        {R"({"nodes": [{"name": "v", "type": "VT_I32", "colour": "red"}]})", "\"colour", 0, "unknown key 'colour'"},
        {R"({"name": "a", "name": "b"})", "\"name\": \"b", 0, "duplicate key 'name'"},
        {R"({"nodes": [{"name": "v"}]})", "{\"name\": \"v", 0, "missing key 'type'"},
        {R"({"plc": {"selected": "jobs.Nope"}})", "\"jobs.Nope", 0, "no node named 'jobs.Nope'"},
        {R"({"drivers": [{"name": "d"}], "devices": [{"name": "x", "driver": "e"}]})", "\"e\"", 0, "unknown driver 'e'"},
        {R"({"drivers": [{"name": "d"}], "devices": [{"name": "x", "driver": "d", "dependencies": ["y"]}]})", "\"y\"", 0,
         "unknown device 'y'"},
        {R"({"faults": [{"op": "JobStart", "result": -9, "action": "close"}]})", "\"close", 0, "either a result or an action"},
        {R"({"faults": [{"op": "JobStart", "node": "jobs.Demo", "result": -9}]})", "\"jobs.Demo", 0, "JobStart names no node"},
        {R"({"faults": [{"op": "GetPLCState", "handle": 1, "result": -9}]})", "1,", 0, "GetPLCState carries no handle"},
        {R"({"faults": [{"op": "JobStart"}]})", "{\"op", 0, "needs a result, an action or a delay_ms"},
        {R"({"nodes": [{"name": "J", "type": "VT_JOB", "children": [{"name": "v", "type": "VT_I32"}]}]})",
         "\"VT_I32", 0, "cannot be inside a job"},
        {R"({"nodes": [{"name": "v", "type": "VT_I32", "options": ["a"]}]})", "\"options", 0,
         "'options' does not apply to a VT_I32 variable"},
        {R"({"nodes": [{"name": "a.b", "type": "FOLDER"}]})", "\"a.b", 0, "invalid node name 'a.b'"},
        {R"({"plc": {"state": ["PLC_JOB_READY", "PLC_BOGUS"]}})", "\"PLC_BOGUS", 0, "unknown PLC state"},
        {R"({"nodes": [{"name": "v", "type": "VT_I32", "min": 3, "max": 9, "value": "12"}]})", "\"12", 0, "limits 3 to 9"},
        {R"([])", "[", 0, "expected the scenario (an object), found an array"},
    };
    for (const auto& c : cases) {
        std::string err = test::load_error(c.text);
        EXPECT_THAT(err, StartsWith("t.json:" + at(c.text, c.needle, c.skip) + ": ")) << c.text;
        EXPECT_THAT(err, HasSubstr(c.says)) << c.text;
    }
}

TEST(ScenarioErrors, SyntaxErrorsGiveLineAndColumn) {
    std::string text = "{\n  \"nodes\": [\n    {\"name\": \"é\",, \"type\": \"FOLDER\"}\n  ]\n}\n";
    std::string err = test::load_error(text);
    EXPECT_THAT(err, StartsWith("t.json:" + at(text, ",,", 1) + ": syntax error"));
    EXPECT_THAT(err, StartsWith("t.json:3:18: "));  // é counts as one column

    EXPECT_THAT(test::load_error("{\"nodes\": [}"), StartsWith("t.json:1:12: syntax error"));
    EXPECT_THAT(test::load_error(""), StartsWith("t.json:1:1: syntax error"));
    EXPECT_THAT(test::load_error("{\"name\": \"x\"} @"), StartsWith("t.json:1:15: syntax error"));
}

TEST(ScenarioErrors, MessagesStayOnOneLine) {
    std::string err = test::load_error(R"({"nodes": [{"name": "a\nb", "type": "FOLDER"}]})");
    EXPECT_THAT(err, HasSubstr("invalid node name 'a\\nb'"));
    EXPECT_EQ(err.find('\n'), std::string::npos);
}

TEST(ScenarioErrors, DeepNestingIsRefusedNotRecursedInto) {
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_THAT(test::load_error(deep), HasSubstr("nesting deeper than"));
}

TEST(ScenarioErrors, LargeScenariosAreCheckedWithoutRescanning) {
    std::string text = R"({"nodes": [{"name": "f", "type": "FOLDER", "children": [)";
    for (int i = 0; i < 50000; ++i) text += R"({"name": "v)" + std::to_string(i) + R"(", "type": "VT_I32"},)";
    text += R"({"name": "v123", "type": "VT_I32"}]}]})";
    EXPECT_THAT(test::load_error(text), HasSubstr("duplicate node name 'f.v123'"));
}

TEST(ScenarioFiles, UnreadableFilesNameTheReason) {
    MachineConfig cfg;
    std::string err;
    EXPECT_FALSE(load_scenario_file("/nonexistent/scenario.json", cfg, err));
    EXPECT_EQ(err, "/nonexistent/scenario.json: No such file or directory");
    EXPECT_FALSE(load_scenario_file("/", cfg, err));
    EXPECT_EQ(err, "/: Is a directory");
}

TEST(DefaultScenario, IsTheFileInTheSourceTree) {
    EXPECT_EQ(default_scenario_text(), test::read_file(TESSARO_SOURCE_DIR "/tessaro/sim/scenarios/default.json"));
}

class DefaultMachine : public ::testing::Test {
protected:
    DefaultMachine() : m(test::load(default_scenario_text())) {}
    proto::NodeInfo info(const std::string& name) {
        proto::NodeInfo i;
        EXPECT_EQ(m.node_info(m.get_node(name), i), E_OK) << name;
        return i;
    }
    Machine m;
    Session s;
};

TEST_F(DefaultMachine, HasTheVariablesTheProgramsUse) {
    proto::NodeInfo addr = info("sys.BoardAddr");
    EXPECT_EQ(addr.type, VT_STR);
    EXPECT_EQ(addr.value, "192.168.10.20");
    EXPECT_EQ(m.get_parent(m.get_node("sys.BoardAddr")), m.get_node("sys"));

    const char* per_type[] = {"demo.Speed", "demo.Counter", "demo.Gain",     "demo.Temperature",
                              "demo.Enabled", "demo.Label", "demo.Mode",     "demo.Features",
                              "demo.Calibration", "demo.Notes", "demo.Program"};
    for (int32_t t = VT_I32; t <= VT_FILE; ++t) EXPECT_EQ(info(per_type[t - 1]).type, t) << per_type[t - 1];

    proto::NodeInfo gain = info("demo.Gain");
    EXPECT_EQ(gain.min, 0.0f);
    EXPECT_EQ(gain.max, 2.5f);
    EXPECT_EQ(m.set_value(s, m.get_node("demo.Gain"), "2.6"), E_RANGE);
    EXPECT_EQ(m.set_value(s, m.get_node("sys.SerialNo"), "X"), E_ACCESS);
    EXPECT_EQ(info("demo.Empty").value, "");
    EXPECT_NE(info("demo.Notes").value.find('\n'), std::string::npos);
    EXPECT_GT(info("demo.Counter").nodeid, int64_t(1) << 32);
    EXPECT_EQ(info("demo.deep.deeper.deepest").type, VT_INV);

    std::vector<uint8_t> bin;
    ASSERT_EQ(m.bin_copy(m.get_node("demo.Calibration"), 64, bin), E_OK);
    EXPECT_GE(bin.size(), 20u);
    EXPECT_TRUE(std::any_of(bin.begin(), bin.end(), [](uint8_t b) { return b >= 0x80; }));
    EXPECT_TRUE(std::any_of(bin.begin(), bin.end(), [](uint8_t b) { return b < 0x20; }));
}

TEST_F(DefaultMachine, HasJobsDevicesAndMessages) {
    proto::JobInfo jobs = m.job_info();
    EXPECT_EQ(jobs.fulljobnames, (std::vector<std::string>{"jobs.Demo", "jobs.DemoFail"}));
    EXPECT_EQ(jobs.jobnames, (std::vector<std::string>{"Demo", "DemoFail"}));
    EXPECT_EQ(m.job_names(), "jobs.Demo;jobs.DemoFail");
    EXPECT_GE(m.job_node_type_count(), 2);
    EXPECT_EQ(m.plc_state(), plc_bit(PLC_DEVICES_READY) | plc_bit(PLC_SYSTEM_READY));

    EXPECT_GE(m.drivers().size(), 2u);
    auto devices = m.devices();
    auto named = [&devices](const std::string& n) {
        for (const auto& d : devices)
            if (d.name == n) return d;
        ADD_FAILURE() << n;
        return proto::Device{};
    };
    EXPECT_TRUE(named("IO1").dependencies.empty() && named("IO1").dependson.empty());
    EXPECT_EQ(named("Gantry").dependencies, (std::vector<std::string>{"AxisX", "AxisY"}));
    EXPECT_EQ(named("AxisX").dependson, (std::vector<std::string>{"Gantry"}));
    EXPECT_EQ(named("Laser").stat_str, "");
    EXPECT_EQ(named("Laser").state, XAL_DEV_INACTIVE);
    EXPECT_EQ(named("Gantry").dependenciesvarname, "sys.GantryDeps");
    proto::Device d;
    EXPECT_EQ(m.device(named("AxisY").handle, d), E_OK);
    EXPECT_EQ(d.name, "AxisY");
    EXPECT_EQ(m.device(99, d), E_NOEXIST);

    EXPECT_GT(m.sysmsg_len(1), 0);
    EXPECT_GT(m.sysmsg_len(2), 0);
    EXPECT_EQ(m.sysmsg_len(3), E_INVALID);
    std::string xml;
    EXPECT_EQ(m.sysmsg_copy(1, m.sysmsg_len(1) + 1, xml), E_OK);
    EXPECT_THAT(xml, StartsWith("<?xml"));
}

TEST(DocumentedScenario, TheExampleLoads) {
    std::string doc = test::read_file(TESSARO_SOURCE_DIR "/docs/scenario.md");
    size_t start = doc.find("```json\n");
    ASSERT_NE(start, std::string::npos);
    start += std::strlen("```json\n");
    size_t end = doc.find("```", start);
    ASSERT_NE(end, std::string::npos);
    MachineConfig cfg = test::load(doc.substr(start, end - start));
    EXPECT_FALSE(cfg.faults.empty());
    Machine m(std::move(cfg));
    EXPECT_NE(m.get_node("cell.Feed"), -1);
    EXPECT_FALSE(m.job_info().fulljobnames.empty());
}

}  // namespace
}  // namespace tessaro::sim
