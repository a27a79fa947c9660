// The three job modes end to end through their links against the simulated
// controller: every exit status of a job run, by its stages and outcome.
#include <gtest/gtest.h>

#include "scenario.h"

namespace e2e {
namespace {

const std::string kJobs = std::string(E2E_DATA_DIR) + "/jobs.json";

RunResult run(const Simulator& sim, const std::string& link, std::vector<std::string> args) {
    args.insert(args.begin(), {"-c", sim.address()});
    return run_program(link_path(link), args);
}

class Jobs : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.listening()) << sim.log(); }
    Simulator sim{kJobs};
};

// Each job mode writes nothing of its own: the status is the whole answer.
void expect_status(const RunResult& r, int status, const std::string& what) {
    EXPECT_EQ(r.status, status) << what;
    EXPECT_EQ(r.out, "") << what;
    EXPECT_EQ(r.err, "") << what;
}

TEST_F(Jobs, RunJobEndsWithTheOutcome) {
    expect_status(run(sim, "zunaRunJob", {"-n", "QuickFail"}), 6, "failed");
    expect_status(run(sim, "zunaRunJob", {"-n", "Both"}), 6, "completed and failed");
    expect_status(run(sim, "zunaRunJob", {"-n", "Mute"}), 0, "no outcome bit");
    // Two jobs share the short name Quick; the later one (cell.Quick, which
    // fails) is selected last and runs.
    expect_status(run(sim, "zunaRunJob", {"-n", "Quick"}), 6, "duplicate short name");
}

TEST_F(Jobs, RunJobOfAReadyJobAndOfAJobThatNeverShowsActive) {
    expect_status(run(sim, "zunaSelectJob", {"-n", "Mute"}), 0, "select");
    expect_status(run(sim, "zunaRunJob", {"-n", "Mute"}), 0, "already selected and ready");
    // Active and done again before the wait for the active state looks.
    expect_status(run(sim, "zunaRunJob", {"-n", "Flash"}), 5, "flash");
    expect_status(run(sim, "zunaRunJob", {"-n", "Stuck"}), 5, "never active");
}

TEST_F(Jobs, RunJobOfAJobThatNeverBecomesReady) {
    RunResult r = run(sim, "zunaRunJob", {"-n", "Lazy"});
    expect_status(r, 5, "never ready");
    EXPECT_GE(r.seconds, 10.0);
}

TEST_F(Jobs, SelectionByShortNameOnly) {
    for (const std::string name : {"Nope", "quick", "jobs.Quick", ""}) {
        expect_status(run(sim, "zunaSelectJob", {"-n", name}), 2, "select " + name);
        expect_status(run(sim, "zunaRunJob", {"-n", name}), 2, "run " + name);
    }
    expect_status(run(sim, "zunaSelectJob", {}), 2, "no -n");
}

TEST_F(Jobs, StartJobStartsWhatIsSelectedAndIgnoresTheName) {
    // Nothing selected: the start is refused whatever -n says.
    expect_status(run(sim, "zunaStartJob", {"-n", "Mute"}), 2, "nothing selected");
    expect_status(run(sim, "zunaSelectJob", {"-n", "Mute"}), 0, "select");
    // Lazy would never be ready: had -n been read, the start would fail.
    expect_status(run(sim, "zunaStartJob", {"-n", "Lazy"}), 0, "start the selected job");
}

TEST(JobFaults, RefusedStartAndRefusedNotifications) {
    Machine start(default_with_faults(R"([{"op": "JobStart", "result": -14}])"));
    ASSERT_TRUE(start.sim.listening()) << start.sim.log();
    expect_status(run(start.sim, "zunaRunJob", {"-n", "Demo"}), 4, "start refused");
    expect_status(run(start.sim, "zunaStartJob", {}), 2, "start refused");

    Machine reg(default_with_faults(R"([{"op": "RegisterOnPLCChanged", "result": -2}])"));
    ASSERT_TRUE(reg.sim.listening()) << reg.sim.log();
    expect_status(run(reg.sim, "zunaRunJob", {"-n", "Demo"}), 5, "registration refused");

    Machine sel(default_with_faults(R"([{"op": "SelectNode", "result": -13}])"));
    ASSERT_TRUE(sel.sim.listening()) << sel.sim.log();
    RunResult r = run(sel.sim, "zunaSelectJob", {"-n", "Demo"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "ERROR: SelectNode failed\n");
    EXPECT_EQ(r.err, "");
}

TEST(JobFaults, EmptyJobListIsReported) {
    TempFile empty(R"({"nodes": [{"name": "a", "type": "FOLDER"}]})");
    Simulator sim(empty.path());
    ASSERT_TRUE(sim.listening()) << sim.log();
    RunResult r = run(sim, "zunaRunJob", {"-n", "Demo"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "No job on the controller!\n");
    EXPECT_EQ(r.out, "");
}

TEST(DefaultMachine, DemoJobsCompleteAndFail) {
    Simulator sim;
    ASSERT_TRUE(sim.listening()) << sim.log();
    RunResult ok = run(sim, "zunaRunJob", {"-n", "Demo"});
    expect_status(ok, 0, "Demo");
    EXPECT_GE(ok.seconds, 1.0);
    expect_status(run(sim, "zunaRunJob", {"-n", "DemoFail"}), 6, "DemoFail");
}

}  // namespace
}  // namespace e2e
