// The control API in-process, through HttpControl::handle: faults shown as
// the scenario writer writes them, fault bodies read (and refused) as the
// scenario loader reads them, numbers in paths and queries at their limits,
// and every named PLC state bit set and cleared by name.
#include <gtest/gtest.h>

#include <algorithm>
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
    {"op": "JobStart", "result": -14},
    {"op": "GetNode", "node": "demo.Label", "call": 2, "times": 3, "result": -2},
    {"op": "GetDeviceInfo", "handle": 2, "action": "close", "delay_ms": 5},
    {"op": "ReadNode", "handle": -7, "action": "silent"},
    {"op": "WriteNodeSync", "delay_ms": 0},
    {"op": "GetNodeInfo", "delay_ms": 60000, "result": 2147483647},
    {"op": "GetNode", "node": "Grüße \"q\"\\\n\u0001", "times": 1, "result": -2147483648},
    {"op": "ApiSetPlc", "call": 9223372036854775807, "result": 0}
]})";

class Api : public ::testing::Test {
protected:
    explicit Api(std::vector<Fault> faults = {}) : m(config(std::move(faults))) {}

    static MachineConfig config(std::vector<Fault> faults) {
        MachineConfig cfg = test::load(default_scenario_text());
        cfg.faults = std::move(faults);
        return cfg;
    }

    // A request as the server hands it over: from localhost, as JSON.
    http::Response send(const std::string& method, const std::string& target, const std::string& body = "") {
        http::Request r;
        r.method = method;
        size_t q = target.find('?');
        r.path = target.substr(0, q);
        if (q != std::string::npos) r.query = target.substr(q + 1);
        r.headers = {{"host", "localhost"}, {"content-type", "application/json"}};
        r.body = body;
        r.peer = "127.0.0.1:50000";
        return http.handle(r);
    }
    static std::string error_of(const http::Response& r) {
        json j = json::parse(r.body, nullptr, false);
        return j.is_object() && j.contains("error") ? j["error"].get<std::string>() : "<no error: " + r.body + ">";
    }

    Machine m;
    Trace trace{[](const std::string&) {}};
    RequestPath path{m, nullptr, &trace};
    ControlPort port{path, trace};
    HttpControl http{port, [](const std::string&) {}};
};

class ApiWithFaults : public Api {
protected:
    ApiWithFaults() : Api(test::load(kEveryShape).faults) {}

    // A fault as the API shows it, less what it adds to the scenario object.
    static json without_counts(json fault) {
        for (const char* key : {"index", "seen", "left"}) fault.erase(key);
        return fault;
    }
};

TEST_F(ApiWithFaults, FaultsShowAsTheScenarioWriterWritesThem) {
    // The faults as a scenario file of nothing else gives them.
    std::vector<Fault> list;
    for (const FaultStatus& f : port.faults()) list.push_back(f.fault);
    ASSERT_EQ(list.size(), 8u);
    Tree tree;
    std::string name, text, error;
    std::vector<proto::JobNodeType> types;
    DeviceTable devices;
    SystemMessages messages;
    ASSERT_TRUE(write_scenario(MachineView{name, tree, 0, nullptr, types, devices, messages, list}, text, error));
    json written = json::parse(text).at("faults");

    json shown = faults_json(port.faults());
    ASSERT_EQ(shown.size(), written.size());
    for (size_t i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i]["index"], i);
        EXPECT_EQ(dump(without_counts(shown[i])), dump(written[i])) << "fault " << i;
    }

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
}

