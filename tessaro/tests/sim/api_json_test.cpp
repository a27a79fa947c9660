// The control API in-process, through HttpControl::handle: faults shown as
// the scenario writer writes them, fault bodies read (and refused) as the
// scenario loader reads them, numbers in paths and queries at their limits,
// and every PLC state by the header's name for its bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control/api_json.h"
#include "control/control_port.h"
#include "control/http_control.h"
#include "default_scenario.h"
#include "request_path.h"
#include "scenario_writer.h"
#include "support.h"
#include "trace.h"

namespace tessaro::sim {
namespace {

using nlohmann::json;

// One fault of every shape a scenario can give: each optional member alone
// and together, each action, a delay alone, texts that need escaping, and
// numbers at their limits.
constexpr char kEveryShape[] = R"({"faults": [
    {"op": "JobStart", "result": -14}, {"op": "GetNode", "node": "demo.Label", "call": 2, "times": 3, "result": -2},
    {"op": "GetDeviceInfo", "handle": 2, "action": "close", "delay_ms": 5}, {"op": "ReadNode", "handle": -7, "action": "silent"},
    {"op": "WriteNodeSync", "delay_ms": 0}, {"op": "GetNodeInfo", "delay_ms": 60000, "result": 2147483647},
    {"op": "GetNode", "node": "Grüße \"q\"\\\n\u0001", "times": 1, "result": -2147483648},
    {"op": "ApiSetPlc", "call": 9223372036854775807, "result": 0}]})";

// The default machine, with the faults of `scenario` when one is given.
class Api : public ::testing::Test {
protected:
    explicit Api(const char* scenario = nullptr) : m([&] {
        MachineConfig cfg = test::load(default_scenario_text());
        cfg.faults = scenario ? test::load(scenario).faults : std::vector<Fault>{};
        return cfg;
    }()) {}

    // A request as the server hands it over: from localhost, as JSON.
    http::Response send(const std::string& method, const std::string& target, const std::string& body = "") {
        size_t q = std::min(target.find('?'), target.size());
        http::Request r{method, target.substr(0, q), q < target.size() ? target.substr(q + 1) : "", 11,
                        {{"host", "localhost"}, {"content-type", "application/json"}}, body, "127.0.0.1:50000"};
        return http.handle(r);
    }
    // An answer's status, and its error if it has one: "404 no such ...".
    static std::string outcome(const http::Response& r) {
        json j = json::parse(r.body, nullptr, false);
        return std::to_string(r.status) + (j.is_object() && j.contains("error") ? " " + j["error"].get<std::string>() : "");
    }
    // A fault as the API shows it, less what it adds to the scenario object.
    static json without_counts(json fault) {
        for (const char* key : {"index", "seen", "left"}) fault.erase(key);
        return fault;
    }

    Machine m;
    Trace trace{[](const std::string&) {}};
    RequestPath path{m, nullptr, &trace};
    ControlPort port{path, trace};
    HttpControl http{port, [](const std::string&) {}};
};

struct ApiWithFaults : Api {
    ApiWithFaults() : Api(kEveryShape) {}
};

TEST_F(ApiWithFaults, FaultsShowAsTheWriterWritesThemAndAnAddedOneReadsBackTheSame) {
    // Byte for byte as GET /api/faults has always answered.
    http::Response got = send("GET", "/api/faults");
    EXPECT_EQ(got.status, 200);
    EXPECT_EQ(got.body,
              R"([{"index":0,"left":null,"op":"JobStart","result":-14,"seen":0},)"
              R"({"call":2,"index":1,"left":3,"node":"demo.Label","op":"GetNode","result":-2,"seen":0,"times":3},)"
              R"({"action":"close","delay_ms":5,"handle":2,"index":2,"left":null,"op":"GetDeviceInfo","seen":0},)"
              R"({"action":"silent","handle":-7,"index":3,"left":null,"op":"ReadNode","seen":0},)"
              R"({"delay_ms":0,"index":4,"left":null,"op":"WriteNodeSync","seen":0},)"
              R"({"delay_ms":60000,"index":5,"left":null,"op":"GetNodeInfo","result":2147483647,"seen":0},)"
              R"({"index":6,"left":1,"node":"Grüße \"q\"\\\n\u0001","op":"GetNode","result":-2147483648,"seen":0,"times":1},)"
              R"({"call":9223372036854775807,"index":7,"left":1,"op":"ApiSetPlc","result":0,"seen":0}])");

    for (const FaultStatus& f : port.faults()) {  // the eight loaded, each added again
        // A fault shows as the fault writer (and so the scenario writer) writes it.
        text::JsonWriter w;
        ASSERT_TRUE(write_fault(w, f.fault));
        const std::string written = dump(json::parse(w.text()));
        EXPECT_EQ(dump(without_counts(fault_json(f))), written);

        // Added, the answer is the new fault as GET /api/faults shows it, and
        // it is the fault the body gave.
        uint64_t before = trace.last_number();
        http::Response added = send("POST", "/api/faults", w.text());
        ASSERT_EQ(added.status, 201) << w.text() << ": " << added.body;
        json answer = json::parse(added.body);
        EXPECT_EQ(answer, faults_json(port.faults()).back());
        EXPECT_EQ(dump(without_counts(answer)), written);

        // The trace shows the fault on one line as the writer writes it.
        auto lines = trace.lines_after(before, 10);
        ASSERT_EQ(lines.size(), 1u);
        json line = json::parse(lines[0].second);
        EXPECT_EQ(line["op"], "ApiAddFault");
        EXPECT_EQ(line["args"], json::array({w.text()}));
    }
}

