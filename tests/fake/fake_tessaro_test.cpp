// Tests of the recording fake itself: the other tests rely on its scripting,
// its record tracking and its PLC deliveries.
#include "fake_tessaro.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <thread>

using namespace std::chrono_literals;

namespace {

class FakeTest : public ::testing::Test {
protected:
    void SetUp() override { fake::reset(); }
};

TEST_F(FakeTest, UnscriptedOperationsAnswerZeroNullAndLeaveOutParamsAlone)
{
    int count = 42;
    EXPECT_EQ(GetNode(1, "a.b"), 0);
    EXPECT_EQ(GetNodeObjectCount(1, 2, &count), 0);
    EXPECT_EQ(count, 42);
    EXPECT_EQ(GetNodeInfo(1, 2), nullptr);
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetNode", "GetNodeObjectCount", "GetNodeInfo"}));
    EXPECT_EQ(fake::calls("GetNodeObjectCount")[0].outsAtEntry, (std::vector<long long>{42}));
}

TEST_F(FakeTest, SequenceIsConsumedBeforeTheDefaultAndCustomTakesPrecedence)
{
    fake::on("GetNodeNameLen").always(9).then(1).then(E_INVALID);
    EXPECT_EQ(GetNodeNameLen(1, 5), 1);
    EXPECT_EQ(GetNodeNameLen(1, 5), E_INVALID);
    EXPECT_EQ(GetNodeNameLen(1, 5), 9);

    fake::on("GetNode").custom(fake::byText(0, {{"x", 3}, {"y", 4}}, -1));
    EXPECT_EQ(GetNode(1, "y"), 4);
    EXPECT_EQ(GetNode(1, "z"), -1);
    EXPECT_EQ(GetNode(1, nullptr), -1);
    std::vector<fake::Call> got = fake::calls("GetNode");
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].texts[0], "y");
    EXPECT_FALSE(got[2].texts[0].has_value());
    EXPECT_THROW(fake::on("GetNod"), std::invalid_argument);
}

TEST_F(FakeTest, BuffersAreFilledWithinTheirSize)
{
    fake::on("GetNodeName").always(fake::Answer(0).text("abcdef"));
    char small[4];
    memset(small, 'x', sizeof small);
    EXPECT_EQ(GetNodeName(1, 2, small, 4), 0);
    EXPECT_STREQ(small, "abc");
    EXPECT_EQ(GetNodeName(1, 2, nullptr, 4), 0); // nothing written, no crash

    fake::on("GetNodeValueBinCopy").always(fake::Answer(0).bytes({1, 2, 3, 4, 5}));
    unsigned char bin[3] = {0, 0, 0};
    EXPECT_EQ(GetNodeValueBinCopy(1, 2, bin, 3), 0);
    EXPECT_EQ(bin[2], 3);
    EXPECT_EQ(fake::calls("GetNodeValueBinCopy")[0].ints, (std::vector<long long>{1, 2, 3}));
}

TEST_F(FakeTest, RecordsAreBuiltWithNullFieldsCountsAndNullArrays)
{
    fake::NodeInfo n;
    n.fullname = "a.b";
    n.unit = nullptr;
    fake::JobInfo j;
    j.jobnames = {"one"};
    j.jobcount = 2;
    fake::on("GetNodeInfo").always(n);
    fake::on("GetJobInfo").always(j);

    XAL_NODEINFO* info = GetNodeInfo(1, 2);
    ASSERT_NE(info, nullptr);
    EXPECT_STREQ(info->fullname, "a.b");
    EXPECT_STREQ(info->path, "");
    EXPECT_EQ(info->unit, nullptr);
    XAL_JOBINFO* jobs = GetJobInfo(1);
    ASSERT_NE(jobs, nullptr);
    EXPECT_EQ(jobs->jobcount, 2);
    EXPECT_EQ(jobs->fulljobnames, nullptr);
    EXPECT_STREQ(jobs->jobnames[0], "one");
    EXPECT_EQ(jobs->jobnames[1], nullptr);

    EXPECT_EQ(fake::recordsOutstanding(), 2u);
    EXPECT_FALSE(fake::recordsGivenBackOnce());
    DestroyNodeInfo(info);
    DestroyJobInfo(jobs);
    EXPECT_TRUE(fake::recordsGivenBackOnce());
    EXPECT_EQ(fake::recordsIssued(), 2u);
}