TEST_F(ApiWithFaults, AnAddedFaultIsTracedAsTheFaultWriterWritesItAndReadsBackTheSame) {
    for (const FaultStatus& f : port.faults()) {
        text::JsonWriter w;
        ASSERT_TRUE(write_fault(w, f.fault));
        uint64_t before = trace.last_number();
        http::Response added = send("POST", "/api/faults", w.text());
        ASSERT_EQ(added.status, 201) << w.text() << ": " << added.body;

        // The answer is the new fault as GET /api/faults shows it, and it
        // is the fault the body gave.
        json answer = json::parse(added.body);
        json listed;
        for (const json& g : faults_json(port.faults()))
            if (g["index"] == answer["index"]) listed = g;
        EXPECT_EQ(answer, listed);
        EXPECT_EQ(without_counts(answer), without_counts(fault_json(f))) << w.text();

        // The trace shows the fault on one line in the writer's order,
        // whatever order the body gave its keys in.
        auto lines = trace.lines_after(before, 10);
        ASSERT_EQ(lines.size(), 1u);
        json line = json::parse(lines[0].second);
        EXPECT_EQ(line["op"], "ApiAddFault");
        EXPECT_EQ(line["args"], json::array({w.text()}));
    }
}

TEST_F(Api, KeysInAnyOrderAreTracedInTheWritersOrder) {
    uint64_t before = trace.last_number();
    ASSERT_EQ(send("POST", "/api/faults", R"({"result": -2, "call": 2, "node": "demo.Label", "op": "GetNode"})").status,
              201);
    auto lines = trace.lines_after(before, 10);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(json::parse(lines[0].second)["args"][0], R"({"op":"GetNode","node":"demo.Label","call":2,"result":-2})");
}

TEST_F(Api, ABadFaultBodyIsRefusedWithTheLoadersWordsAndAddsNothing) {
    const std::string deep(33, '[');
    const struct {
        std::string body;
        const char* error;
    } cases[] = {
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
        {R"("GetNode")", "expected a fault (an object), found a string"},
        {"null", "expected a fault (an object), found null"},
        {"", "malformed JSON"},
        {R"({"op": "GetNode", "result": 1)", "malformed JSON"},
        {R"({"op": "GetNode", "result": 1} {})", "malformed JSON"},
        {"{\"op\": \"GetNode\", \"node\": \"\xFF\", \"result\": 1}", "malformed JSON"},
        {deep, "the body is nested more than 32 levels deep"},
    };
    for (const auto& c : cases) {
        http::Response r = send("POST", "/api/faults", c.body);
        EXPECT_EQ(r.status, 400) << c.body;
        EXPECT_EQ(error_of(r), c.error) << c.body;
    }
    EXPECT_EQ(send("GET", "/api/faults").body, "[]");
    EXPECT_EQ(trace.last_number(), 0u) << "a refused body reached the request path";
}

TEST_F(Api, AnAddFaultRequestWithoutItsFaultAsAValueIsRefused) {
    // The text argument is only what the trace shows; it is never read.
    Session session;
    Caller c{"api", session};
    c.greeted = true;
    c.api = true;
    const std::string text = R"({"op": "JobStart", "result": -14})";
    Request r = Request::make(proto::Op::ApiAddFault, {Arg{0, text}});
    EXPECT_EQ(path.submit(r, c, [](int64_t) { return true; }).result(), E_INVALID);
    EXPECT_TRUE(port.faults().empty());
    Request with = Request::make(proto::Op::ApiAddFault, {Arg{0, text}});
    with.fault_to_add = Fault{};
    with.fault_to_add->delay_ms = 5;
    EXPECT_EQ(path.submit(with, c, [](int64_t) { return true; }).result(), E_OK);
    ASSERT_EQ(port.faults().size(), 1u);
    EXPECT_EQ(port.faults()[0].fault.delay_ms, 5);
}

