// Records handed out by the library: every field converted, lists as count
// and array, texts as zero-terminated copies, Destroy taking back exactly what
// was handed out, and job node types kept by the library.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>

#include "scripted_peer.h"

using namespace peer;
namespace proto = tessaro::proto;

namespace {

// Records as text: fields in declaration order, texts quoted, lists in [],
// list entries in {}.
std::string q(const char* s) { return s != nullptr ? "'" + std::string(s) + "'" : "null"; }

template <typename... T>
std::string join(const T&... fields) {
    std::ostringstream o;
    ((o << fields << ' '), ...);
    std::string s = o.str();
    return s.substr(0, s.size() - 1);
}

std::string list(char** texts, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += (i > 0 ? " " : "") + q(texts[i]);
    return "[" + out + "]";
}

std::string text(const XAL_NODEINFO* n) {
    return join(n->handle, n->nodeid, q(n->fullname), q(n->name), q(n->path), q(n->value), q(n->priv), q(n->unit),
                n->type, q(n->typestring), n->min, n->max, n->index, n->flags);
}

std::string text(const XAL_SINGLEDEVICEINFO* d) {
    return join(d->handle, q(d->name), q(d->driver), d->state, q(d->statestring), d->staticdevice, d->stat_n,
                q(d->stat_str), q(d->dependenciesvarname), list(d->dependencies, d->dependenciescount),
                list(d->dependson, d->dependsoncount));
}

std::string text(const XAL_SINGLEDRIVERINFO* d) { return join(q(d->name), q(d->version), q(d->vendor), q(d->comment)); }

std::string text(const XAL_JOBINFO* j) {
    return join(list(j->fulljobnames, j->jobcount), list(j->jobnames, j->jobcount), q(j->selectednode));
}

std::string text(const XAL_JOBNODEINFO* t) {
    return join(q(t->fullname), q(t->name), t->usercreatable, t->canmakelines, t->canpasslines, t->acceptssubnodes);
}

template <typename Entry>
std::string entries(Entry** list, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += "{" + text(list[i]) + "}";
    return out;
}

proto::Device device(int32_t handle, const std::string& name, std::vector<std::string> deps,
                     std::vector<std::string> on) {
    return {handle, name, "drv-" + name, XAL_DEV_ACTIVE, "active", 1, -3, "", "deps." + name, deps, on};
}

}  // namespace

