// The four variable modes end to end through their links against the
// simulated controller: exact output, messages and statuses, with scenario
// faults for the failure paths.
#include <gtest/gtest.h>

#include "scenario.h"

namespace e2e {
namespace {

struct Expect {
    std::string out, err;
    int status;
};

void expect_run(const Simulator& sim, const std::string& link, std::vector<std::string> args, const Expect& want) {
    args.insert(args.begin(), {"-c", sim.address()});
    RunResult r = run_program(link_path(link), args);
    std::string what = link;
    for (const auto& a : args) what += " " + a;
    EXPECT_EQ(r.out, want.out) << what;
    EXPECT_EQ(r.err, want.err) << what;
    EXPECT_EQ(r.status, want.status) << what;
}

class Variables : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.listening()) << sim.log(); }
    Simulator sim;
};

TEST_F(Variables, ReadStrPrintsTheValueAsRendered) {
    expect_run(sim, "zunaReadStr", {"-n", "sys.BoardAddr"}, {"192.168.10.20\n", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "demo.Empty"}, {"\n", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "demo.Notes"}, {"first line\nsecond line\n", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "demo.Calibration"}, {"5453524F00017F80FF0A1F207E414243C3A91099\n", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "no.such"}, {"", "Failed to read variable no.such as a string!\n", 2});
    expect_run(sim, "zunaReadStr", {}, {"", "Failed to read variable  as a string!\n", 2});
}

TEST_F(Variables, ReadVarPrintsTheNodeReport) {
    expect_run(sim, "zunaReadVar", {"-n", "demo.Speed"},
               {"Nodename: demo.Speed\n"
                "Path:     demo\n"
                "Name:     Speed\n"
                "Handle:   10\n"
                "NodeId:   4294967298\n"
                "Type:     1 (VT_I32)\n"
                "Value:    1200\n"
                "Priv:     rw\n"
                "Unit:     mm/min\n"
                "Min:      0.000000\n"
                "Max:      10000.000000\n"
                "Index:    0\n"
                "Parent:   demo\n",
                "", 0});
    // A binary value: its size and a hex dump instead of a value line.
    expect_run(sim, "zunaReadVar", {"-n", "demo.Calibration"},
               {"Nodename: demo.Calibration\n"
                "Path:     demo\n"
                "Name:     Calibration\n"
                "Handle:   18\n"
                "NodeId:   4294967306\n"
                "Type:     9 (VT_BIN)\n"
                "Size: 20\n"
                "54 53 52 4F 00 01 7F 80  FF 0A 1F 20 7E 41 42 43  TSRO.... ... ~ABC\n"
                "C3 A9 10 99                                       ....\n"
                "Priv:     rw\n"
                "Unit:     \n"
                "Min:      0.000000\n"
                "Max:      0.000000\n"
                "Index:    8\n"
                "Parent:   demo\n",
                "", 0});
    // A top-level node has no parent line; a limit of 2.5 keeps six decimals.
    RunResult top = run_program(link_path("zunaReadVar"), {"-c", sim.address(), "-n", "sys"});
    EXPECT_EQ(top.status, 0);
    EXPECT_EQ(top.out.find("Parent:"), std::string::npos) << top.out;
    ASSERT_GE(top.out.size(), 13u);
    EXPECT_EQ(top.out.substr(top.out.size() - 13), "\nIndex:    0\n") << top.out;
    RunResult gain = run_program(link_path("zunaReadVar"), {"-c", sim.address(), "-n", "demo.Gain"});
    EXPECT_NE(gain.out.find("Value:    1.25\nPriv:     rw\nUnit:     V\nMin:      0.000000\nMax:      2.500000\n"),
              std::string::npos) << gain.out;
    expect_run(sim, "zunaReadVar", {"-n", "no.such"}, {"", "Failed to read variable no.such!\n", 2});
}