TEST_F(Api, KeysInAnyOrderAreTracedInTheWritersOrder) {
    ASSERT_EQ(send("POST", "/api/faults", R"({"result": -2, "call": 2, "node": "demo.Label", "op": "GetNode"})").status, 201);
    EXPECT_EQ(json::parse(trace.lines_after(0, 10).at(0).second)["args"][0],
              R"({"op":"GetNode","node":"demo.Label","call":2,"result":-2})");
}

TEST_F(Api, ABadFaultBodyIsRefusedWithTheLoadersWordsAndAddsNothing) {
    const std::pair<std::string, const char*> cases[] = {
        {R"({"op": "Nap", "result": 1})", "unknown operation name 'Nap'"},
        {R"({"op": 7, "result": 1})", "expected a string for the operation name, found an integer"},
        {R"({"op": "GetNode", "result": 1, "when": 2})", "unknown key 'when' in a fault"},
        {R"({"op": "GetNode", "op": "JobStart", "result": 1})", "duplicate key 'op'"},
        {R"({"op": "GetNode", "result": 1, "action": "close"})", "a fault has either a result or an action, not both"},
        {R"({"op": "GetNode"})", "a fault needs a result, an action or a delay_ms"},
        {R"({"op": "JobStart", "node": "demo", "result": 1})", "JobStart names no node"},
        {R"({"op": "GetNode", "delay_ms": 60001})", "delay_ms must lie between 0 and 60000"},
        {R"({"op": "GetNode", "result": 1.0})", "expected an integer for the result, found a number"},
        {R"({"op": "GetNode", "call": 18446744073709551615, "result": 1})", "expected an integer for call, found a number"},
        {R"([{"op": "GetNode", "result": 1}])", "expected a fault (an object), found an array"},
        {R"({"op": "GetNode", "result": 1} {})", "malformed JSON"},
        {"{\"op\": \"GetNode\", \"node\": \"\xFF\", \"result\": 1}", "malformed JSON"},
        {std::string(33, '['), "the body is nested more than 32 levels deep"},
    };
    for (const auto& [body, error] : cases)
        EXPECT_EQ(outcome(send("POST", "/api/faults", body)), std::string("400 ") + error) << body;
    EXPECT_EQ(send("GET", "/api/faults").body, "[]");
    EXPECT_EQ(trace.last_number(), 0u) << "a refused body reached the request path";
}

