// The files of tessaro-sim under hostile conditions: the state file (--state)
// and the trace (--trace) against planted links, a second simulator, the file
// size limit and a FIFO reader that never comes or never reads.
#include <fcntl.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include "sim_process.h"
#include "state_file.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;
using tessaro::SimProcess;

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

TEST(StateFile, StateTooLargeToLoadAgainIsNotSaved) {
    test::TempDir dir;
    Machine m(test::load(R"({"nodes": [{"name": "f", "type": "FOLDER"}]})"));
    StateFile state(dir.path + "/state.json", m, [](const std::string&) {});
    std::string error;
    ASSERT_TRUE(state.open(error) && state.commit() == E_OK) << error;
    const std::string saved = test::read_file(dir.path + "/state.json");
    Session s;
    for (std::string name = "f.b1"; name != "f.b:"; ++name.back()) {  // 9 MiB of bytes, 18 MiB as hex
        ASSERT_EQ(m.create_node(name, VT_BIN), E_OK);
        ASSERT_EQ(m.set_value(s, m.get_node(name), std::string(kMaxBinBytes * 2, 'A')), E_OK);
        ASSERT_EQ(m.write_sync(s, m.get_node(name)), E_OK);
    }
    EXPECT_EQ(state.commit(), E_FAILURE);
    EXPECT_EQ(test::read_file(dir.path + "/state.json"), saved);
}

