// Records handed out by the library: every field converted, lists as count
// and array, texts zero-terminated copies, and Destroy taking back exactly
// what was handed out.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "protocol/messages.h"
#include "scripted_peer.h"
#include "test_util.h"
#include "xal_tessaro.h"

using peer::Op;
using peer::Request;
using peer::ScriptedPeer;
using peer::Session;
namespace proto = tessaro::proto;
namespace wire = tessaro::wire;

namespace {

proto::Device device(int32_t handle, const std::string& name, std::vector<std::string> deps,
                     std::vector<std::string> on) {
    proto::Device d;
    d.handle = handle;
    d.name = name;
    d.driver = "drv-" + name;
    d.state = XAL_DEV_ACTIVE;
    d.statestring = "active";
    d.staticdevice = 1;
    d.stat_n = -3;
    d.stat_str = "";
    d.dependenciesvarname = "deps." + name;
    d.dependencies = std::move(deps);
    d.dependson = std::move(on);
    return d;
}

// A controller with fixed records; node 2 answers with a cut-off record.
void controller(Session& s, const Request& r) {
    wire::Reader f = r.fields();
    int32_t arg = 0;
    f.i32(arg);
    switch (r.op) {
        case Op::GetNodeInfo: {
            if (arg == 3) return s.reply(r, E_NOEXIST);
            proto::NodeInfo n;
            n.handle = 7;
            n.nodeid = std::numeric_limits<int64_t>::min() + 5;
            n.fullname = "sys.BoardAddr";
            n.name = "BoardAddr";
            n.path = "sys";
            n.value = "10.0.0.5";
            n.priv = "rw";
            n.unit = "";
            n.type = VT_STR;
            n.typestring = "string";
            n.min = -2.5f;
            n.max = std::numeric_limits<float>::infinity();
            n.index = 0x80000000u;
            n.flags = 0xdeadbeefu;
            if (arg == 2)
                return s.reply(r, 0, [&](wire::Writer& w) { w.i32(n.handle).i64(n.nodeid).str(n.fullname); });
            return s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, n); });
        }
        case Op::GetJobInfo: {
            proto::JobInfo j;
            j.fulljobnames = {"jobs.Alpha", "jobs.Beta"};
            j.jobnames = {"Alpha", "Beta"};
            j.selectednode = "jobs.Beta";
            return s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, j); });
        }
        case Op::GetDriverInfo: {
            std::vector<proto::Driver> v = {{"ecat", "1.2", "Acme", "bus"}, {"io", "0.1", "", ""}};
            return s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, v); });
        }
        case Op::GetAllDeviceInfo: {
            std::vector<proto::Device> v = {device(1, "X", {}, {}), device(2, "Y", {"Z", "W"}, {}),
                                            device(3, "Z", {}, {"Y"})};
            return s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, v); });
        }
        case Op::GetDeviceInfo: {
            proto::Device d = device(arg, "Solo", {"A"}, {"B", "C"});
            d.state = arg == 99 ? 42 : XAL_DEV_INACTIVE;  // 42 names no state
            return s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, d); });
        }
        default:
            s.reply(r, E_UNIMP);
    }
}

// The empty variants of every list record.
void empty_controller(Session& s, const Request& r) {
    switch (r.op) {
        case Op::GetJobInfo:
            return s.reply(r, 0, [](wire::Writer& w) { proto::put(w, proto::JobInfo{}); });
        case Op::GetDriverInfo:
            return s.reply(r, 0, [](wire::Writer& w) { proto::put(w, std::vector<proto::Driver>{}); });
        case Op::GetAllDeviceInfo:
            return s.reply(r, 0, [](wire::Writer& w) { proto::put(w, std::vector<proto::Device>{}); });
        default:
            s.reply(r, E_UNIMP);
    }
}

}  // namespace

