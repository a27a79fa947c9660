// The control API's way into the machine, in-process: each change it makes,
// as its answer says and as the machine shows afterwards, on success and on
// refusal; every PLC state name as a scenario, the API's request body and
// its answer give it; and the escapes of the names in its addresses.
#include <gtest/gtest.h>

#include <iterator>

#include "control/api_json.h"
#include "control/control_port.h"
#include "control/http_request.h"
#include "scenario.h"
#include "support.h"
#include "trace.h"

namespace tessaro::sim {
namespace {

const char* const kMachine = R"({"plc": {"state": ["PLC_SYSTEM_READY"]}, "nodes": [
    {"name": "cell", "type": "FOLDER", "children": [
      {"name": "Speed", "type": "VT_I32", "min": 0, "max": 10000, "value": "1200"},
      {"name": "Serial", "type": "VT_STR", "priv": "r", "value": "S-1"},
      {"name": "Features", "type": "VT_SET", "options": ["laser", "vacuum"], "value": "laser"}]},
    {"name": "a", "type": "FOLDER", "children": [{"name": "Job", "type": "VT_JOB", "duration_ms": 1000}]},
    {"name": "b", "type": "FOLDER", "children": [{"name": "Job", "type": "VT_JOB"},
      {"name": "Solo", "type": "VT_JOB", "duration_ms": 7, "outcome": "failed"}]}],
  "faults": [{"op": "ApiSetPlc", "call": 3, "result": -9}, {"op": "GetDeviceInfo", "result": -13}]})";

struct Events : PlcSink {
    void plc_changed(uint32_t word) override { words.push_back(word); }
    std::vector<uint32_t> words;
};

class Port : public ::testing::Test {
protected:
    Port() { m.keep_start(kMachine); }

    std::string value(const std::string& name) {
        proto::NodeInfo info;
        EXPECT_EQ(m.node_info(m.get_node(name), info), E_OK) << name;
        return info.value;
    }
    std::pair<JobOutcome, int64_t> job(const std::string& name) {
        std::pair<JobOutcome, int64_t> out;
        m.inspect([&](const MachineView& v) { out = {v.tree.find(name)->job.outcome, v.tree.find(name)->job.duration_ms}; });
        return out;
    }
    std::vector<size_t> faults() {
        std::vector<size_t> out;
        for (const FaultStatus& f : port.faults()) out.push_back(f.index);
        return out;
    }

    Machine m{test::load(kMachine)};
    Trace trace{[](const std::string&) {}};
    RequestPath path{m, nullptr, &trace};
    ControlPort port{path, trace};
};

// A value is written as a client writes it (each request traced under the
// API client's name), and answered with the value it left; the first step
// that is refused ends the write and leaves the value.
TEST_F(Port, WriteNodeWritesAsAClientDoesOrLeavesTheValue) {
    const std::tuple<const char*, const char*, const char*, int32_t, const char*> cases[] = {
        // node, value, the step that answered, its result, the value after
        {"cell.Speed", "1300", "WriteNodeSync", E_OK, "1300"},
        {"cell.Features", "vacuum, laser", "WriteNodeSync", E_OK, "laser,vacuum"},  // as the machine keeps it
        {"cell.Speed", "10001", "SetNodeValueString", E_RANGE, "1300"},
        {"cell.Speed", "12x", "SetNodeValueString", E_INVALID, "1300"},
        {"cell.Serial", "S-2", "SetNodeValueString", E_ACCESS, "S-1"},
        {"cell.Nope", "1", "GetNode", E_NOEXIST, nullptr},
    };
    for (const auto& [node, text, op, result, after] : cases) {
        ControlPort::Sent sent = port.write_node("api", node, text);
        EXPECT_STREQ(sent.op, op) << node << " " << text;
        EXPECT_EQ(sent.result, result) << node << " " << text;
        EXPECT_EQ(sent.value, result == E_OK ? std::optional<std::string>(after) : std::nullopt) << text;
        if (after) {
            EXPECT_EQ(value(node), after) << node << " " << text;
        }
    }
    auto lines = trace.lines_after(0, 100);
    ASSERT_EQ(lines.size(), 7u);
    for (const auto& [number, line] : lines) EXPECT_NE(line.find(R"("conn":"api")"), std::string::npos) << line;
}

