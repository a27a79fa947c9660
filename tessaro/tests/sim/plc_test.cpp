// The job run and the PLC state word, stepped with a manual clock, and once
// with the machine's own timer thread.
#include <gtest/gtest.h>

#include <thread>

#include "machine.h"
#include "support.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

constexpr uint32_t kReady = plc_bit(PLC_JOB_READY);
constexpr uint32_t kActive = plc_bit(PLC_JOB_ACTIVE);
constexpr uint32_t kCompleted = plc_bit(PLC_JOB_COMPLETED);
constexpr uint32_t kFailed = plc_bit(PLC_JOB_FAILED);
constexpr uint32_t kBase = plc_bit(PLC_DEVICES_READY) | plc_bit(PLC_SYSTEM_READY);

const char kJobs[] = R"({
  "plc": {"ready_delay_ms": 100},
  "nodes": [
    {"name": "jobs", "type": "FOLDER", "children": [
      {"name": "Ok", "type": "VT_JOB", "duration_ms": 1000},
      {"name": "Bad", "type": "VT_JOB", "duration_ms": 500, "outcome": "failed"},
      {"name": "Both", "type": "VT_JOB", "duration_ms": 10, "outcome": "both", "ready_delay_ms": 0},
      {"name": "Quiet", "type": "VT_JOB", "duration_ms": 10, "outcome": "none", "ready_delay_ms": 0},
      {"name": "Instant", "type": "VT_JOB", "duration_ms": 0, "ready_delay_ms": 0},
      {"name": "Never", "type": "VT_JOB", "never_ready": true},
      {"name": "Stuck", "type": "VT_JOB", "never_active": true, "ready_delay_ms": 0}
    ]},
    {"name": "other", "type": "FOLDER", "children": [
      {"name": "Spare", "type": "VT_JOB", "ready_delay_ms": 0}
    ]},
    {"name": "v", "type": "VT_I32"}
  ]
})";

class PlcTest : public ::testing::Test {
protected:
    PlcTest() : m(test::load(kJobs), clock.fn()) { m.register_plc(s, &events); }

    int32_t h(const std::string& n) { return m.get_node(n); }
    void step(int ms) {
        clock.advance(ms);
        m.run_due();
    }

    test::ManualClock clock;
    Machine m;
    Session s;
    test::Recorder events;
};

TEST_F(PlcTest, SelectedJobBecomesReadyAfterItsDelay) {
    EXPECT_EQ(m.plc_state(), kBase);
    ASSERT_EQ(m.select_node(h("jobs.Ok")), E_OK);
    step(99);
    EXPECT_EQ(m.plc_state() & kReady, 0u);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);
    step(1);
    EXPECT_EQ(m.plc_state(), kBase | kReady);
    EXPECT_EQ(events.words(), (std::vector<uint32_t>{kBase | kReady}));
    EXPECT_EQ(m.job_info().selectednode, "jobs.Ok");
}

TEST_F(PlcTest, RunToCompletionAndReadyAgain) {
    ASSERT_EQ(m.select_node(h("jobs.Ok")), E_OK);
    step(100);
    ASSERT_EQ(m.job_start(), E_OK);
    EXPECT_EQ(m.plc_state(), kBase | kActive);
    EXPECT_EQ(m.job_start(), E_BUSY);
    EXPECT_EQ(m.select_node(h("v")), E_BUSY);
    step(999);
    EXPECT_EQ(m.plc_state(), kBase | kActive);
    step(1);
    EXPECT_EQ(m.plc_state(), kBase | kCompleted);
    step(100);
    EXPECT_EQ(m.plc_state(), kBase | kCompleted | kReady);
    // A new start clears the outcome of the last run.
    ASSERT_EQ(m.job_start(), E_OK);
    EXPECT_EQ(m.plc_state(), kBase | kActive);
    EXPECT_EQ(events.words(), (std::vector<uint32_t>{kBase | kReady, kBase | kActive, kBase | kCompleted,
                                                     kBase | kCompleted | kReady, kBase | kActive}));
}

TEST_F(PlcTest, OutcomesFailedBothAndNone) {
    ASSERT_EQ(m.select_node(h("jobs.Bad")), E_OK);
    step(100);
    ASSERT_EQ(m.job_start(), E_OK);
    step(500);
    EXPECT_EQ(m.plc_state() & (kActive | kCompleted | kFailed), kFailed);

    ASSERT_EQ(m.select_node(h("jobs.Both")), E_OK);
    ASSERT_EQ(m.job_start(), E_OK);  // ready at once, delay 0
    step(10);
    EXPECT_EQ(m.plc_state() & (kActive | kCompleted | kFailed), kCompleted | kFailed);

    ASSERT_EQ(m.select_node(h("jobs.Quiet")), E_OK);
    ASSERT_EQ(m.job_start(), E_OK);
    step(10);
    EXPECT_EQ(m.plc_state() & (kActive | kCompleted | kFailed), 0u);
}

