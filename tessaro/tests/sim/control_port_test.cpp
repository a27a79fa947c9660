// The control API's way into the machine, in-process: what the HTTP tests
// do not reach (the step of a write that answered, PLC bits set and cleared
// at once, jobs by a short name, a reset without a start), and the escapes of
// the names in its addresses.
#include <gtest/gtest.h>

#include "control/api_json.h"
#include "control/control_port.h"
#include "control/http_request.h"
#include "support.h"
#include "trace.h"

namespace tessaro::sim {
namespace {

const char* const kMachine = R"({"plc": {"state": ["PLC_SYSTEM_READY"]}, "nodes": [
    {"name": "cell", "type": "FOLDER", "children": [
      {"name": "Speed", "type": "VT_I32", "min": 0, "max": 10000, "value": "1200"},
      {"name": "Serial", "type": "VT_STR", "priv": "r", "value": "S-1"}]},
    {"name": "a", "type": "FOLDER", "children": [{"name": "Job", "type": "VT_JOB", "duration_ms": 1000}]},
    {"name": "b", "type": "FOLDER", "children": [{"name": "Job", "type": "VT_JOB"},
      {"name": "Solo", "type": "VT_JOB", "duration_ms": 7, "outcome": "failed"}]}],
  "faults": [{"op": "ApiSetPlc", "call": 3, "result": -9}]})";

struct Port : ::testing::Test {
    Machine m{test::load(kMachine)};
    Trace trace{[](const std::string&) {}};
    RequestPath path{m, nullptr, &trace};
    ControlPort port{path, trace};
};

// A value is written as a client writes it (each request traced under the
// API client's name); the first step that is refused answers and leaves the
// value.
TEST_F(Port, WriteNodeAnswersWithTheStepThatEndedIt) {
    const std::tuple<const char*, const char*, const char*, int32_t, const char*> cases[] = {
        // node, value, the step that answered, its result, the value after
        {"cell.Speed", "1300", "WriteNodeSync", E_OK, "1300"}, {"cell.Nope", "1", "GetNode", E_NOEXIST, ""},
        {"cell.Speed", "12x", "SetNodeValueString", E_INVALID, "1300"},
        {"cell.Serial", "S-2", "SetNodeValueString", E_ACCESS, "S-1"}};
    for (const auto& [node, text, op, result, after] : cases) {
        ControlPort::Sent sent = port.write_node("api", node, text);
        std::string now;
        m.value_string(m.get_node(node), 64, now);
        EXPECT_TRUE(sent.op == std::string(op) && sent.result == result && now == after) << node << " " << text;
    }
    auto lines = trace.lines_after(0, 100);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto& [number, line] : lines) EXPECT_NE(line.find(R"("conn":"api")"), std::string::npos) << line;
}

// PLC bits are set and cleared in one change that registered library
// clients hear of; a scenario fault answers for the API as for any client.
TEST_F(Port, ChangePlcSetsAndClearsInOneChangeThatClientsHear) {
    const uint32_t ready = plc_bit(PLC_SYSTEM_READY), attention = plc_bit(PLC_ATTENTION), safe = plc_bit(PLC_SYS_SAFE);
    Session client;
    test::Events events;
    ASSERT_EQ(m.register_plc(client, &events), E_OK);
    const std::tuple<uint32_t, uint32_t, int32_t, uint32_t> steps[] = {
        // set, clear, result, the word after
        {attention | safe, ready, E_OK, attention | safe}, {ready, ready | safe, E_OK, attention | ready},  // set wins
        {0, attention, E_BUSY, attention | ready},  // the scenario's fault, on the third call
        {0, attention, E_OK, ready}, {0, safe, E_OK, ready}};  // no change, no event
    for (const auto& [set, clear, result, after] : steps)
        EXPECT_TRUE(port.change_plc("api", set, clear).result == result && m.plc_state() == after) << set;
    EXPECT_EQ(events.words, (std::vector<uint32_t>{attention | safe, attention | ready, ready}));
    m.unregister_plc(client);
}

// A job is named by its full name or by a short name only one job has; the
// settings given change, the others stay; a refusal changes nothing. Without
// a start to go back to, a reset fails and keeps the faults.
TEST_F(Port, SetJobChangesTheNamedJobOnlyAndResetNeedsAStart) {
    using O = JobOutcome;
    const std::tuple<const char*, std::optional<O>, std::optional<int64_t>, int32_t, const char*> cases[] = {
        // name, outcome, run time, result, the full name found
        {"Solo", O::Completed, 500, E_OK, "b.Solo"}, {"a.Job", O::Both, std::nullopt, E_OK, "a.Job"},
        {"b.Solo", std::nullopt, kMaxDurationMs, E_OK, "b.Solo"}, {"Job", O::Failed, 1, E_NOEXIST, ""},  // a or b?
        {"cell.Speed", O::Failed, 1, E_NOEXIST, ""}, {"Solo", O::Failed, kMaxDurationMs + 1, E_RANGE, "b.Solo"}};
    for (const auto& [name, outcome, duration, result, found] : cases) {
        std::string full = "unset";
        EXPECT_EQ(port.set_job("api", name, outcome, duration, full).result, result) << name;
        EXPECT_EQ(full, found) << name;
    }
    EXPECT_EQ(port.reset("api").result, E_FAILURE);
    EXPECT_EQ(m.fault_status().size(), 1u);
    std::vector<std::pair<O, int64_t>> jobs;
    m.inspect([&](const MachineView& v) {
        for (const char* job : {"b.Solo", "a.Job", "b.Job"})
            jobs.emplace_back(v.tree.find(job)->job.outcome, v.tree.find(job)->job.duration_ms);
    });
    EXPECT_EQ(jobs, (std::vector<std::pair<O, int64_t>>{{O::Completed, kMaxDurationMs}, {O::Both, 1000},
                                                        {O::Completed, 1000}}));
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