TEST_F(Api, NumbersInPathsAndQueriesAtTheirLimits) {
    // Faults 0 to 7, so that a number with leading zeros finds one.
    for (int i = 0; i < 8; ++i) ASSERT_EQ(send("POST", "/api/faults", R"({"op": "JobStart", "result": -14})").status, 201);
    const std::string none = "no such resource or operation";
    const struct {
        const char* number;
        int status;
        std::string error;
    } deletes[] = {
        {"007", 204, ""},
        {"000000000000000006", 204, ""},  // 18 digits, leading zeros and all
        {"0000000000000000005", 404, none},
        {"7", 404, "no fault numbered 7"},
        {"4294967295", 404, "no fault numbered 4294967295"},
        {"4294967296", 404, "no fault numbered 4294967296"},
        {"999999999999999999", 404, "no fault numbered 999999999999999999"},
        {"1000000000000000000", 404, none},
        {"18446744073709551616", 404, none},
        {"-1", 404, none},
        {"+1", 404, none},
        {" 1", 404, none},
        {"1x", 404, none},
        {"0x1", 404, none},
        {"", 404, none},
    };
    for (const auto& d : deletes) {
        http::Response r = send("DELETE", std::string("/api/faults/") + d.number);
        EXPECT_EQ(r.status, d.status) << d.number;
        if (d.status != 204) {
            EXPECT_EQ(error_of(r), d.error) << d.number;
        }
    }
    std::vector<int> left;
    for (const json& f : json::parse(send("GET", "/api/faults").body)) left.push_back(f["index"]);
    EXPECT_EQ(left, (std::vector<int>{0, 1, 2, 3, 4, 5}));

    const struct {
        const char* after;
        int status;
    } traces[] = {
        {"", 200}, {"0", 200}, {"999999999999999999", 200}, {"1000000000000000000", 400},
        {"-1", 400}, {"1e3", 400}, {"12abc", 400},
    };
    for (const auto& t : traces) {
        http::Response r = send("GET", std::string("/api/trace?after=") + t.after);
        EXPECT_EQ(r.status, t.status) << t.after;
        if (t.status == 400) {
            EXPECT_EQ(error_of(r), "after must be a line number") << t.after;
        }
    }

    // An event carries the newest `max` lines: at least one, and a max that
    // is no number of up to 5 digits asks for no bound.
    const uint64_t lines = trace.last_number();
    ASSERT_GE(lines, 10u);
    const struct {
        const char* max;
        size_t lines;
    } maxes[] = {{"3", 3}, {"00003", 3}, {"000003", lines}, {"0", 1}, {"99999", lines}, {"100000", lines},
                 {"-3", lines}, {"x", lines}};
    for (const auto& x : maxes) {
        http::Response r = send("GET", std::string("/api/events?after=0&max=") + x.max);
        ASSERT_EQ(r.status, 200) << x.max;
        std::string event;
        r.source->next(event);
        size_t data = 0;
        for (size_t at = 0; (at = event.find("\ndata: ", at)) != std::string::npos; ++at) ++data;
        EXPECT_EQ(data, x.lines) << x.max;
    }
}

TEST_F(Api, EveryNamedPlcBitIsSetAndClearedByItsName) {
    json names = json::parse(send("GET", "/api/plc").body).at("names");
    std::vector<std::string> table;
    for (int bit = 0; plc_state_name(bit); ++bit) table.push_back(plc_state_name(bit));
    ASSERT_FALSE(table.empty());
    EXPECT_EQ(names, json(table));

    for (size_t bit = 0; bit < table.size(); ++bit) {
        const std::string& name = table[bit];
        ASSERT_EQ(send("PUT", "/api/plc", json{{"clear", {name}}}.dump()).status, 200) << name;
        json set = json::parse(send("PUT", "/api/plc", json{{"set", {name}}}.dump()).body);
        ASSERT_TRUE(set.contains("word")) << name << ": " << set.dump();
        EXPECT_EQ(set["word"].get<uint32_t>() & plc_bit(static_cast<int>(bit)), plc_bit(static_cast<int>(bit))) << name;
        EXPECT_NE(std::find(set["state"].begin(), set["state"].end(), name), set["state"].end()) << name;
        json cleared = json::parse(send("PUT", "/api/plc", json{{"clear", {name}}}.dump()).body);
        EXPECT_EQ(cleared["word"].get<uint32_t>() & plc_bit(static_cast<int>(bit)), 0u) << name;
        EXPECT_EQ(std::find(cleared["state"].begin(), cleared["state"].end(), name), cleared["state"].end()) << name;
        EXPECT_EQ(cleared["names"], names) << name;
    }
}

}  // namespace
}  // namespace tessaro::sim