TEST_F(FakeTest, RecordTrackingCatchesDoubleWrongAndForeignReleases)
{
    fake::on("GetDeviceInfo").always(fake::DeviceEntry{});
    XAL_SINGLEDEVICEINFO* twice = GetDeviceInfo(1, 2);
    DestroySingleDeviceInfo(twice);
    DestroySingleDeviceInfo(twice);
    EXPECT_FALSE(fake::recordsGivenBackOnce());

    fake::reset();
    fake::on("GetDeviceInfo").always(fake::DeviceEntry{});
    XAL_SINGLEDEVICEINFO* wrong = GetDeviceInfo(1, 2);
    DestroyDeviceInfo(reinterpret_cast<XAL_DEVICEINFO*>(wrong));
    EXPECT_FALSE(fake::recordsGivenBackOnce());

    fake::reset();
    DestroyNodeInfo(nullptr);
    EXPECT_FALSE(fake::recordsGivenBackOnce());

    fake::reset();
    fake::on("GetJobNodeTypeInfo").always(fake::JobNodeInfo{});
    EXPECT_NE(GetJobNodeTypeInfo(1, 0), nullptr);
    EXPECT_TRUE(fake::recordsGivenBackOnce()); // kept by the library, nothing to give back
}

TEST_F(FakeTest, PlcHandlerIsRegisteredOnlyWhenAccepted)
{
    static std::atomic<unsigned> seen{0};
    XAL_PLC_CHANGED_CALLBACK handler = [](HController, unsigned int value, unsigned int) {
        seen = value;
        return 0;
    };
    fake::on("RegisterOnPLCChanged").then(E_FAILURE);
    EXPECT_EQ(RegisterOnPLCChanged(3, handler), E_FAILURE);
    EXPECT_FALSE(fake::plcRegistered());
    EXPECT_EQ(fake::plcHandler(), handler);
    EXPECT_FALSE(fake::deliverPlcChange(7));

    EXPECT_EQ(RegisterOnPLCChanged(3, handler), 0);
    EXPECT_TRUE(fake::deliverPlcChange(7));
    EXPECT_EQ(seen.load(), 7u);

    fake::on("UnregisterOnPLCChanged").then(E_FAILURE);
    EXPECT_EQ(UnregisterOnPLCChanged(3), E_FAILURE);
    EXPECT_TRUE(fake::plcRegistered());
    EXPECT_EQ(UnregisterOnPLCChanged(3), 0);
    EXPECT_FALSE(fake::deliverPlcChange(8));
    EXPECT_EQ(seen.load(), 7u);
}

TEST_F(FakeTest, NotifierDeliversFromItsOwnThreadWhileTheCallerPolls)
{
    static std::atomic<bool> hit{false};
    static std::atomic<HController> hcSeen{0};
    XAL_PLC_CHANGED_CALLBACK handler = [](HController hc, unsigned int value, unsigned int) {
        hcSeen = hc;
        if (value == 0x10u) {
            hit = true;
        }
        return 0;
    };
    hit = false;
    fake::on("GetPLCState").always(fake::Answer(0).out(0x4).out(0));
    fake::PlcNotifier notifier({0x4u, 0x10u}, 5ms);

    unsigned int st = 0, res = 0;
    EXPECT_EQ(GetPLCState(9, &st, &res), 0);
    EXPECT_EQ(st, 0x4u);
    ASSERT_EQ(RegisterOnPLCChanged(9, handler), 0);
    for (int i = 0; i < 500 && !hit; ++i) {
        std::this_thread::sleep_for(10ms);
        GetNode(9, "poll"); // recording while the notifier thread delivers
    }
    EXPECT_EQ(UnregisterOnPLCChanged(9), 0);
    notifier.join();
    EXPECT_TRUE(hit.load());
    EXPECT_EQ(hcSeen.load(), 9);
    EXPECT_EQ(notifier.delivered(), 2u);
}

TEST_F(FakeTest, WaitForCallsSeesCallsOfAnotherThread)
{
    std::thread t([] {
        std::this_thread::sleep_for(20ms);
        JobStart(1);
    });
    EXPECT_TRUE(fake::waitForCalls("JobStart", 1, 5000ms));
    t.join();
    EXPECT_FALSE(fake::waitForCalls("JobStart", 2, 10ms));
}

} // namespace
