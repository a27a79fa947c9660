// The program against the simulator while the controller fails under it: the
// simulator killed or stopped in the middle of zunaRunJob, and a binary value
// that shrinks between its length query and its copy.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>

#include "scripted_peer.h"
#include "sim_process.h"
#include "support.h"

namespace {

constexpr int kBoundMs = 30000;  // far beyond every expected run; a hang shows as 137
namespace test = tessaro::sim::test;

std::atomic<unsigned> g_plc{0};
int remember(HController, unsigned int value, unsigned int) {
    g_plc.store(value);
    return 0;
}

// A job that gets ready 300 ms after its selection and whose start the
// simulator answers 2 s late. Once the job is ready the program's start is
// under way, so a signal 700 ms later always falls inside JobStart: killed,
// the call fails at once; stopped, it times out after 3 s. Either way the
// start is unconfirmed, status 4, never a verdict on a job that did not run.
TEST(RunFaults, SimulatorKilledOrStoppedDuringTheStart) {
    test::TempDir dir;
    test::write_file(dir.path + "/s.json", R"({"plc": {"ready_delay_ms": 300},
        "nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": 500}],
        "faults": [{"op": "JobStart", "delay_ms": 2000}]})");
    for (int sig : {SIGKILL, SIGSTOP}) {
        tessaro::SimProcess sim(TESSARO_SIM, {"--scenario", dir.path + "/s.json"});
        ASSERT_TRUE(sim.listening());
        HController witness = DetectRemoteController(sim.address().c_str(), 1610);
        ASSERT_NE(witness, -1);
        g_plc = 0;
        ASSERT_EQ(RegisterOnPLCChanged(witness, remember), 0);
        tessaro::ChildProcess run({ZUNA_BIN_DIR "zunaRunJob", "-c", sim.address(), "-n", "J"});
        ASSERT_TRUE(peer::eventually([] { return (g_plc.load() & 0x10) != 0; }, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        sim.signal(sig);
        EXPECT_EQ(run.wait(kBoundMs), 4) << strsignal(sig) << "\n" << run.err();
        EXPECT_EQ(run.out() + run.err(), "");
    }
}

// Another client shrinks a 16 KiB VT_BIN value to one byte while the
// program's copy is held back: the copy no longer fits its buffer as sized
// and is refused, so the report keeps its size line and shows no dump.
TEST(RunFaults, BinaryValueShrinksBetweenLengthAndCopy) {
    std::string hex;
    for (int i = 0; i < 16384; ++i) hex += "5A ";
    test::TempDir dir;
    test::write_file(dir.path + "/s.json", R"({"nodes": [{"name": "B", "type": "VT_BIN", "value": ")" + hex + R"("}],
        "faults": [{"op": "GetNodeValueBinCopy", "node": "B", "delay_ms": 1500}]})");
    tessaro::SimProcess sim(TESSARO_SIM, {"--scenario", dir.path + "/s.json"});
    ASSERT_TRUE(sim.listening());
    HController other = DetectRemoteController(sim.address().c_str(), 1610);
    ASSERT_NE(other, -1);
    HNodeObject node = GetNode(other, "B");
    ASSERT_NE(node, -1);

    tessaro::ChildProcess run({ZUNA_BIN_DIR "zunaReadVar", "-c", sim.address(), "-n", "B"});
    ASSERT_TRUE(peer::eventually([&] { return run.out().find("Size: 16384\n") != std::string::npos; }, 10000));
    ASSERT_EQ(SetNodeValueString(other, node, "01"), 0);
    ASSERT_EQ(WriteNodeSync(other, node), 0);
    EXPECT_EQ(run.wait(kBoundMs), 0) << run.err();
    const std::string report =
        "Nodename: B\nPath:     \nName:     B\nHandle:   1\nNodeId:   4294967297\nType:     9 (VT_BIN)\n"
        "Size: 16384\nPriv:     rw\nUnit:     \nMin:      0.000000\nMax:      0.000000\nIndex:    0\n";
    EXPECT_TRUE(run.out() == report) << run.out().substr(0, 1000);
    EXPECT_EQ(run.err(), "");
}

}  // namespace
