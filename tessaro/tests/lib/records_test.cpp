// Records handed out by the library: Destroy takes back exactly what was
// handed out, and job node types stay with the library. That every field is
// converted is shown end to end, by the report and snapshot examples against
// the simulator.
#include <gtest/gtest.h>

#include "scripted_peer.h"

using namespace peer;
namespace proto = tessaro::proto;

TEST(Records, OnlyLiveRecordsAreTakenBackAndJobNodeTypesAreKept) {
    std::atomic<bool> later{false};
    ScriptedPeer p([&](Session& s, const Request& r) {
        auto send = [&](const auto& v) { s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, v); }); };
        const proto::Device dev{5, "D", "drv", 42, "", 0, 0, "", "", {"X"}, {}};  // a state outside the enumeration
        switch (r.op) {
            case Op::GetNodeInfo:  // node 2 comes cut off
                if (last_i32(r) == 2) return s.reply(r, 0, [](wire::Writer& w) { w.i32(7).i64(1).str("cut"); });
                return send(proto::NodeInfo{});
            case Op::GetJobInfo: return send(proto::JobInfo{{"jobs.A"}, {"A"}, ""});
            case Op::GetDriverInfo: return send(std::vector<proto::Driver>{{"io", "0.1", "", ""}});
            case Op::GetAllDeviceInfo: return send(std::vector<proto::Device>{dev, dev});
            case Op::GetDeviceInfo: return send(dev);
            default: return send(proto::JobNodeType{later ? "T.b" : "T.a", "T", 1, 0, 0, 0});
        }
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    XAL_NODEINFO* n = GetNodeInfo(hc, 1);
    XAL_JOBINFO* j = GetJobInfo(hc);
    XAL_DRIVERINFO* d = GetDriverInfo(hc);
    XAL_DEVICEINFO* all = GetAllDeviceInfo(hc);
    XAL_SINGLEDEVICEINFO* one = GetDeviceInfo(hc, 5);
    ASSERT_TRUE(n && j && d && all && one);
    EXPECT_EQ(one->state, XAL_DEV_UNKNOWN_FAILURE);  // the catch-all for a state outside the enumeration
    XAL_NODEINFO on_stack{};
    EXPECT_EQ(DestroyNodeInfo(&on_stack), E_INVALID);
    EXPECT_EQ(DestroyNodeInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyJobInfo(reinterpret_cast<XAL_JOBINFO*>(n)), E_INVALID);  // of another family
    EXPECT_EQ(DestroySingleDeviceInfo(all->device[1]), E_INVALID);            // an entry of a list
    EXPECT_EQ((std::vector<int>{DestroyNodeInfo(n), DestroyJobInfo(j), DestroyDriverInfo(d), DestroyDeviceInfo(all),
                                DestroySingleDeviceInfo(one)}),
              std::vector<int>(5, E_OK));
    EXPECT_EQ(DestroyJobInfo(j), E_INVALID);  // taken back already

    // One record per position and values; changed values get a new record,
    // and the old one stays readable.
    XAL_JOBNODEINFO* t = GetJobNodeTypeInfo(hc, 0);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(GetJobNodeTypeInfo(hc, 0), t);
    later = true;
    XAL_JOBNODEINFO* changed = GetJobNodeTypeInfo(hc, 0);
    ASSERT_TRUE(changed != nullptr && changed != t);
    EXPECT_STREQ(t->fullname, "T.a");
    EXPECT_STREQ(changed->fullname, "T.b");

    // A record cut off is no record, and the controller is given up on.
    EXPECT_EQ(GetNodeInfo(hc, 2), nullptr);
    EXPECT_EQ(ReadNode(hc, 1), E_UNAVAIL);
}