TEST(Records, NodeInfoCarriesEveryField) {
    ScriptedPeer p(controller);
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    XAL_NODEINFO* n = GetNodeInfo(hc, 1);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->handle, 7);
    EXPECT_EQ(n->nodeid, std::numeric_limits<int64_t>::min() + 5);
    EXPECT_STREQ(n->fullname, "sys.BoardAddr");
    EXPECT_STREQ(n->name, "BoardAddr");
    EXPECT_STREQ(n->path, "sys");
    EXPECT_STREQ(n->value, "10.0.0.5");
    EXPECT_STREQ(n->priv, "rw");
    ASSERT_NE(n->unit, nullptr);
    EXPECT_STREQ(n->unit, "");
    EXPECT_EQ(n->type, VT_STR);
    EXPECT_STREQ(n->typestring, "string");
    EXPECT_EQ(n->min, -2.5f);
    EXPECT_TRUE(std::isinf(n->max));
    EXPECT_EQ(n->index, 0x80000000u);
    EXPECT_EQ(n->flags, 0xdeadbeefu);
    EXPECT_EQ(DestroyNodeInfo(n), E_OK);

    EXPECT_EQ(GetNodeInfo(hc, 3), nullptr);  // the controller's refusal
}

TEST(Records, JobsDriversAndDevicesWithTheirLists) {
    ScriptedPeer p(controller);
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);

    XAL_JOBINFO* j = GetJobInfo(hc);
    ASSERT_NE(j, nullptr);
    ASSERT_EQ(j->jobcount, 2);
    EXPECT_STREQ(j->fulljobnames[0], "jobs.Alpha");
    EXPECT_STREQ(j->fulljobnames[1], "jobs.Beta");
    EXPECT_STREQ(j->jobnames[0], "Alpha");
    EXPECT_STREQ(j->jobnames[1], "Beta");
    EXPECT_STREQ(j->selectednode, "jobs.Beta");
    EXPECT_EQ(DestroyJobInfo(j), E_OK);

    XAL_DRIVERINFO* d = GetDriverInfo(hc);
    ASSERT_NE(d, nullptr);
    ASSERT_EQ(d->drivercount, 2);
    EXPECT_STREQ(d->driver[0]->name, "ecat");
    EXPECT_STREQ(d->driver[0]->version, "1.2");
    EXPECT_STREQ(d->driver[0]->vendor, "Acme");
    EXPECT_STREQ(d->driver[0]->comment, "bus");
    EXPECT_STREQ(d->driver[1]->vendor, "");
    EXPECT_EQ(DestroyDriverInfo(d), E_OK);

    XAL_DEVICEINFO* all = GetAllDeviceInfo(hc);
    ASSERT_NE(all, nullptr);
    ASSERT_EQ(all->devicecount, 3);
    XAL_SINGLEDEVICEINFO* y = all->device[1];
    EXPECT_EQ(y->handle, 2);
    EXPECT_STREQ(y->name, "Y");
    EXPECT_STREQ(y->driver, "drv-Y");
    EXPECT_EQ(y->state, XAL_DEV_ACTIVE);
    EXPECT_STREQ(y->statestring, "active");
    EXPECT_EQ(y->staticdevice, 1);
    EXPECT_EQ(y->stat_n, -3);
    EXPECT_STREQ(y->stat_str, "");
    EXPECT_STREQ(y->dependenciesvarname, "deps.Y");
    ASSERT_EQ(y->dependenciescount, 2);
    EXPECT_STREQ(y->dependencies[0], "Z");
    EXPECT_STREQ(y->dependencies[1], "W");
    EXPECT_EQ(y->dependsoncount, 0);
    EXPECT_EQ(all->device[0]->dependenciescount, 0);
    ASSERT_EQ(all->device[2]->dependsoncount, 1);
    EXPECT_STREQ(all->device[2]->dependson[0], "Y");
    // An entry of a list is not a record of its own.
    EXPECT_EQ(DestroySingleDeviceInfo(y), E_INVALID);
    EXPECT_EQ(DestroyDeviceInfo(all), E_OK);

    XAL_SINGLEDEVICEINFO* solo = GetDeviceInfo(hc, 5);
    ASSERT_NE(solo, nullptr);
    EXPECT_EQ(solo->handle, 5);
    EXPECT_EQ(solo->state, XAL_DEV_INACTIVE);
    ASSERT_EQ(solo->dependenciescount, 1);
    ASSERT_EQ(solo->dependsoncount, 2);
    EXPECT_STREQ(solo->dependson[1], "C");
    EXPECT_EQ(DestroySingleDeviceInfo(solo), E_OK);

    // A state outside the enumeration shows as the catch-all failure.
    XAL_SINGLEDEVICEINFO* odd = GetDeviceInfo(hc, 99);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->state, XAL_DEV_UNKNOWN_FAILURE);
    EXPECT_EQ(DestroySingleDeviceInfo(odd), E_OK);
}

