// The example report program against the simulator's default machine.
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "scenario.h"

namespace e2e {
namespace {

const char kDefaultMachineReport[] =
    "== Drivers\n"
    "\n"
    "\n"
    "Found 3 drivers\n"
    "Driver: io-basic (Version: 1.4.0)\n"
    "Vendor: Tessaro Systems\n"
    "Comment: Digital inputs and outputs\n"
    "\n"
    "Driver: ecat-master (Version: 2.3.1)\n"
    "Vendor: Tessaro Systems\n"
    "Comment: Fieldbus master for the axes\n"
    "\n"
    "Driver: galvo-ctl (Version: 0.9.7)\n"
    "Vendor: Optik Werke\n"
    "Comment: Scanner head controller\n"
    "\n"
    "== Devices\n"
    " * IO1                    io-basic   ok\n"
    " * Laser                 galvo-ctl   inactive\n"
    " * Gantry              ecat-master   running\n"
    "   * AxisX             ecat-master   homed\n"
    "   * AxisY             ecat-master   homed\n"
    "== Jobs\n"
    "2 jobs on the controller:\n"
    "\t 0: Demo\n"
    "\t 1: DemoFail\n"
    "== Job node types\n"
    "+-------------------+-----------------+---------------------------------------------------+\n"
    "| jobnodes.Origin         |               |              |              |                 |\n"
    "+-------------------+-----------------+---------------------------------------------------+\n"
    "| jobnodes.Line           | usercreatable |              | canpasslines |                 |\n"
    "+-------------------+-----------------+---------------------------------------------------+\n"
    "| jobnodes.Group          | usercreatable | canmakelines | canpasslines | acceptssubnodes |\n"
    "+-----------------------------------------------------------------------------------------+\n"
    "== PLC state\n"
    "\t devices ready\n"
    "\t system ready\n"
    "== Children of jobs.Demo\n"
    "  1: Start (29)\n"
    "  2: Outline (30)\n"
    "== Children of no.such\n"
    "Could not find no.such\n";

TEST(ReportExample, PrintsTheDefaultMachine) {
    Simulator sim;
    ASSERT_TRUE(sim.listening()) << sim.log();
    RunResult r = run_program(link_path("controllerReport"), {"-c", sim.address(), "jobs.Demo", "no.such"});
    EXPECT_EQ(r.out, kDefaultMachineReport);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST(ReportExample, MarksTheSelectedJobAndShowsItReady) {
    Simulator sim;
    ASSERT_TRUE(sim.listening()) << sim.log();
    ASSERT_EQ(run_program(link_path("zunaSelectJob"), {"-c", sim.address(), "-n", "DemoFail"}).status, 0);
    // Ready follows the selection after 100 ms; the report connects later.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RunResult r = run_program(link_path("controllerReport"), {"-c", sim.address()});
    EXPECT_NE(r.out.find("\t 0: Demo\n\t*1: DemoFail\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("== PLC state\n\t devices ready\n\t job ready\n\t system ready\n"), std::string::npos) << r.out;
    EXPECT_EQ(r.status, 0);
}

TEST(ReportExample, FailedReportGivesStatus2) {
    Machine m(default_with_faults(R"([{"op": "GetDriverInfo", "result": -2}])"));
    ASSERT_TRUE(m.sim.listening()) << m.sim.log();
    RunResult r = run_program(link_path("controllerReport"), {"-c", m.sim.address()});
    EXPECT_EQ(r.out.substr(0, 21), "== Drivers\n== Devices");
    EXPECT_EQ(r.status, 2);
}

}  // namespace
}  // namespace e2e