// PLC bits are set and cleared in one change that registered library
// clients hear of; a scenario fault answers for the API as for any client.
TEST_F(Port, ChangePlcSetsAndClearsInOneChangeThatClientsHear) {
    const uint32_t ready = plc_bit(PLC_SYSTEM_READY), attention = plc_bit(PLC_ATTENTION), safe = plc_bit(PLC_SYS_SAFE);
    Session client;
    Events events;
    ASSERT_EQ(m.register_plc(client, &events), E_OK);
    const std::tuple<uint32_t, uint32_t, int32_t, uint32_t> steps[] = {
        // set, clear, result, the word after
        {attention | safe, ready, E_OK, attention | safe},
        {ready, ready | safe, E_OK, attention | ready},  // set wins over clear
        {0, attention, E_BUSY, attention | ready},       // the scenario's fault, on the third call
        {0, attention, E_OK, ready},
        {0, safe, E_OK, ready},  // no change, no event
    };
    for (const auto& [set, clear, result, after] : steps) {
        EXPECT_EQ(port.change_plc("api", set, clear).result, result) << set << " " << clear;
        EXPECT_EQ(m.plc_state(), after) << set << " " << clear;
    }
    EXPECT_EQ(events.words, (std::vector<uint32_t>{attention | safe, attention | ready, ready}));
    m.unregister_plc(client);
}

// A job is named by its full name or by a short name only one job has; the
// settings given change, the others stay; a refusal changes nothing.
TEST_F(Port, SetJobChangesTheNamedJobOnly) {
    using O = JobOutcome;
    const std::tuple<const char*, std::optional<O>, std::optional<int64_t>, int32_t, const char*> cases[] = {
        // name, outcome, run time, result, the full name found
        {"Solo", O::Completed, 500, E_OK, "b.Solo"},
        {"a.Job", O::Both, std::nullopt, E_OK, "a.Job"},
        {"b.Solo", std::nullopt, kMaxDurationMs, E_OK, "b.Solo"},
        {"Job", O::Failed, 1, E_NOEXIST, ""},  // a.Job or b.Job?
        {"cell.Speed", O::Failed, 1, E_NOEXIST, ""},
        {"Solo", O::Failed, kMaxDurationMs + 1, E_RANGE, "b.Solo"},
    };
    for (const auto& [name, outcome, duration, result, found] : cases) {
        std::string full = "unset";
        EXPECT_EQ(port.set_job("api", name, outcome, duration, full).result, result) << name;
        EXPECT_EQ(full, found) << name;
    }
    EXPECT_EQ(job("b.Solo"), std::make_pair(O::Completed, kMaxDurationMs));
    EXPECT_EQ(job("a.Job"), std::make_pair(O::Both, int64_t(1000)));
    EXPECT_EQ(job("b.Job"), std::make_pair(O::Completed, int64_t(1000)));
}

// Faults are removed by their number, which no other fault takes; a number
// beyond what a request carries is no fault's.
TEST_F(Port, RemoveFaultRemovesTheNumberedFaultOnly) {
    ASSERT_EQ(faults(), (std::vector<size_t>{0, 1}));
    EXPECT_EQ(port.remove_fault("api", 1).result, E_OK);
    EXPECT_EQ(port.remove_fault("api", 1).result, E_NOEXIST);
    EXPECT_EQ(port.remove_fault("api", uint64_t(1) << 32).result, E_NOEXIST);  // 0 in 32 bits
    EXPECT_EQ(faults(), (std::vector<size_t>{0}));
    EXPECT_EQ(port.remove_fault("api", 0).result, E_OK);
    EXPECT_TRUE(faults().empty());
}