TEST_F(Api, NumbersInPathsAndQueriesAtTheirLimits) {
    // Faults 0 to 7, so that a number with leading zeros finds one.
    for (int i = 0; i < 8; ++i) ASSERT_EQ(send("POST", "/api/faults", R"({"op": "JobStart", "result": -14})").status, 201);
    // A fault's number has up to 18 digits, leading zeros and all.
    for (std::string n : {"007", "000000000000000006"}) EXPECT_EQ(outcome(send("DELETE", "/api/faults/" + n)), "204") << n;
    for (std::string n : {"7", "4294967295", "4294967296", "999999999999999999"})
        EXPECT_EQ(outcome(send("DELETE", "/api/faults/" + n)), "404 no fault numbered " + n);
    for (std::string n : {"0000000000000000005", "1000000000000000000", "18446744073709551616", "-1", "+1", " 1", "1x", "0x1", ""})
        EXPECT_EQ(outcome(send("DELETE", "/api/faults/" + n)), "404 no such resource or operation") << '"' << n << '"';
    std::vector<int> left;
    for (const json& f : json::parse(send("GET", "/api/faults").body)) left.push_back(f["index"]);
    EXPECT_EQ(left, (std::vector<int>{0, 1, 2, 3, 4, 5}));

    for (std::string after : {"", "0", "999999999999999999"})
        EXPECT_EQ(outcome(send("GET", "/api/trace?after=" + after)), "200") << after;
    for (std::string after : {"1000000000000000000", "-1", "1e3", "12abc"})
        EXPECT_EQ(outcome(send("GET", "/api/trace?after=" + after)), "400 after must be a line number") << after;

    // An event carries the newest `max` lines: at least one, and a max that
    // is no number of up to 5 digits asks for no bound.
    const size_t all = trace.last_number();
    ASSERT_GE(all, 10u);
    const std::pair<const char*, size_t> maxes[] = {{"3", 3},      {"00003", 3},  {"000003", all}, {"0", 1},
                                                    {"99999", all}, {"100000", all}, {"-3", all},     {"x", all}};
    for (const auto& [max, lines] : maxes) {
        http::Response r = send("GET", std::string("/api/events?after=0&max=") + max);
        ASSERT_EQ(r.status, 200) << max;
        std::string event;
        r.source->next(event);
        // "id: N", a "data:" line for each trace line, an empty line.
        EXPECT_EQ(static_cast<size_t>(std::count(event.begin(), event.end(), '\n')), lines + 2) << max;
    }
}

// Every PLC state by the name the header gives its bit (spelled here, not
// taken from the simulator's table): the API lists the names in bit order,
// each name maps to its bit, and a scenario and a PUT that name it set
// exactly that bit, which the answer then names.
TEST_F(Api, EveryPlcStateNameMeansExactlyItsBit) {
#define STATE(bit) {bit, #bit}
    const std::pair<int, const char*> states[] = {
        STATE(PLC_DEVICES_AWAKE), STATE(PLC_DEVICES_FAILURE), STATE(PLC_DEVICES_READY), STATE(PLC_DEVICES_SETUP),
        STATE(PLC_JOB_READY), STATE(PLC_JOB_ACTIVE), STATE(PLC_JOB_COMPLETED), STATE(PLC_JOB_FAILED), STATE(PLC_SYS_SAFE),
        STATE(PLC_JOB_PAUSED), STATE(PLC_JOB_PILOTED), STATE(PLC_JOB_PRELOADED), STATE(PLC_JOB_STOPPING),
        STATE(PLC_READY_FOR_POWER_OFF), STATE(PLC_SYSTEM_READY), STATE(PLC_ATTENTION), STATE(PLC_SYS_SAFE_REQUEST),
        STATE(PLC_JOB_PRELOAD)};
#undef STATE
    std::vector<std::string> by_bit(std::size(states));
    for (const auto& [bit, name] : states) by_bit.at(static_cast<size_t>(bit)) = name;
    EXPECT_EQ(json::parse(send("GET", "/api/plc").body).at("names"), json(by_bit));

    // What a PUT of {key: [name]} answers: its status, whether the bit is
    // set in the word, and whether the name is in the state.
    auto put = [&](const char* key, int bit, const char* name) {
        http::Response r = send("PUT", "/api/plc", json{{key, {name}}}.dump());
        json answer = json::parse(r.body), state = answer.value("state", json::array());
        return std::to_string(r.status) + (answer.value("word", 0u) & plc_bit(bit) ? " set" : " clear") +
               (std::count(state.begin(), state.end(), name) ? " named" : "");
    };
    int parsed = -1;
    for (const auto& [bit, name] : states) {
        EXPECT_TRUE(plc_state_from_name(name, parsed) && parsed == bit) << name;
        EXPECT_EQ(Machine(test::load(std::string(R"({"plc": {"state": [")") + name + "\"]}}")).plc_state(), plc_bit(bit));
        EXPECT_EQ(put("clear", bit, name), "200 clear") << name;  // so that the set below is seen to set it
        EXPECT_EQ(put("set", bit, name), "200 set named") << name;
        EXPECT_EQ(put("clear", bit, name), "200 clear") << name;
    }
    EXPECT_FALSE(plc_state_from_name("PLC_JOB_READY ", parsed));
}

}  // namespace
}  // namespace tessaro::sim