// A client's requests to a simulator that keeps its state and traces: what
// a JSON file cannot hold is refused, a failed save is no success, leaves no
// file behind and its change goes into the next save, and the trace has each
// request and event as it happens, with the result the client got. Saves
// write through no link planted beside the file, and a second simulator on
// the same file is refused while the first runs.
TEST(StateAndTrace, FailedSaveIsNoSuccessAndTheTraceSaysSo) {
    test::TempDir dir;
    const std::string scenario = dir.path + "/cell.json", state = dir.path + "/state.json";
    test::write_file(scenario, R"({"plc": {"ready_delay_ms": 0}, "faults": [{"op": "JobStart", "result": -14}],
        "nodes": [{"name": "Speed", "type": "VT_I32"}, {"name": "Job", "type": "VT_JOB"}]})");
    test::write_file(dir.path + "/victim", "PRECIOUS");
    std::filesystem::create_symlink("victim", state + ".tmp");
    {
        SimProcess sim(TESSARO_SIM_PATH, {"--scenario", scenario, "--state", state, "--trace", dir.path + "/trace"});
        ASSERT_TRUE(sim.listening()) << sim.log();
        SimProcess second(TESSARO_SIM_PATH, {"--state", state});
        EXPECT_EQ(second.stop(), 2);
        EXPECT_THAT(second.log(), HasSubstr("state file " + state + ": another simulator holds it"));
        test::RawClient c;
        ASSERT_TRUE(c.connect(sim.port()) && c.hello());
        int32_t speed = c.get_node("Speed");
        EXPECT_EQ(c.result(c.request(Op::SetNodeValueString).i32(speed).str("\xFF")), E_INVALID);
        EXPECT_EQ(c.result(c.request(Op::SetNodeValueString).i32(speed).str("42")), E_OK);
        std::filesystem::remove(state);  // a folder the next save cannot replace
        std::filesystem::create_directories(state + "/in");
        EXPECT_EQ(c.result(c.request(Op::WriteNodeSync).i32(speed)), E_FAILURE);
        EXPECT_THAT(sim.log(), HasSubstr("tessaro-sim: cannot save the state: " + state + ": Is a directory\n"));
        std::filesystem::remove_all(state);
        c.result(c.request(Op::RegisterOnPLCChanged));
        EXPECT_EQ(c.result(c.request(Op::SelectNode).i32(2)), E_OK);  // Job, ready at once: an event
        c.result(c.request(Op::JobStart));
        c.result(c.request(Op::DeleteSingleNodeOnController).i32(2));  // not ready any more: an event
        // Read while the simulator runs; times and the client's port vary.
        // (That lines like these read back is the trace line tests'.)
        std::regex varying(R"("time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z","conn":"127\.0\.0\.1:\d+",)");
        EXPECT_EQ(std::regex_replace(test::read_file(dir.path + "/trace"), varying, ""),
                  R"({"op":"Hello","args":["TSRO",1],"result":0,"reply":[1,"tessaro-sim unnamed"]}
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
    EXPECT_EQ(test::read_file(dir.path + "/victim"), "PRECIOUS");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 6);  // no temporary file left
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

// Under a file size limit (ulimit -f, 64 KiB here) a save that would cross it
// fails as on a full disk, and a trace line that would cross it stops the
// trace, cut back to whole lines; the simulator serves on.
TEST(StateAndTrace, FileSizeLimitFailsTheSaveAndStopsTheTrace) {
    test::TempDir dir;
    const std::string state = dir.path + "/state.json", trace = dir.path + "/trace";
    SimProcess sim("/bin/bash", {"-c", "ulimit -f 64 && exec \"$@\"", "-", TESSARO_SIM_PATH, "--state", state,
                                 "--trace", trace});
    ASSERT_TRUE(sim.listening()) << sim.log();
    test::RawClient c;
    ASSERT_TRUE(c.connect(sim.port()) && c.hello());
    int32_t label = c.get_node("demo.Label");
    const std::string big(60000, 'x');  // the state with it takes more than 64 KiB
    EXPECT_EQ(c.result(c.request(Op::SetNodeValueString).i32(label).str(big)), E_OK);
    EXPECT_EQ(c.result(c.request(Op::WriteNodeSync).i32(label)), E_FAILURE);
    EXPECT_THAT(sim.log(), HasSubstr("cannot save the state: " + state + ": File too large\n"));
    EXPECT_EQ(c.result(c.request(Op::SetNodeValueString).i32(label).str(big)), E_OK);  // the trace would cross it
    EXPECT_THAT(sim.log(), HasSubstr("trace file " + trace + ": File too large; tracing stops\n"));
    EXPECT_THAT(test::read_file(trace), MatchesRegex("([^\n]*\n){4}"));  // whole lines, up to the WriteNodeSync
}

// A trace FIFO that no one opens holds the start back, but not a stop signal;
// one whose reader never reads holds requests back 2 s at most, and neither
// a stop signal: the stalled reader is dropped with one line.
TEST(StateAndTrace, FifoReaderThatNeverComesOrNeverReadsFreezesNothing) {
    test::TempDir dir;
    const std::string fifo = dir.path + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(SimProcess(TESSARO_SIM_PATH, {"--trace", fifo}, 300).stop(1000), 0) << "not stopped within a second";
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);  // never reads
    {
        SimProcess stalled(TESSARO_SIM_PATH, {"--trace", fifo});
        std::thread client([port = stalled.port()] {
            test::RawClient c;  // a line of 60 KB each: the second fills the FIFO
            if (c.connect(port) && c.hello())
                while (c.result(c.request(Op::GetNode).str(std::string(60000, 'x'))) != INT_MIN) {}
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        EXPECT_EQ(stalled.stop(1000), 0) << "not stopped within a second";
        client.join();
    }
    SimProcess dropped(TESSARO_SIM_PATH, {"--trace", fifo});  // the FIFO is still full
    ASSERT_TRUE(dropped.listening()) << dropped.log();
    test::RawClient c;
    ASSERT_TRUE(c.connect(dropped.port()) && c.hello());  // after 2 s
    EXPECT_THAT(dropped.log(), HasSubstr("tessaro-sim: trace file " + fifo + ": the reader took no line for 2 s; "
                                         "tracing stops\n"));
    ::close(reader);
}

}  // namespace
}  // namespace tessaro::sim