// A reset brings back the machine as it started, without faults; without
// a start to go back to it fails and changes nothing.
TEST_F(Port, ResetBringsBackTheStart) {
    Machine bare(test::load(kMachine));
    RequestPath bare_path(bare, nullptr, nullptr);
    ControlPort bare_port(bare_path, trace);
    EXPECT_EQ(bare_port.reset("api").result, E_FAILURE);
    EXPECT_EQ(bare.fault_status().size(), 2u) << "a reset drops the faults";

    std::string full;
    ASSERT_EQ(port.write_node("api", "cell.Speed", "1300").result, E_OK);
    ASSERT_EQ(port.change_plc("api", plc_bit(PLC_ATTENTION), 0).result, E_OK);
    ASSERT_EQ(port.set_job("api", "Solo", JobOutcome::Both, 3, full).result, E_OK);
    ASSERT_EQ(m.create_node("cell.New", VT_I32), E_OK);
    ASSERT_EQ(m.select_node(m.get_node("a.Job")), E_OK);
    EXPECT_EQ(port.reset("api").result, E_OK);
    EXPECT_EQ(value("cell.Speed"), "1200");
    EXPECT_EQ(m.plc_state(), plc_bit(PLC_SYSTEM_READY));
    EXPECT_EQ(job("b.Solo"), std::make_pair(JobOutcome::Failed, int64_t(7)));
    EXPECT_EQ(m.get_node("cell.New"), -1);
    EXPECT_EQ(m.job_info().selectednode, "");
    EXPECT_TRUE(faults().empty());
}

// Every PLC state by the name the header gives its bit (spelled here, not
// taken from the simulator's table): the name and the number map to each
// other, and a scenario, the API's request body and its answer that name it
// mean exactly that bit.
TEST(PlcStates, EveryNameMeansExactlyItsBit) {
#define STATE(bit) {bit, #bit}
    const std::pair<int, const char*> states[] = {
        STATE(PLC_DEVICES_AWAKE), STATE(PLC_DEVICES_FAILURE), STATE(PLC_DEVICES_READY), STATE(PLC_DEVICES_SETUP),
        STATE(PLC_JOB_READY),     STATE(PLC_JOB_ACTIVE),      STATE(PLC_JOB_COMPLETED), STATE(PLC_JOB_FAILED),
        STATE(PLC_SYS_SAFE),      STATE(PLC_JOB_PAUSED),      STATE(PLC_JOB_PILOTED),   STATE(PLC_JOB_PRELOADED),
        STATE(PLC_JOB_STOPPING),  STATE(PLC_READY_FOR_POWER_OFF), STATE(PLC_SYSTEM_READY), STATE(PLC_ATTENTION),
        STATE(PLC_SYS_SAFE_REQUEST), STATE(PLC_JOB_PRELOAD),
    };
#undef STATE
    Trace trace([](const std::string&) {});
    for (const auto& [bit, name] : states) {
        EXPECT_STREQ(plc_state_name(bit), name);
        int state = -1;
        EXPECT_TRUE(plc_state_from_name(name, state) && state == bit) << name;
        Machine m(test::load(std::string(R"({"plc": {"state": [")") + name + "\"]}}"));
        EXPECT_EQ(m.plc_state(), plc_bit(bit)) << name;
        uint32_t set = 0, clear = 0;
        std::string error;
        EXPECT_TRUE(parse_plc({{"set", nlohmann::json::array({name})}, {"clear", nlohmann::json::array({name})}}, set,
                              clear, error))
            << error;
        EXPECT_TRUE(set == plc_bit(bit) && clear == plc_bit(bit)) << name;
        RequestPath path(m, nullptr, nullptr);
        ControlPort port(path, trace);
        EXPECT_EQ(plc_json(port)["state"], nlohmann::json::array({name}));
    }
    EXPECT_EQ(plc_state_name(static_cast<int>(std::size(states))), nullptr);
    int state = -1;
    EXPECT_FALSE(plc_state_from_name("PLC_JOB_READY ", state));
}

// Percent escapes decode in either case; a malformed one, or one that
// decodes to a NUL, is refused.
TEST(HttpRequest, PercentEscapesDecodeInEitherCaseOrAreRefused) {
    EXPECT_EQ(http::percent_decode("%09%90%af%AF%Fa+%2B", true), std::optional<std::string>("\t\x90\xAF\xAF\xFA +"));
    EXPECT_EQ(http::percent_decode("a+b", false), std::optional<std::string>("a+b"));
    for (const char* bad : {"%0g", "%0G", "%0/", "%0:", "%0`", "%0@", "%4", "%", "%00"})
        EXPECT_EQ(http::percent_decode(bad, false), std::nullopt) << bad;
}

}  // namespace
}  // namespace tessaro::sim
