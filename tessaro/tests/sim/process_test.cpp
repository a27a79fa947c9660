// The tessaro-sim executable: its command line, its messages and exit
// statuses, the memory a hostile scenario may take; the state file (--state)
// and the trace (--trace).
#include <sys/resource.h>
#include <sys/stat.h>

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

// Each bad start ends before listening, with one line and status 2: a
// scenario that is a FIFO without a writer at once, and a hostile scenario
// (one array of 4 MiB of zeros) within ten times its size in memory.
TEST(Process, BadStartsEndWithOneLineAndStatusTwo) {
    test::TempDir dir;
    const std::string zeros = dir.path + "/zeros.json", fifo = dir.path + "/fifo.json";
    std::string text = "[" + std::string((4u << 20) + 1, '0') + "]";  // [0,0,...,0]
    for (size_t i = 2; i + 1 < text.size(); i += 2) text[i] = ',';
    test::write_file(zeros, text);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"}, {{"--port"}, "option '--port' needs a value"},
        {{"--port", "65536"}, "invalid port '65536'"}, {{"--scenario", "/"}, "/: Is a directory"},
        {{"--scenario", fifo}, fifo + ": not a regular file"},
        {{"--scenario", zeros}, zeros + ":1:1: expected the scenario (an object), found an array"}};
    for (const auto& [args, says] : cases) {
        SimProcess p(TESSARO_SIM_PATH, args, 50000);  // time for the zeros under a sanitizer
        EXPECT_EQ(p.stop(), 2) << args[0];
        EXPECT_THAT(p.log(), MatchesRegex("tessaro-sim: [^\n]+\n")) << args[0];  // one line: no listening line
        EXPECT_THAT(p.log(), HasSubstr(says));
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // sanitizers keep memory of their own
    rusage usage{};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 10 * static_cast<long>(text.size() >> 10) + (16 << 10));  // a baseline of 16 MiB
#endif
}

TEST(StateFile, StateTooLargeToLoadAgainIsNotSaved) {
    test::TempDir dir;
    Machine m(test::load(R"({"nodes": [{"name": "f", "type": "FOLDER"}]})"));
    StateFile state(dir.path + "/state.json", m, [](const std::string&) {});
    std::string error;
    ASSERT_TRUE(state.open(error) && state.commit() == E_OK) << error;
    const std::string saved = test::read_file(dir.path + "/state.json");
    Session s;
    for (int i = 0; i < 9; ++i) {  // 9 MiB of bytes, 18 MiB as hex
        std::string name = "f.b" + std::to_string(i);
        ASSERT_EQ(m.create_node(name, VT_BIN), E_OK);
        ASSERT_EQ(m.set_value(s, m.get_node(name), std::string(kMaxBinBytes * 2, 'A')), E_OK);
        ASSERT_EQ(m.write_sync(s, m.get_node(name)), E_OK);
    }
    EXPECT_EQ(state.commit(), E_FAILURE);
    EXPECT_EQ(test::read_file(dir.path + "/state.json"), saved);
}

// A client's requests to a simulator that keeps its state and traces: what
// a JSON file cannot hold is refused, a failed save is no success and its
// change goes into the next save, and the trace has each request and event
// as it happens, with the result the client got.
TEST(StateAndTrace, FailedSaveIsNoSuccessAndTheTraceSaysSo) {
    test::TempDir dir;
    const std::string scenario = dir.path + "/cell.json", state = dir.path + "/state.json";
    test::write_file(scenario, R"({"plc": {"ready_delay_ms": 0}, "faults": [{"op": "JobStart", "result": -14}],
        "nodes": [{"name": "Speed", "type": "VT_I32"}, {"name": "Job", "type": "VT_JOB"}]})");
    {
        SimProcess sim(TESSARO_SIM_PATH, {"--scenario", scenario, "--state", state, "--trace", dir.path + "/trace"});
        ASSERT_TRUE(sim.listening()) << sim.log();
        test::RawClient c;
        ASSERT_TRUE(c.connect(sim.port()) && c.hello());
        using proto::Op;
        int32_t speed = c.get_node("Speed");
        EXPECT_EQ(c.result(c.request(Op::SetNodeValueString).i32(speed).str("\xFF")), E_INVALID);
        EXPECT_EQ(c.result(c.request(Op::SetNodeValueString).i32(speed).str("42")), E_OK);
        std::filesystem::create_directory(state + ".tmp");  // where the next save must write
        EXPECT_EQ(c.result(c.request(Op::WriteNodeSync).i32(speed)), E_FAILURE);
        EXPECT_THAT(sim.log(), HasSubstr("tessaro-sim: cannot save the state: " + state + ".tmp: Is a directory\n"));
        std::filesystem::remove(state + ".tmp");
        c.result(c.request(Op::RegisterOnPLCChanged));
        EXPECT_EQ(c.result(c.request(Op::SelectNode).i32(2)), E_OK);  // Job, ready at once: an event
        c.result(c.request(Op::JobStart));
        c.result(c.request(Op::DeleteSingleNodeOnController).i32(2));  // not ready any more: an event
        // Read while the simulator runs. Times and the client's port vary.
        std::regex varying(R"("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z","conn":"127\.0\.0\.1:\d+",)");
        EXPECT_EQ(std::regex_replace(test::read_file(dir.path + "/trace"), varying, ""),
                  R"({"op":"Hello","args":["TSRO",1],"result":0}
{"op":"GetNode","args":["Speed"],"node":"Speed","result":1}
{"op":"SetNodeValueString","args":[1,{"hex":"FF"}],"node":"Speed","result":-4}
{"op":"SetNodeValueString","args":[1,"42"],"node":"Speed","result":0}
{"op":"WriteNodeSync","args":[1],"node":"Speed","result":-15}
{"op":"RegisterOnPLCChanged","args":[],"result":0}
{"event":"PlcChanged","state":16404}
{"op":"SelectNode","args":[2],"node":"Job","result":0}
{"op":"JobStart","args":[],"result":-14,"fault":{"index":0,"kind":"result"}}
{"event":"PlcChanged","state":16388}
{"op":"DeleteSingleNodeOnController","args":[2],"node":"Job","result":0}
)");
    }
    // The change whose save failed went into the next save.
    MachineConfig cfg;
    std::string error;
    ASSERT_EQ(load_state(state, cfg, error), StateLoad::Loaded) << error;
    EXPECT_EQ(cfg.tree.find("Speed")->value.text, "42");
    // A torn file is refused, and left as it is.
    test::write_file(state, R"({"nodes": [)");
    SimProcess refused(TESSARO_SIM_PATH, {"--state", state});
    EXPECT_EQ(refused.stop(), 2);
    EXPECT_THAT(refused.log(), MatchesRegex("tessaro-sim: state file " + state + ":[0-9]+:[0-9]+: [^\n]+\n"));
    EXPECT_EQ(test::read_file(state), R"({"nodes": [)");
}

}  // namespace
}  // namespace tessaro::sim
