// Saving a running machine as a scenario and serving it again (--state),
// and the trace of requests and events (--trace).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <regex>

#include "default_scenario.h"
#include "files.h"
#include "scenario_writer.h"
#include "sim_process.h"
#include "state_file.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using tessaro::SimProcess;

std::string saved(Machine& m) {
    std::string text, error;
    m.inspect([&](const MachineView& v) { EXPECT_TRUE(write_scenario(v, text, error)) << error; });
    return text;
}

std::vector<std::string> full_names(Machine& m) {
    std::vector<std::string> out;
    m.inspect([&](const MachineView& v) {
        for (const Node* n : v.tree.preorder()) out.push_back(v.tree.full_name(*n));
    });
    return out;
}

// Everything a client can read about the machine, handles aside (a loaded
// machine numbers its nodes anew), as encoded records.
std::vector<uint8_t> observed(Machine& m) {
    wire::Writer w(wire::Kind::Reply, 1, 0);
    for (const std::string& name : full_names(m)) {
        proto::NodeInfo info;
        EXPECT_EQ(m.node_info(m.get_node(name), info), E_OK) << name;
        info.handle = 0;
        proto::put(w, info);
    }
    proto::put(w, m.job_info());
    proto::put(w, m.drivers());
    proto::put(w, m.devices());
    for (int32_t i = 0; i < m.job_node_type_count(); ++i) {
        proto::JobNodeType t;
        m.job_node_type(i, t);
        proto::put(w, t);
    }
    w.u32(m.plc_state()).str(m.server_name());
    m.inspect([&](const MachineView& v) {
        for (const Node* n : v.tree.preorder())
            w.i64(n->job.duration_ms).i64(n->job.ready_delay_ms).u32(int(n->job.outcome) + 4 * n->job.never_ready + 8 * n->job.never_active);
        for (const Fault& f : v.faults)
            w.u32(uint32_t(f.op)).str(f.node.value_or("-")).i32(f.handle.value_or(-1)).i64(int64_t(f.call)).i64(int64_t(f.times))
                .i32(f.result.value_or(1)).u32(uint32_t(f.action)).i64(f.delay_ms);
    });
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
    cfg.faults.resize(2);
    cfg.faults[0].node = "demo.Speed", cfg.faults[0].op = proto::Op::WriteNodeSync, cfg.faults[0].call = 3;
    cfg.faults[0].result = E_ACCESS;
    cfg.faults[1].handle = 2, cfg.faults[1].op = proto::Op::GetDeviceInfo, cfg.faults[1].delay_ms = 5;
    cfg.faults[1].action = Fault::Action::Close, cfg.faults[1].times = 2;
    Machine a(std::move(cfg));
    Session s;
    // Changes of the kinds clients make, among them values that need escaping
    // and nodes no hand-written scenario could state (a VT_SEL without options).
    ASSERT_EQ(a.create_node("scratch.Sel", VT_SEL), E_OK);
    ASSERT_EQ(a.create_node("scratch.Set", VT_SET), E_OK);
    ASSERT_EQ(a.create_node("scratch.Raw", VT_BIN), E_OK);
    const std::pair<const char*, const char*> writes[] = {
        {"scratch.Raw", "00 FF 7f 0a"}, {"demo.Notes", "q\"b\\s\r\n\t\x01\x7F \xC3\xA9"},
        {"demo.Gain", "0.1"}, {"demo.Counter", "-9223372036854775808"}, {"demo.Features", "cooling, laser"}};
    for (const auto& wr : writes) {
        int32_t h = a.get_node(wr.first);
        ASSERT_EQ(a.set_value(s, h, wr.second), E_OK) << wr.first;
        ASSERT_EQ(a.write_sync(s, h), E_OK) << wr.first;
    }
    ASSERT_EQ(a.create_job_node("jobs.Demo.Outline.Edge3", "jobnodes.Line"), E_OK);
    ASSERT_EQ(a.rename_node(a.get_node("demo.Label"), "Title"), E_OK);
    ASSERT_EQ(a.move_subtree(a.get_node("demo.deep"), a.get_node("scratch"), 0), E_OK);
    ASSERT_EQ(a.delete_node(a.get_node("demo.Empty")), E_OK);
    ASSERT_EQ(a.select_node(a.get_node("jobs.DemoFail")), E_OK);

    std::string text = saved(a);
    Machine b(test::load(text));
    EXPECT_EQ(observed(b), observed(a));
    EXPECT_EQ(saved(b), text);
}

TEST(ScenarioWriter, RefusesTextThatJsonCannotCarry) {
    Machine m(test::load(default_scenario_text()));
    Session s;
    int32_t h = m.get_node("demo.Label");
    ASSERT_EQ(m.set_value(s, h, "\xFF"), E_OK);
    ASSERT_EQ(m.write_sync(s, h), E_OK);
    std::string text, error;
    m.inspect([&](const MachineView& v) { EXPECT_FALSE(write_scenario(v, text, error)); });
    EXPECT_EQ(error, "node demo.Label holds text that is no UTF-8");
}

TEST(StateFile, CorruptFileIsRefusedAndLeftAsItIs) {
    test::TempDir dir;
    const std::string path = dir.path + "/state.json";
    SimProcess seed(TESSARO_SIM_PATH, {"--state", path});  // creates the file
    ASSERT_EQ(seed.stop(), 0) << seed.log();
    const std::string whole = test::read_file(path);
    const std::string cases[] = {"", whole.substr(0, whole.size() / 2), whole.substr(0, whole.size() - 3),
                                 std::string("\0\x01\xFF{", 4), whole + "{}"};
    for (const std::string& bytes : cases) {
        test::write_file(path, bytes);
        SimProcess sim(TESSARO_SIM_PATH, {"--state", path});
        EXPECT_EQ(sim.stop(), 2) << bytes.size();
        EXPECT_THAT(sim.log(), ::testing::MatchesRegex("tessaro-sim: state file " + path + ":[0-9]+:[0-9]+: [^\n]+\n"));
        EXPECT_EQ(test::read_file(path), bytes);
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    }
}

