// Scenarios: a running machine saved as one loads as the same machine;
// loading errors point at the offending value on one line; the example in
// docs/scenario.md loads. Files that are no scenario are the process tests'.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include "default_scenario.h"
#include "scenario_writer.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// The loader's error for scenario text named t.json ("" when it loads).
std::string load_error(const std::string& text, MachineConfig cfg = {}, std::string error = "") {
    return load_scenario_text(text, "t.json", cfg, error) ? std::string() : error;
}

std::string saved(Machine& m, std::string text = "", std::string error = "") {
    m.inspect([&](const MachineView& v) { EXPECT_TRUE(write_scenario(v, text, error)) << error; });
    return text;
}

// Everything a client can read about the machine, handles aside (a loaded
// machine numbers its nodes anew), and the job and fault settings.
std::vector<uint8_t> observed(Machine& m) {
    wire::Writer w(wire::Kind::Reply, 1, 0);
    std::vector<int32_t> nodes;
    m.inspect([&](const MachineView& v) {
        for (const Node* n : v.tree.preorder()) {
            nodes.push_back(n->handle);
            w.i64(n->job.duration_ms).i64(n->job.ready_delay_ms).u32(int(n->job.outcome) + 4 * n->job.never_ready + 8 * n->job.never_active);
        }
        for (const Fault& f : v.faults)
            w.u32(uint32_t(f.op)).str(f.node.value_or("-")).i32(f.handle.value_or(-1)).i64(int64_t(f.call)).i64(int64_t(f.times))
                .i32(f.result.value_or(1)).u32(uint32_t(f.action)).i64(f.delay_ms);
    });
    proto::NodeInfo info;
    for (int32_t node : nodes) EXPECT_EQ(m.node_info(node, info), E_OK), info.handle = 0, proto::put(w, info);
    proto::JobNodeType t;
    for (int32_t i = 0; i < m.job_node_type_count(); ++i) m.job_node_type(i, t), proto::put(w, t);
    proto::put(w, m.job_info()), proto::put(w, m.drivers()), proto::put(w, m.devices());
    w.u32(m.plc_state()).str(m.server_name());
    return w.body();
}

TEST(ScenarioWriter, LoadingWhatItWritesGivesTheSameMachine) {
    MachineConfig cfg = test::load(default_scenario_text());
    // What the default machine lacks: flags, limits that are no short
    // decimal, unusual job settings, faults.
    Node* speed = cfg.tree.find("demo.Speed");
    speed->flags = 6;
    speed->def.min = std::nextafter(0.1f, 1.0f);
    speed->def.max = 1e30f;
    cfg.tree.find("jobs.Demo")->job = JobSettings{0, 7, JobOutcome::Both, true, true};
    cfg.faults = test::load(R"({"faults": [{"op": "WriteNodeSync", "node": "demo.Speed", "call": 3, "result": -13},
        {"op": "GetDeviceInfo", "handle": 2, "action": "close", "delay_ms": 5, "times": 2}]})").faults;
    Machine a(std::move(cfg));
    Session s;
    // What clients make: values that need escaping, nodes no hand-written
    // scenario could state (a VT_SEL without options), a selection.
    ASSERT_EQ(a.create_node("scratch.Sel", VT_SEL), E_OK);
    ASSERT_EQ(a.create_node("scratch.Raw", VT_BIN), E_OK);
    const std::pair<const char*, const char*> writes[] = {
        {"scratch.Raw", "00 FF 7f 0a"}, {"demo.Notes", "q\"b\\s\r\n\t\x01\x7F \xC3\xA9"},
        {"demo.Gain", "0.1"}, {"demo.Counter", "-9223372036854775808"}, {"demo.Features", "cooling, laser"}};
    for (const auto& wr : writes) {
        int32_t h = a.get_node(wr.first);
        ASSERT_EQ(a.set_value(s, h, wr.second), E_OK) << wr.first;
        ASSERT_EQ(a.write_sync(s, h), E_OK) << wr.first;
    }
    ASSERT_EQ(a.select_node(a.get_node("jobs.DemoFail")), E_OK);

    std::string text = saved(a);
    EXPECT_NE(text.find(R"("min": 0.10000001, "max": 1e+30)"), std::string::npos);  // shortest that reads back
    Machine b(test::load(text));
    EXPECT_EQ(observed(b), observed(a));
    EXPECT_EQ(saved(b), text);
    // Text that JSON cannot carry is no scenario.
    ASSERT_EQ(b.set_value(s, b.get_node("demo.Label"), "\xFF"), E_OK);
    ASSERT_EQ(b.write_sync(s, b.get_node("demo.Label")), E_OK);
    std::string error;
    b.inspect([&](const MachineView& v) { EXPECT_FALSE(write_scenario(v, text, error)); });
    EXPECT_EQ(error, "node demo.Label holds text that is no UTF-8");
}

