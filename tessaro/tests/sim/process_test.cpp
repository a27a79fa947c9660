// The tessaro-sim executable: its command line, its messages and exit
// statuses, the memory a hostile scenario may take, the state file (--state)
// and the trace (--trace).
#include <sys/resource.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>

#include "sim_process.h"
#include "state_file.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using tessaro::SimProcess;

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

TEST(Process, RefusesBadStartsWithOneLineAndStatusTwo) {
    test::TempDir dir;
    const std::string path = dir.path + "/bad.json";
    test::write_file(path, "{\n  \"nodes\": [\n    {\"name\": \"a\", \"type\": \"VT_NOPE\"}\n  ]\n}\n");
    const std::string malformed =
        "tessaro-sim: " + path + ":3:27: unknown type name 'VT_NOPE' (FOLDER, VT_I32 to VT_FILE, VT_JOB or JOBNODE)\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, ""}, {{"--port"}, ""}, {{"--port", "65536"}, ""}, {{"--port", "x1"}, ""}, {{"stray"}, ""},
        {{"--bind", "nowhere", "--port", "0"}, ""}, {{"--scenario", path, "--port", "0"}, malformed}};
    for (const auto& [args, says] : cases) {
        SimProcess p(TESSARO_SIM_PATH, args);
        EXPECT_EQ(p.stop(), 2) << args[0];
        EXPECT_THAT(p.log(), MatchesRegex("tessaro-sim: [^\n]+\n")) << args[0];  // one line: no listening line
        EXPECT_TRUE(says.empty() || p.log() == says) << p.log();
    }
}

// Whatever its shape, a scenario is refused within a small multiple of its
// size: one array of 4 MiB of zeros, within ten times that.
TEST(Process, LoadingStaysWithinTenTimesTheFileSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers keep memory of their own";
#endif
    test::TempDir dir;
    const std::string path = dir.path + "/zeros.json";
    std::string text = "[" + std::string((4u << 20) + 1, '0') + "]";  // [0,0,...,0]
    for (size_t i = 2; i + 1 < text.size(); i += 2) text[i] = ',';
    test::write_file(path, text);
    SimProcess p(TESSARO_SIM_PATH, {"--scenario", path});
    EXPECT_EQ(p.stop(), 2);
    EXPECT_THAT(p.log(), HasSubstr("expected the scenario (an object), found an array"));
    rusage usage{};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    const long baseline_kib = 16 << 10;
    EXPECT_LT(usage.ru_maxrss, 10 * static_cast<long>(text.size() >> 10) + baseline_kib);
}

TEST(Process, TakenPortIsRefusedAndSigtermEndsWithStatusZero) {
    SimProcess p(TESSARO_SIM_PATH);
    ASSERT_TRUE(p.listening()) << p.log();
    SimProcess second(TESSARO_SIM_PATH, {"--port", std::to_string(p.port())});
    EXPECT_EQ(second.stop(), 2);
    EXPECT_THAT(second.log(), StartsWith("tessaro-sim: cannot listen on 127.0.0.1:" + std::to_string(p.port())));
    EXPECT_EQ(p.stop(), 0);
}

TEST(StateFile, CorruptFileIsRefusedAndLeftAsItIs) {
    test::TempDir dir;
    const std::string path = dir.path + "/state.json";
    SimProcess seed(TESSARO_SIM_PATH, {"--state", path});  // creates the file
    ASSERT_EQ(seed.stop(), 0) << seed.log();
    const std::string whole = test::read_file(path);
    const std::string cases[] = {"", whole.substr(0, whole.size() - 3), whole + "{}"};
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
    ASSERT_TRUE(c.connect(sim.port()) && c.hello());
    auto write = [&c](const std::string& node, const std::string& text) {
        int32_t h = c.get_node(node);
        c.result(c.request(proto::Op::SetNodeValueString).i32(h).str(text));
        return c.result(c.request(proto::Op::WriteNodeSync).i32(h));
    };
    // Text that a JSON file cannot hold is refused before anything changes.
    EXPECT_EQ(c.result(c.request(proto::Op::SetNodeValueString).i32(c.get_node("demo.Label")).str("\xFF")), E_INVALID);
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
    ASSERT_TRUE(c.connect(sim.port()) && c.hello());
    using proto::Op;
    int32_t speed = c.get_node("Speed");
    c.result(c.request(Op::SetNodeValueString).i32(speed).str("42"));
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
