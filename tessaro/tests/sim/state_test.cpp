// Saving a running machine as a scenario and serving it again.
#include <gtest/gtest.h>

#include <cmath>

#include "default_scenario.h"
#include "scenario_writer.h"
#include "support.h"

namespace tessaro::sim {
namespace {

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

}  // namespace
}  // namespace tessaro::sim