TEST(ScenarioErrors, PointAtTheOffendingValueOnOneLine) {
    const std::tuple<const char*, const char*, const char*> cases[] = {
        // the scenario, where the offending value starts, what the error says
        {R"({"nodes": [{"name": "a", "type": "FOLDER"},
{"name": "a", "type": "VT_I32"}]})", "2:10", "duplicate node name 'a'"},
        {R"({"nodes": [{"name": "f", "type": "FOLDER", "children": [
{"name": "v", "type": "VT_I32", "value": "12x"}]}]})", "2:42", "'12x' is not a valid VT_I32 value"},
        {R"({"job_node_types": [{"name": "Line"}], "nodes": [{"name": "J", "type": "VT_JOB", "children": [
{"name": "n", "type": "JOBNODE", "nodetype": "Arc"}]}]})", "2:46", "unknown job node type 'Arc'"},
        {R"({"job_node_types": [{"name": "Line"}], "nodes": [{"name": "J", "type": "VT_JOB", "children": [{"name": "n", "type": "JOBNODE"}]}]})",
         "1:95", "missing key 'nodetype' in a JOBNODE node"},
        {R"({"drivers": [{"name": "d"}],
"devices": [{"name": "x", "driver": "d", "dependencies": ["y"]}]})", "2:59", "unknown device 'y'"},
        {R"({"nodes": [{"name": "J", "type": "VT_JOB", "children": [{"name": "v", "type": "VT_I32"}]}]})", "1:79",
         "cannot be inside a job"},
        {R"({"nodes": [{"name": "v", "type": "VT_I32", "min": 3, "max": 9, "value": "12"}]})", "1:73", "limits 3 to 9"},
        {R"({"nodes": [{"name": "s", "type": "VT_SET", "options": ["a", "a,b"]}]})", "1:61", "invalid option 'a,b'"},
        {R"({"nodes": [{"name": "s", "type": "VT_SEL", "options": ["a", "b"], "value": "c"}]})", "1:76",
         "'c' is out of range for this VT_SEL variable (not among the options)"},
        {R"({"nodes": [{"name": "v", "type": "VT_I32", "min": 3.5, "max": 3.9}]})", "1:12",
         "no default VT_I32 value lies within the limits; give a value"},
        {R"({"system_messages": [{"id": -1, "xml": ""}]})", "1:29", "the system message id must lie between 0 and"},
        {R"({"nodes": [{"name": "é",, "type": "FOLDER"}]})", "1:25", "syntax error"},  // é is one column
        {R"({"name": "x"} @)", "1:15", "syntax error"},
    };
    for (const auto& [text, at, says] : cases) {
        std::string err = load_error(text);
        EXPECT_THAT(err, StartsWith("t.json:" + std::string(at) + ": ")) << text;
        EXPECT_TRUE(err.find(says) != std::string::npos && err.find('\n') == std::string::npos) << err;
    }
}

// Each limit of a scenario, exactly at it and one past it; deep input is
// checked without recursion.
TEST(ScenarioErrors, LimitsHoldExactlyAtTheirBoundary) {
    auto nested = [](int levels) {  // folders in folders, the innermost with no children
        std::string opened, closed;
        for (int i = 0; i < levels; ++i) opened += R"({"name": "n", "type": "FOLDER", "children": [)", closed += "]}";
        return R"({"nodes": [)" + opened + closed + "]}";
    };
    const std::string day = std::to_string(kMaxDurationMs), past = std::to_string(kMaxDurationMs + 1);
    const std::string job = R"({"nodes": [{"name": "J", "type": "VT_JOB", )", name(kMaxNameLength, 'n');
    const std::pair<std::string, const char*> cases[] = {
        // the scenario, what its error says ("" when it loads)
        {R"({"plc": {"ready_delay_ms": )" + day + "}}", ""},
        {R"({"plc": {"ready_delay_ms": )" + past + "}}", "ready_delay_ms must lie between 0 and 86400000"},
        {job + R"("duration_ms": )" + day + R"(, "ready_delay_ms": )" + day + "}]}", ""},
        {job + R"("duration_ms": )" + past + "}]}", "duration_ms must lie between 0 and 86400000"},
        {job + R"("ready_delay_ms": )" + past + "}]}", "ready_delay_ms must lie between 0 and 86400000"},
        {R"({"faults": [{"op": "GetNode", "delay_ms": 60000}]})", ""},
        {R"({"faults": [{"op": "GetNode", "delay_ms": 60001}]})", "delay_ms must lie between 0 and 60000"},
        {R"({"nodes": [{"name": ")" + name + R"(", "type": "FOLDER"}]})", ""},
        {R"({"nodes": [{"name": ")" + name + R"(n", "type": "FOLDER"}]})", "invalid node name"},
        {R"({"name": )" + std::string(159, '[') + std::string(159, ']') + "}", "expected a string"},  // 160 levels
        {R"({"name": )" + std::string(160, '[') + std::string(160, ']') + "}", "nesting deeper than 160 levels"},
        {std::string(100000, '[') + std::string(100000, ']'), "nesting deeper than"},
        {nested(64), ""}, {nested(65), "nodes nest deeper than 64 levels"},
    };
    for (const auto& [text, says] : cases) {
        const std::string error = load_error(text);
        EXPECT_TRUE(*says ? error.find(says) != std::string::npos : error.empty()) << text.substr(0, 80) << ": " << error;
    }

    test::TempDir dir;
    const std::string file = dir.path + "/s.json", body = R"({"name": "big"})";
    MachineConfig cfg;
    std::string error;
    for (size_t extra : {0, 1}) {
        test::write_file(file, body + std::string(kMaxScenarioBytes - body.size() + extra, ' '));
        EXPECT_EQ(load_scenario_file(file, cfg, error), !extra) << error;
    }
    EXPECT_THAT(error, HasSubstr("File too large"));
}