// Each record is checked whole, then taken back; Destroy refuses anything
// else: no record, one of another family, a list entry, one taken back.
TEST(Records, EveryFieldIsConvertedAndOnlyLiveRecordsAreTakenBack) {
    // Node 2 comes cut off, node 3 is refused, device 99 has a state out of
    // range; once `later` is set, lists are empty and job node types change.
    std::atomic<bool> later{false};
    ScriptedPeer p([&](Session& s, const Request& r) {
        const int32_t arg = last_i32(r);
        auto send = [&](const auto& v) { s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, v); }); };
        switch (r.op) {
            case Op::GetNodeInfo:
                if (arg == 3) return s.reply(r, E_NOEXIST);
                if (arg == 2) return s.reply(r, 0, [](wire::Writer& w) { w.i32(7).i64(1).str("cut"); });
                return send(proto::NodeInfo{7, std::numeric_limits<int64_t>::min() + 5, "sys.BoardAddr", "BoardAddr",
                                            "sys", "10.0.0.5", "rw", "", VT_STR, "string", -2.5f,
                                            std::numeric_limits<float>::infinity(), 0x80000000u, 0xdeadbeefu});
            case Op::GetJobInfo:
                return send(later ? proto::JobInfo{} : proto::JobInfo{{"jobs.A", "jobs.B"}, {"A", "B"}, "jobs.B"});
            case Op::GetDriverInfo:
                if (later) return send(std::vector<proto::Driver>{});
                return send(std::vector<proto::Driver>{{"ecat", "1.2", "Acme", "bus"}, {"io", "0.1", "", ""}});
            case Op::GetAllDeviceInfo:
                if (later) return send(std::vector<proto::Device>{});
                return send(std::vector<proto::Device>{device(1, "X", {}, {}), device(2, "Y", {"Z", "W"}, {"X"})});
            case Op::GetDeviceInfo: {
                proto::Device d = device(arg, "Solo", {}, {"B", "C"});
                d.state = arg == 99 ? 42 : XAL_DEV_INACTIVE;
                return send(d);
            }
            case Op::GetJobNodeTypeInfo: {
                if (arg == 9) return s.reply(r, E_RANGE);
                const std::string name = "T" + std::to_string(arg);
                return send(proto::JobNodeType{"jobs.types." + name + (later ? "b" : ""), name, 1, 0, arg, -1});
            }
            default:
                return s.reply(r, E_UNIMP);
        }
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    XAL_NODEINFO on_stack{};
    EXPECT_EQ(DestroyNodeInfo(&on_stack), E_INVALID);
    EXPECT_EQ(DestroyNodeInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyJobInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyDriverInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyDeviceInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroySingleDeviceInfo(nullptr), E_INVALID);

    XAL_NODEINFO* n = GetNodeInfo(hc, 1);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(text(n), "7 -9223372036854775803 'sys.BoardAddr' 'BoardAddr' 'sys' '10.0.0.5' 'rw' '' 6 'string' "
                       "-2.5 inf 2147483648 3735928559");
    EXPECT_EQ(DestroyJobInfo(reinterpret_cast<XAL_JOBINFO*>(n)), E_INVALID);
    EXPECT_EQ(DestroyNodeInfo(n), E_OK);
    EXPECT_EQ(DestroyNodeInfo(n), E_INVALID);
    EXPECT_EQ(GetNodeInfo(hc, 3), nullptr);  // the controller's refusal
    XAL_JOBINFO* j = GetJobInfo(hc);
    ASSERT_NE(j, nullptr);
    EXPECT_EQ(text(j), "['jobs.A' 'jobs.B'] ['A' 'B'] 'jobs.B'");
    EXPECT_EQ(DestroyJobInfo(j), E_OK);
    XAL_DRIVERINFO* d = GetDriverInfo(hc);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(entries(d->driver, d->drivercount), "{'ecat' '1.2' 'Acme' 'bus'}{'io' '0.1' '' ''}");
    EXPECT_EQ(DestroyDriverInfo(d), E_OK);
    XAL_DEVICEINFO* all = GetAllDeviceInfo(hc);
    ASSERT_NE(all, nullptr);
    EXPECT_EQ(entries(all->device, all->devicecount),
              "{1 'X' 'drv-X' 4 'active' 1 -3 '' 'deps.X' [] []}"
              "{2 'Y' 'drv-Y' 4 'active' 1 -3 '' 'deps.Y' ['Z' 'W'] ['X']}");
    EXPECT_EQ(DestroySingleDeviceInfo(all->device[1]), E_INVALID);
    EXPECT_EQ(DestroyDeviceInfo(all), E_OK);
    XAL_SINGLEDEVICEINFO* solo = GetDeviceInfo(hc, 5);
    ASSERT_NE(solo, nullptr);
    EXPECT_EQ(text(solo), "5 'Solo' 'drv-Solo' 6 'active' 1 -3 '' 'deps.Solo' [] ['B' 'C']");
    EXPECT_EQ(DestroySingleDeviceInfo(solo), E_OK);
    XAL_SINGLEDEVICEINFO* odd = GetDeviceInfo(hc, 99);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->state, XAL_DEV_UNKNOWN_FAILURE);  // the catch-all for a state outside the enumeration
    EXPECT_EQ(DestroySingleDeviceInfo(odd), E_OK);
    // Job node types stay with the library, one record per position and values.
    XAL_JOBNODEINFO* t0 = GetJobNodeTypeInfo(hc, 0);
    XAL_JOBNODEINFO* t1 = GetJobNodeTypeInfo(hc, 1);
    ASSERT_TRUE(t0 != nullptr && t1 != nullptr);
    EXPECT_EQ(text(t0), "'jobs.types.T0' 'T0' 1 0 0 -1");
    EXPECT_EQ(text(t1), "'jobs.types.T1' 'T1' 1 0 1 -1");
    for (int i = 0; i < 20; ++i) EXPECT_EQ(GetJobNodeTypeInfo(hc, 0), t0);  // no new record for the same values
    EXPECT_EQ(GetJobNodeTypeInfo(hc, 9), nullptr);

    later = true;
    j = GetJobInfo(hc);
    d = GetDriverInfo(hc);
    all = GetAllDeviceInfo(hc);
    ASSERT_TRUE(j != nullptr && d != nullptr && all != nullptr);
    EXPECT_EQ(j->jobcount, 0);
    EXPECT_STREQ(j->selectednode, "");
    EXPECT_EQ(d->drivercount, 0);
    EXPECT_EQ(all->devicecount, 0);
    EXPECT_EQ(DestroyJobInfo(j), E_OK);
    EXPECT_EQ(DestroyDriverInfo(d), E_OK);
    EXPECT_EQ(DestroyDeviceInfo(all), E_OK);
    // Changed values get a new record; the old one stays readable.
    XAL_JOBNODEINFO* t0b = GetJobNodeTypeInfo(hc, 0);
    ASSERT_TRUE(t0b != nullptr && t0b != t0);
    EXPECT_EQ(text(t0b), "'jobs.types.T0b' 'T0' 1 0 0 -1");
    EXPECT_EQ(text(t0), "'jobs.types.T0' 'T0' 1 0 0 -1");

    // A record cut off is no record, and the controller is given up on.
    EXPECT_EQ(GetNodeInfo(hc, 2), nullptr);
    EXPECT_EQ(ReadNode(hc, 1), E_UNAVAIL);
}