TEST_F(PlcTest, ZeroDurationEndsBeforeTheStartReturns) {
    ASSERT_EQ(m.select_node(h("jobs.Instant")), E_OK);
    auto before = events.words().size();
    ASSERT_EQ(m.job_start(), E_OK);
    auto w = events.words();
    ASSERT_EQ(w.size(), before + 3);
    EXPECT_EQ(w[before], kBase | kActive);
    EXPECT_EQ(w[before + 1], kBase | kCompleted);
    EXPECT_EQ(w[before + 2], kBase | kCompleted | kReady);
    EXPECT_EQ(m.plc_state() & kActive, 0u);
}

TEST_F(PlcTest, MisbehavingJobs) {
    ASSERT_EQ(m.select_node(h("jobs.Never")), E_OK);
    step(60000);
    EXPECT_EQ(m.plc_state() & kReady, 0u);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);

    ASSERT_EQ(m.select_node(h("jobs.Stuck")), E_OK);
    EXPECT_NE(m.plc_state() & kReady, 0u);
    ASSERT_EQ(m.job_start(), E_OK);
    step(60000);
    EXPECT_EQ(m.plc_state() & (kReady | kActive), 0u);
    // Selecting it again arms it once more.
    ASSERT_EQ(m.select_node(h("jobs.Stuck")), E_OK);
    EXPECT_NE(m.plc_state() & kReady, 0u);
}

TEST_F(PlcTest, StartNeedsAReadyJob) {
    EXPECT_EQ(m.job_start(), E_NOT_RDY);  // nothing selected
    ASSERT_EQ(m.select_node(h("v")), E_OK);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);  // not a job
    EXPECT_EQ(m.job_info().selectednode, "v");
    EXPECT_EQ(m.select_node(-1), E_NOEXIST);
    EXPECT_EQ(m.select_node(4242), E_NOEXIST);
}

TEST_F(PlcTest, SelectionChangesClearReady) {
    ASSERT_EQ(m.select_node(h("other.Spare")), E_OK);
    ASSERT_NE(m.plc_state() & kReady, 0u);
    auto n = events.words().size();
    ASSERT_EQ(m.select_node(h("other.Spare")), E_OK);  // already selected and ready: no change
    EXPECT_EQ(events.words().size(), n);
    ASSERT_EQ(m.select_node(h("jobs")), E_OK);
    EXPECT_EQ(m.plc_state() & kReady, 0u);

    ASSERT_EQ(m.select_node(h("other.Spare")), E_OK);
    ASSERT_EQ(m.delete_node(h("other.Spare")), E_OK);  // deleting the selection forgets it
    EXPECT_EQ(m.plc_state() & kReady, 0u);
    EXPECT_EQ(m.job_info().selectednode, "");
}

TEST_F(PlcTest, RunningJobCannotBeDeletedOrMoved) {
    ASSERT_EQ(m.select_node(h("other.Spare")), E_OK);
    ASSERT_EQ(m.job_start(), E_OK);
    EXPECT_EQ(m.delete_node(h("other.Spare")), E_BUSY);
    EXPECT_EQ(m.move_subtree(h("other.Spare"), h("jobs"), 0), E_BUSY);
    EXPECT_EQ(m.rename_node(h("other.Spare"), "Renamed"), E_OK);
    EXPECT_EQ(m.job_info().selectednode, "other.Renamed");
}

TEST_F(PlcTest, JobListsAgreeAndFollowTheTree) {
    proto::JobInfo info = m.job_info();
    EXPECT_EQ(info.fulljobnames, (std::vector<std::string>{"jobs.Ok", "jobs.Bad", "jobs.Both", "jobs.Quiet",
                                                           "jobs.Instant", "jobs.Never", "jobs.Stuck", "other.Spare"}));
    ASSERT_EQ(info.jobnames.size(), info.fulljobnames.size());
    EXPECT_EQ(info.jobnames.front(), "Ok");
    std::string names = m.job_names();
    EXPECT_EQ(names, "jobs.Ok;jobs.Bad;jobs.Both;jobs.Quiet;jobs.Instant;jobs.Never;jobs.Stuck;other.Spare");
    std::string copy;
    EXPECT_EQ(m.job_names_copy(static_cast<int32_t>(names.size()), copy), E_NOSPACE);
    EXPECT_EQ(m.job_names_copy(static_cast<int32_t>(names.size() + 1), copy), E_OK);
    EXPECT_EQ(copy, names);
    ASSERT_EQ(m.move_subtree(h("other.Spare"), h("jobs"), 0), E_OK);
    EXPECT_EQ(m.job_info().fulljobnames.front(), "jobs.Spare");
}

TEST(PlcTimer, TheTimerThreadRunsAJobOnTime) {
    Machine m(test::load(R"({"nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": 50, "ready_delay_ms": 20}]})"));
    m.start_timers();
    auto wait_for = [&m](uint32_t bits) {
        for (int i = 0; i < 200; ++i) {
            if ((m.plc_state() & bits) == bits) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    };
    ASSERT_EQ(m.select_node(m.get_node("J")), E_OK);
    ASSERT_TRUE(wait_for(kReady));
    ASSERT_EQ(m.job_start(), E_OK);
    EXPECT_TRUE(wait_for(kCompleted | kReady));
    m.stop_timers();
}

}  // namespace
}  // namespace tessaro::sim