TEST(Records, EmptyListsHaveCountZero) {
    ScriptedPeer p(empty_controller);
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    XAL_JOBINFO* j = GetJobInfo(hc);
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(j->jobcount, 0);
    EXPECT_STREQ(j->selectednode, "");
    EXPECT_EQ(DestroyJobInfo(j), E_OK);
    XAL_DRIVERINFO* d = GetDriverInfo(hc);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->drivercount, 0);
    EXPECT_EQ(DestroyDriverInfo(d), E_OK);
    XAL_DEVICEINFO* all = GetAllDeviceInfo(hc);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(all->devicecount, 0);
    EXPECT_EQ(DestroyDeviceInfo(all), E_OK);
}

TEST(Records, DestroyTakesBackOnlyLiveRecordsOfItsFamily) {
    ScriptedPeer p(controller);
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    EXPECT_EQ(DestroyNodeInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyJobInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyDriverInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyDeviceInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroySingleDeviceInfo(nullptr), E_INVALID);

    XAL_NODEINFO on_stack{};
    EXPECT_EQ(DestroyNodeInfo(&on_stack), E_INVALID);

    XAL_NODEINFO* n = GetNodeInfo(hc, 1);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(DestroyJobInfo(reinterpret_cast<XAL_JOBINFO*>(n)), E_INVALID);
    EXPECT_EQ(DestroyNodeInfo(n), E_OK);
    EXPECT_EQ(DestroyNodeInfo(n), E_INVALID);  // already taken back
}

TEST(Records, CutOffRecordIsRefusedAndBreaksTheConnection) {
    ScriptedPeer p(controller);
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    EXPECT_EQ(GetNodeInfo(hc, 2), nullptr);
    EXPECT_EQ(GetNodeInfo(hc, 1), nullptr);
    EXPECT_EQ(ReadNode(hc, 1), E_UNAVAIL);
}

TEST(Records, JobNodeTypesAreCachedPerPosition) {
    std::atomic<int> revision{0};
    ScriptedPeer p([&](Session& s, const Request& r) {
        int32_t pos = 0;
        r.fields().i32(pos);
        if (pos == 9) return s.reply(r, E_RANGE);
        proto::JobNodeType t;
        t.fullname = "jobs.types.T" + std::to_string(pos) + (revision ? "b" : "");
        t.name = "T" + std::to_string(pos);
        t.usercreatable = 1;
        t.canmakelines = 0;
        t.canpasslines = pos;
        t.acceptssubnodes = -1;
        s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, t); });
    });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    XAL_JOBNODEINFO* a = GetJobNodeTypeInfo(hc, 0);
    XAL_JOBNODEINFO* b = GetJobNodeTypeInfo(hc, 1);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    EXPECT_STREQ(a->fullname, "jobs.types.T0");
    EXPECT_STREQ(a->name, "T0");
    EXPECT_EQ(a->usercreatable, 1);
    EXPECT_EQ(a->canmakelines, 0);
    EXPECT_EQ(b->canpasslines, 1);
    EXPECT_EQ(a->acceptssubnodes, -1);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(GetJobNodeTypeInfo(hc, 0), a);  // no growth on repeats

    // Changed values get a new record; the old one stays readable.
    revision = 1;
    XAL_JOBNODEINFO* a2 = GetJobNodeTypeInfo(hc, 0);
    ASSERT_NE(a2, nullptr);
    EXPECT_NE(a2, a);
    EXPECT_STREQ(a2->fullname, "jobs.types.T0b");
    EXPECT_STREQ(a->fullname, "jobs.types.T0");

    EXPECT_EQ(GetJobNodeTypeInfo(hc, 9), nullptr);
    size_t before = p.ops().size();
    EXPECT_EQ(GetJobNodeTypeInfo(hc, -1), nullptr);
    EXPECT_EQ(p.ops().size(), before);
}