TEST_F(Variables, WriteStrIsReadBackByTheNextProgram) {
    expect_run(sim, "zunaWriteStr", {"-n", "demo.Speed", "-v", "4711"}, {"", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "demo.Speed"}, {"4711\n", "", 0});
    // Refusals leave the value as it was.
    expect_run(sim, "zunaWriteStr", {"-n", "demo.Speed", "-v", "10001"}, {"", "Failed to set variable demo.Speed!\n", 2});
    expect_run(sim, "zunaWriteStr", {"-n", "demo.Speed", "-v", "12abc"}, {"", "Failed to set variable demo.Speed!\n", 2});
    expect_run(sim, "zunaWriteStr", {"-n", "demo.Speed"}, {"", "Failed to set variable demo.Speed!\n", 2});
    expect_run(sim, "zunaReadStr", {"-n", "demo.Speed"}, {"4711\n", "", 0});
    expect_run(sim, "zunaWriteStr", {"-n", "sys.SerialNo", "-v", "X"}, {"", "Failed to set variable sys.SerialNo!\n", 2});
    expect_run(sim, "zunaWriteStr", {"-n", "no.such", "-v", "1"}, {"", "Failed to set variable no.such!\n", 2});
    // Without -v the empty text is written; a string variable takes it.
    expect_run(sim, "zunaWriteStr", {"-n", "demo.Label"}, {"", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "demo.Label"}, {"\n", "", 0});
}

TEST_F(Variables, CreateVarMakesAVariableOfTheNamedType) {
    expect_run(sim, "zunaCreateVar", {"-n", "scratch.Count", "-t", "VT_I64"}, {"", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "scratch.Count"}, {"0\n", "", 0});
    expect_run(sim, "zunaWriteStr", {"-n", "scratch.Count", "-v", "-9000000000"}, {"", "", 0});
    expect_run(sim, "zunaReadStr", {"-n", "scratch.Count"}, {"-9000000000\n", "", 0});
    RunResult r = run_program(link_path("zunaReadVar"), {"-c", sim.address(), "-n", "scratch.Count"});
    EXPECT_NE(r.out.find("Type:     2 (VT_I64)\n"), std::string::npos) << r.out;

    const std::string taken = "Failed to create variable scratch.Count!\n";
    expect_run(sim, "zunaCreateVar", {"-n", "scratch.Count", "-t", "VT_I32"}, {"", taken, 2});
    expect_run(sim, "zunaCreateVar", {"-n", "scratch.Other", "-t", "vt_i32"},
               {"", "Failed to create variable scratch.Other!\n", 2});
    expect_run(sim, "zunaCreateVar", {"-n", "scratch.Other"}, {"", "Failed to create variable scratch.Other!\n", 2});
    expect_run(sim, "zunaCreateVar", {"-n", "nowhere.X", "-t", "VT_STR"}, {"", "Failed to create variable nowhere.X!\n", 2});
    expect_run(sim, "zunaReadStr", {"-n", "scratch.Other"}, {"", "Failed to read variable scratch.Other as a string!\n", 2});
}

TEST(VariableFaults, LibraryRefusalsBecomeStatus2WithEmptyOutput) {
    Machine m(default_with_faults(R"([
        {"op": "GetNodeValueString", "node": "sys.BoardAddr", "result": -7},
        {"op": "GetNodeValueStringLen", "node": "sys.Hostname", "result": -4},
        {"op": "WriteNodeSync", "node": "demo.Speed", "result": -13},
        {"op": "CreateNodeOnController", "result": -3},
        {"op": "GetNodeInfo", "node": "demo.Gain", "result": -1}
    ])"));
    ASSERT_TRUE(m.sim.listening()) << m.sim.log();
    expect_run(m.sim, "zunaReadStr", {"-n", "sys.BoardAddr"}, {"", "Failed to read variable sys.BoardAddr as a string!\n", 2});
    expect_run(m.sim, "zunaReadStr", {"-n", "sys.Hostname"}, {"", "Failed to read variable sys.Hostname as a string!\n", 2});
    // The write is refused when committed: the old value stays.
    expect_run(m.sim, "zunaWriteStr", {"-n", "demo.Speed", "-v", "5"}, {"", "Failed to set variable demo.Speed!\n", 2});
    expect_run(m.sim, "zunaReadStr", {"-n", "demo.Speed"}, {"1200\n", "", 0});
    expect_run(m.sim, "zunaCreateVar", {"-n", "scratch.A", "-t", "VT_STR"}, {"", "Failed to create variable scratch.A!\n", 2});
    // No node record: no report, and that is a failure, not an empty success.
    expect_run(m.sim, "zunaReadVar", {"-n", "demo.Gain"}, {"", "Failed to read variable demo.Gain!\n", 2});
}

}  // namespace
}  // namespace e2e