// A timeline changes values from the first library client greeted on, at
// its offsets, in order; it is checked like the nodes' values, saved back
// as it was given, and starts again after a reset.
TEST(Timeline, StepsFromTheFirstClientOnAndLoadsAsChecked) {
    const std::string nodes = R"({"nodes": [{"name": "t", "type": "VT_R64", "value": "1.5"},
{"name": "n", "type": "VT_I32", "min": 0, "max": 9}, {"name": "f", "type": "FOLDER"}], "timeline": )";
    const std::pair<std::string, const char*> errors[] = {
        {R"({"x": []}})", "2:101: no node named 'x'"},
        {R"({"f": []}})", "2:101: 'f' is a folder, not a variable"},
        {R"({"n": [{"at_ms": 5, "value": "10"}]}})", "2:129: '10' is out of range for this VT_I32 variable (limits 0 to 9)"},
        {R"({"n": [{"at_ms": -1, "value": "1"}]}})", "2:117: at_ms must lie between 0 and 86400000"},
        {R"({"n": [{"at_ms": 1}]}})", "2:107: missing key 'value' in a timeline step"},
        {R"({"n": [], "n": []}})", "2:110: duplicate key 'n'"},
        {R"([]})", "2:100: expected the timeline (an object of node names), found an array"},
    };
    for (const auto& [timeline, says] : errors) EXPECT_EQ(load_error(nodes + timeline), "t.json:" + std::string(says));

    TimePoint now{};
    const std::string text = nodes + R"({"t": [{"at_ms": 300, "value": "3.5"}, {"at_ms": 100, "value": "2.5"}],
"n": [{"at_ms": 100, "value": "7"}, {"at_ms": 100, "value": "8"}]}})";
    Machine m(test::load(text), [&now] { return now; });
    auto value = [&m](const char* node) {
        std::string out;
        int32_t h = m.get_node(node);
        EXPECT_EQ(m.value_string(h, m.value_string_len(h) + 1, out), E_OK);
        return out;
    };
    now += std::chrono::seconds(5);
    m.run_due();
    EXPECT_EQ(value("t"), "1.5") << "nothing moves before a client is greeted";
    m.client_greeted();
    now += std::chrono::milliseconds(99);
    m.run_due();
    EXPECT_EQ(value("t"), "1.5");
    now += std::chrono::milliseconds(1);
    m.run_due();
    EXPECT_EQ(value("t") + " " + value("n"), "2.5 8") << "steps of one moment in the order given";
    m.client_greeted();  // a later client changes nothing
    now += std::chrono::milliseconds(200);
    m.run_due();
    EXPECT_EQ(value("t"), "3.5");

    const std::string saved_text = saved(m);
    EXPECT_THAT(saved_text, HasSubstr(R"("timeline": {
    "t": [
      {"at_ms": 100, "value": "2.5"},
      {"at_ms": 300, "value": "3.5"}
    ],
    "n": [
      {"at_ms": 100, "value": "7"},
      {"at_ms": 100, "value": "8"}
    ]
  })"));
    Machine b(test::load(saved_text));
    EXPECT_EQ(saved(b), saved_text);

    // A reset starts again, from the next client greeted on.
    m.reset(test::load(text));
    m.client_greeted();
    now += std::chrono::milliseconds(100);
    m.run_due();
    EXPECT_EQ(value("t"), "2.5");
}

TEST(Scenarios, TheDocumentedExampleLoads) {
    std::string doc = test::read_file(TESSARO_SOURCE_DIR "/docs/scenario.md");
    size_t start = doc.find("```json\n"), end = doc.find("\n```", start);
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos) << "no JSON example in docs/scenario.md";
    test::load(doc.substr(start + 8, end + 1 - (start + 8)));
}

}  // namespace
}  // namespace tessaro::sim