TEST(StateFile, FailedSaveIsNoSuccess) {
    test::TempDir dir;
    const std::string path = dir.path + "/state.json";
    SimProcess sim(TESSARO_SIM_PATH, {"--state", path});
    ASSERT_TRUE(sim.listening()) << sim.log();
    test::RawClient c;
    ASSERT_TRUE(c.connect(static_cast<uint16_t>(sim.port())) && c.hello());
    auto write = [&c](const std::string& node, const std::string& text) {
        int32_t h = c.get_node(node);
        c.result(c.request(proto::Op::SetNodeValueString).i32(h).str(text));
        return c.result(c.request(proto::Op::WriteNodeSync).i32(h));
    };
    std::filesystem::create_directory(path + ".tmp");  // where the next save must write
    EXPECT_EQ(write("demo.Speed", "42"), E_FAILURE);
    EXPECT_THAT(sim.log(), ::testing::HasSubstr("tessaro-sim: cannot save the state: " + path + ".tmp: Is a directory\n"));
    std::filesystem::remove(path + ".tmp");
    EXPECT_EQ(write("demo.Label", "x"), E_OK);
    // The change whose save failed went into the next save.
    MachineConfig cfg;
    std::string error;
    ASSERT_EQ(load_state(path, cfg, error), StateLoad::Loaded) << error;
    EXPECT_EQ(cfg.tree.find("demo.Speed")->value.text, "42");
}

TEST(StateFile, StateTooLargeToLoadAgainIsNotSaved) {
    test::TempDir dir;
    const std::string path = dir.path + "/state.json";
    Machine m(test::load(R"({"nodes": [{"name": "f", "type": "FOLDER"}]})"));
    StateFile state(path, m, [](const std::string&) {});
    std::string error;
    ASSERT_TRUE(state.open(error)) << error;
    ASSERT_EQ(state.commit(), E_OK);
    const std::string saved = test::read_file(path);
    Session s;
    for (int i = 0; i < 9; ++i) {  // 9 MiB of bytes, 18 MiB as hex
        std::string name = "f.b" + std::to_string(i);
        ASSERT_EQ(m.create_node(name, VT_BIN), E_OK);
        ASSERT_EQ(m.set_value(s, m.get_node(name), std::string(kMaxBinBytes * 2, 'A')), E_OK);
        ASSERT_EQ(m.write_sync(s, m.get_node(name)), E_OK);
    }
    EXPECT_EQ(state.commit(), E_FAILURE);
    EXPECT_EQ(test::read_file(path), saved);
}

TEST(Trace, RecordsEachRequestAndEventAsItHappens) {
    test::TempDir dir;
    const std::string scenario = dir.path + "/cell.json", trace = dir.path + "/trace.jsonl";
    test::write_file(scenario, R"({"plc": {"ready_delay_ms": 0}, "faults": [{"op": "JobStart", "result": -14}],
        "nodes": [{"name": "Speed", "type": "VT_I32"}, {"name": "Job", "type": "VT_JOB"}]})");
    SimProcess sim(TESSARO_SIM_PATH, {"--scenario", scenario, "--trace", trace});
    ASSERT_TRUE(sim.listening()) << sim.log();
    test::RawClient c;
    ASSERT_TRUE(c.connect(static_cast<uint16_t>(sim.port())) && c.hello());
    using proto::Op;
    int32_t speed = c.get_node("Speed");
    c.result(c.request(Op::SetNodeValueString).i32(speed).str("42"));
    c.result(c.request(Op::WriteNodeSync).i32(speed));
    c.result(c.request(Op::RegisterOnPLCChanged));
    c.result(c.request(Op::SelectNode).i32(c.get_node("Job")));  // ready at once: an event
    c.result(c.request(Op::JobStart));
    c.result(c.request(Op::DeleteSingleNodeOnController).i32(speed));
    c.result(c.request(Op::GetNode).str("\xFF"));
    // Read while the simulator runs. Times and the client's port vary.
    std::regex varying(R"("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z","conn":"127\.0\.0\.1:\d+",)");
    EXPECT_EQ(std::regex_replace(test::read_file(trace), varying, ""),
              R"({"op":"Hello","args":["TSRO",1],"result":0}
{"op":"GetNode","args":["Speed"],"node":"Speed","result":1}
{"op":"SetNodeValueString","args":[1,"42"],"node":"Speed","result":0}
{"op":"WriteNodeSync","args":[1],"node":"Speed","result":0}
{"op":"RegisterOnPLCChanged","args":[],"result":0}
{"op":"GetNode","args":["Job"],"node":"Job","result":2}
{"event":"PlcChanged","state":16404}
{"op":"SelectNode","args":[2],"node":"Job","result":0}
{"op":"JobStart","args":[],"result":-14,"fault":{"index":0,"kind":"result"}}
{"op":"DeleteSingleNodeOnController","args":[1],"node":"Speed","result":0}
{"op":"GetNode","args":[{"hex":"FF"}],"node":{"hex":"FF"},"result":-1}
)");
}

}  // namespace
}  // namespace tessaro::sim
