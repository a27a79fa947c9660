// The program against the simulator while the controller fails under it: the
// simulator killed or stopped in the middle of zunaRunJob, and state queries
// that fail.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>

#include "scripted_peer.h"
#include "program.h"
#include "sim_process.h"

namespace {

constexpr double kBoundS = 30.0;  // far beyond every expected run; a hang shows as 137

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
    rel::TempFile scenario(R"({"plc": {"ready_delay_ms": 300},
        "nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": 500}],
        "faults": [{"op": "JobStart", "delay_ms": 2000}]})");
    for (int sig : {SIGKILL, SIGSTOP}) {
        tessaro::SimProcess sim(TESSARO_SIM, {"--scenario", scenario.path()});
        ASSERT_TRUE(sim.listening());
        HController witness = DetectRemoteController(sim.address().c_str(), 1610);
        ASSERT_NE(witness, -1);
        g_plc = 0;
        ASSERT_EQ(RegisterOnPLCChanged(witness, remember), 0);
        rel::Run run(rel::link("zunaRunJob"), {"-c", sim.address(), "-n", "J"});
        ASSERT_TRUE(peer::eventually([] { return (g_plc.load() & 0x10) != 0; }, 10000));
        std::this_thread::sleep_for(std::chrono::milliseconds(700));
        sim.signal(sig);
        rel::RunResult r = run.wait(kBoundS);
        EXPECT_EQ(r.status, 4) << strsignal(sig) << "\n" << r.err;
        EXPECT_EQ(r.out + r.err, "");
    }
}

// A 5 s job that fails; the third and fourth state queries (the last wait's
// first look and the final read) fail. The last wait must hold out for the
// end of the job, and the unread final state is no verdict: status 5.
TEST(RunFaults, FailedStateQueriesGiveNoVerdict) {
    rel::TempFile scenario(R"({"nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": 5000, "outcome": "failed"}],
        "faults": [{"op": "GetPLCState", "call": 3, "times": 2, "result": -1}]})");
    tessaro::SimProcess sim(TESSARO_SIM, {"--scenario", scenario.path()});
    ASSERT_TRUE(sim.listening());
    rel::RunResult r = rel::run_program(rel::link("zunaRunJob"), {"-c", sim.address(), "-n", "J"}, kBoundS);
    EXPECT_EQ(r.status, 5) << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

}  // namespace
