// The job run and the PLC state word, stepped with a manual clock: the
// timing edges and the events; outcomes and stuck jobs are seen end to end.
#include <gtest/gtest.h>

#include "support.h"

namespace tessaro::sim {
namespace {

using Words = std::vector<uint32_t>;
constexpr uint32_t kReady = plc_bit(PLC_JOB_READY);
constexpr uint32_t kActive = plc_bit(PLC_JOB_ACTIVE);
constexpr uint32_t kCompleted = plc_bit(PLC_JOB_COMPLETED);
constexpr uint32_t kBase = plc_bit(PLC_DEVICES_READY) | plc_bit(PLC_SYSTEM_READY);

const char kJobs[] = R"({"plc": {"ready_delay_ms": 100}, "nodes": [
  {"name": "jobs", "type": "FOLDER", "children": [
    {"name": "Ok", "type": "VT_JOB", "duration_ms": 1000}]},
  {"name": "other", "type": "FOLDER", "children": [{"name": "Spare", "type": "VT_JOB", "ready_delay_ms": 0}]},
  {"name": "v", "type": "VT_I32"}]})";

// The words pushed to the registered session, in order.
struct Recorder : PlcSink {
    void plc_changed(uint32_t word) override { words.push_back(word); }
    Words words;
};

class PlcTest : public ::testing::Test {
protected:
    PlcTest() : m(test::load(kJobs), [this] { return now; }) { m.register_plc(s, &events); }

    int32_t h(const std::string& n) { return m.get_node(n); }
    void step(int ms) {
        now += std::chrono::milliseconds(ms);
        m.run_due();
    }

    TimePoint now{};
    Machine m;
    Session s;
    Recorder events;
};

TEST_F(PlcTest, StartWaitsForTheSelectedJobToBeReady) {
    EXPECT_EQ(m.plc_state(), kBase);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);  // nothing selected
    ASSERT_EQ(m.select_node(h("v")), E_OK);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);  // not a job
    EXPECT_EQ(m.select_node(-1), E_NOEXIST);
    EXPECT_EQ(m.job_info().selectednode, "v");
    ASSERT_EQ(m.select_node(h("jobs.Ok")), E_OK);
    step(99);
    EXPECT_EQ(m.job_start(), E_NOT_RDY);
    step(1);
    EXPECT_EQ(m.plc_state(), kBase | kReady);
    EXPECT_EQ(events.words, Words{kBase | kReady});
    EXPECT_EQ(m.job_info().selectednode, "jobs.Ok");
}

TEST_F(PlcTest, RunToCompletionAndReadyAgain) {
    ASSERT_EQ(m.select_node(h("jobs.Ok")), E_OK);
    step(100);
    ASSERT_EQ(m.job_start(), E_OK);
    EXPECT_EQ(m.job_start(), E_BUSY);
    EXPECT_EQ(m.select_node(h("v")), E_BUSY);
    step(999);
    EXPECT_EQ(m.plc_state(), kBase | kActive);
    step(1);
    EXPECT_EQ(m.plc_state(), kBase | kCompleted);
    step(100);
    ASSERT_EQ(m.job_start(), E_OK);  // clears the outcome of the last run
    EXPECT_EQ(events.words, (Words{kBase | kReady, kBase | kActive, kBase | kCompleted, kBase | kCompleted | kReady,
                                   kBase | kActive}));
}

TEST_F(PlcTest, SelectionChangesClearReady) {
    ASSERT_EQ(m.select_node(h("other.Spare")), E_OK);
    ASSERT_EQ(m.select_node(h("other.Spare")), E_OK);  // already selected and ready: no change
    EXPECT_EQ(events.words, Words{kBase | kReady});
    ASSERT_EQ(m.select_node(h("jobs")), E_OK);
    EXPECT_EQ(m.plc_state(), kBase);

    ASSERT_EQ(m.select_node(h("other.Spare")), E_OK);
    ASSERT_EQ(m.delete_node(h("other.Spare")), E_OK);  // deleting the selection forgets it
    EXPECT_EQ(m.plc_state(), kBase);
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

}  // namespace
}  // namespace tessaro::sim
