// The machine a recording saw: first values and changes that no program
// wrote, jobs measured by what told their end, failures the machine would
// not give by itself as faults, nodes a program made left out.
#include <gtest/gtest.h>

#include "replay/recorded_machine.h"
#include "support.h"

namespace tessaro::sim::replay {
namespace {

using test::recorded_at;

std::string event(int ms, uint32_t word) {
    char time[64];
    std::snprintf(time, sizeof time, "2026-12-09T10:00:%02d.%03d000Z", ms / 1000, ms % 1000);
    return "{\"seq\":1,\"pid\":7,\"tid\":8,\"time\":\"" + std::string(time) +
           "\",\"conn\":\"hc=0\",\"event\":\"PlcChanged\",\"state\":" + std::to_string(word) + "}\n";
}
std::string read_t(int ms, const std::string& value) {
    return recorded_at(ms, R"("op":"GetNodeValueString","args":[3,64],"node":"a.T","result":0,"reply":[")" + value + "\"]");
}

TEST(FromRecording, TheMachineItSawWithWhatChangedOnItsOwn) {
    const uint32_t ready = plc_bit(PLC_JOB_READY), active = plc_bit(PLC_JOB_ACTIVE), done = plc_bit(PLC_JOB_COMPLETED),
                   failed = plc_bit(PLC_JOB_FAILED), system = plc_bit(PLC_SYSTEM_READY);
    const std::string plc = R"("op":"GetPLCState","args":[],"result":0,"reply":[)";
    const std::string text =
        recorded_at(0, R"("op":"DetectRemoteController","args":["h:1",1610],"result":0)") +
        recorded_at(500, R"("op":"GetNode","args":["a.Missing"],"node":"a.Missing","result":-12)") +
        recorded_at(501, R"("op":"GetNode","args":["a.T"],"node":"a.T","result":3)") +
        recorded_at(502, R"("op":"GetNodeInfo","args":[3],"node":"a.T","result":0,"record":{"handle":3,"nodeid":12,)"
                         R"("fullname":"a.T","name":"T","path":"a","value":"1.5","priv":"r","unit":"C","type":4,)"
                         R"("typestring":"VT_R64","min":0,"max":0,"index":0,"flags":2})") +
        recorded_at(503, R"("op":"GetParentNode","args":[3],"node":"a.T","result":-1)") +
        // The program's own write reads back in canonical form: no change.
        recorded_at(600, R"("op":"SetNodeValueString","args":[3,"2.50"],"node":"a.T","result":0)") +
        recorded_at(601, R"("op":"WriteNodeSync","args":[3],"node":"a.T","result":0)") + read_t(700, "2.5") +
        read_t(2000, "4") +  // changed between 700 and 2000
        recorded_at(2100, R"("op":"GetNodeValueString","args":[3,64],"node":"a.T","result":-15,"reply":[""])") +
        recorded_at(2200, R"("op":"CreateNodeOnController","args":["a.New",6,0],"node":"a.New","result":0)") +
        recorded_at(2300, R"("op":"CreateNodeOnController","args":["a.New",6,0],"node":"a.New","result":-11)") +
        recorded_at(3000, R"("op":"SelectNode","args":[5],"node":"j.Run","result":0)") + event(3030, system | ready) +
        recorded_at(3100, R"("op":"JobStart","args":[],"result":0)") +
        recorded_at(3200, plc + std::to_string(system | active) + ",0]") +
        recorded_at(3500, plc + std::to_string(system | done) + ",0]") +  // a poll sees the end late
        recorded_at(4000, R"("op":"JobStart","args":[],"result":0)") + event(4250, system | failed);
    RecordedMachine m;
    std::string error;
    ASSERT_TRUE(machine_from_recording_text(text, "dir/rec.jsonl", m, error)) << error;
    const MachineConfig& c = m.config;
    EXPECT_EQ(c.name, "recorded in rec.jsonl");
    EXPECT_EQ(c.plc_word, system) << "a job ran before the PLC was read: none of its bits";
    EXPECT_EQ(c.tree.size(), 4u) << "a, a.T, j, j.Run; not a.Missing nor a.New";
    const Node* t = c.tree.find("a.T");
    ASSERT_TRUE(t && t->kind == Kind::Variable && c.tree.find("a")->kind == Kind::Folder);
    EXPECT_EQ(t->def.type, VT_R64);
    EXPECT_EQ(render(t->def, t->value) + t->unit + t->priv + std::to_string(t->flags) + std::to_string(t->id), "1.5Cr212");
    ASSERT_EQ(c.timeline.size(), 1u);
    EXPECT_EQ(c.timeline[0].node + " " + std::to_string(c.timeline[0].at_ms) + " " + c.timeline[0].value, "a.T 1350 4");
    const Node* job = c.tree.find("j.Run");
    ASSERT_TRUE(job && job->kind == Kind::Job);
    EXPECT_EQ(job->job.duration_ms, 250) << "told by an event, not seen by a poll";
    EXPECT_EQ(job->job.ready_delay_ms, 30);
    EXPECT_EQ(job->job.outcome, JobOutcome::Failed);
    ASSERT_EQ(c.faults.size(), 1u) << "the failures the machine gives by itself are no faults";
    EXPECT_TRUE(c.faults[0].op == proto::Op::GetNodeValueString && c.faults[0].node == "a.T" && c.faults[0].call == 3 &&
                c.faults[0].result == -15);
    EXPECT_TRUE(m.notes.empty());

    EXPECT_FALSE(machine_from_recording_text(text.substr(0, text.size() - 1), "in", m, error));
    EXPECT_EQ(error, "in:19: the last line is cut short");
}

// What no scenario can hold is left out and named, once each: a name too
// deep, a name no machine has, a value its type refuses, an id taken.
TEST(FromRecording, WhatNoScenarioHoldsIsLeftOutAndNamed) {
    std::string deep = "d";
    for (size_t i = 0; i < kMaxDepth; ++i) deep += ".d";
    auto get = [](int ms, const std::string& name, int handle) {
        return recorded_at(ms, R"("op":"GetNode","args":[")" + name + R"("],"node":")" + name +
                                   R"(","result":)" + std::to_string(handle));
    };
    auto info = [](int ms, const std::string& name, int handle, int id) {
        return recorded_at(ms, R"("op":"GetNodeInfo","args":[)" + std::to_string(handle) + R"(],"node":")" + name +
                                   R"(","result":0,"record":{"handle":)" + std::to_string(handle) + R"(,"nodeid":)" +
                                   std::to_string(id) + R"(,"fullname":")" + name + R"(","name":")" + name.substr(2) +
                                   R"(","path":"a","value":"1","priv":"rw","unit":"","type":1,"typestring":"VT_I32",)"
                                   R"("min":0,"max":0,"index":0,"flags":0})");
    };
    const std::string text = get(0, deep, 3) + get(1, deep, 3) + get(2, "a.b\\u0001", 4) + info(3, "a.N", 5, 40) +
                             recorded_at(4, R"("op":"GetNodeValueString","args":[5,64],"node":"a.N","result":0,"reply":["x"])") +
                             info(5, "a.M", 6, 40);
    RecordedMachine m;
    std::string error;
    ASSERT_TRUE(machine_from_recording_text(text, "rec.jsonl", m, error)) << error;
    EXPECT_EQ(m.notes, (std::vector<std::string>{"names deeper than 64 levels are left out",
                                                 R"('a.b\x01': no valid node name; left out with what it holds)",
                                                 "a.N: the value 'x' is no VT_I32 value; left out",
                                                 "a.M: its id is another node's; it takes a new one"}));
    EXPECT_EQ(m.config.tree.size(), 3u) << "a, a.N, a.M";
}

}  // namespace
}  // namespace tessaro::sim::replay
