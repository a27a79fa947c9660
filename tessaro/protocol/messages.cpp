#include "messages.h"

#include <algorithm>

namespace tessaro::proto {

namespace {

void put_strings(wire::Writer& w, const std::vector<std::string>& v) {
    w.count(static_cast<uint32_t>(v.size()));
    for (const auto& s : v) w.str(s);
}

// A string field takes at least 5 bytes (tag and length).
constexpr size_t kMinStr = 5;

bool get_strings(wire::Reader& r, std::vector<std::string>& v) {
    uint32_t n = 0;
    if (!r.count(n, kMinStr)) return false;
    v.assign(n, std::string());
    for (auto& s : v)
        if (!r.str(s)) return false;
    return true;
}

}  // namespace

void put(wire::Writer& w, const NodeInfo& v) {
    w.i32(v.handle).i64(v.nodeid).str(v.fullname).str(v.name).str(v.path).str(v.value)
        .str(v.priv).str(v.unit).i32(v.type).str(v.typestring).f32(v.min).f32(v.max)
        .u32(v.index).u32(v.flags);
}

bool get(wire::Reader& r, NodeInfo& v) {
    NodeInfo t;
    r.i32(t.handle) && r.i64(t.nodeid) && r.str(t.fullname) && r.str(t.name) && r.str(t.path) &&
        r.str(t.value) && r.str(t.priv) && r.str(t.unit) && r.i32(t.type) && r.str(t.typestring) &&
        r.f32(t.min) && r.f32(t.max) && r.u32(t.index) && r.u32(t.flags);
    if (!r.ok()) return false;
    v = std::move(t);
    return true;
}

void put(wire::Writer& w, const JobInfo& v) {
    size_t n = std::min(v.fulljobnames.size(), v.jobnames.size());
    w.count(static_cast<uint32_t>(n));
    for (size_t i = 0; i < n; ++i) w.str(v.fulljobnames[i]).str(v.jobnames[i]);
    w.str(v.selectednode);
}

bool get(wire::Reader& r, JobInfo& v) {
    JobInfo t;
    uint32_t n = 0;
    if (!r.count(n, 2 * kMinStr)) return false;
    t.fulljobnames.resize(n);
    t.jobnames.resize(n);
    for (uint32_t i = 0; i < n; ++i)
        if (!r.str(t.fulljobnames[i]) || !r.str(t.jobnames[i])) return false;
    if (!r.str(t.selectednode)) return false;
    v = std::move(t);
    return true;
}

void put(wire::Writer& w, const JobNodeType& v) {
    w.str(v.fullname).str(v.name).i32(v.usercreatable).i32(v.canmakelines).i32(v.canpasslines)
        .i32(v.acceptssubnodes);
}

bool get(wire::Reader& r, JobNodeType& v) {
    JobNodeType t;
    r.str(t.fullname) && r.str(t.name) && r.i32(t.usercreatable) && r.i32(t.canmakelines) &&
        r.i32(t.canpasslines) && r.i32(t.acceptssubnodes);
    if (!r.ok()) return false;
    v = std::move(t);
    return true;
}

void put(wire::Writer& w, const std::vector<Driver>& v) {
    w.count(static_cast<uint32_t>(v.size()));
    for (const auto& d : v) w.str(d.name).str(d.version).str(d.vendor).str(d.comment);
}

bool get(wire::Reader& r, std::vector<Driver>& v) {
    uint32_t n = 0;
    if (!r.count(n, 4 * kMinStr)) return false;
    std::vector<Driver> t(n);
    for (auto& d : t)
        if (!(r.str(d.name) && r.str(d.version) && r.str(d.vendor) && r.str(d.comment))) return false;
    v = std::move(t);
    return true;
}

void put(wire::Writer& w, const Device& v) {
    w.i32(v.handle).str(v.name).str(v.driver).i32(v.state).str(v.statestring).i32(v.staticdevice)
        .i32(v.stat_n).str(v.stat_str).str(v.dependenciesvarname);
    put_strings(w, v.dependencies);
    put_strings(w, v.dependson);
}

bool get(wire::Reader& r, Device& v) {
    Device t;
    r.i32(t.handle) && r.str(t.name) && r.str(t.driver) && r.i32(t.state) && r.str(t.statestring) &&
        r.i32(t.staticdevice) && r.i32(t.stat_n) && r.str(t.stat_str) && r.str(t.dependenciesvarname) &&
        get_strings(r, t.dependencies) && get_strings(r, t.dependson);
    if (!r.ok()) return false;
    v = std::move(t);
    return true;
}

void put(wire::Writer& w, const std::vector<Device>& v) {
    w.count(static_cast<uint32_t>(v.size()));
    for (const auto& d : v) put(w, d);
}

bool get(wire::Reader& r, std::vector<Device>& v) {
    uint32_t n = 0;
    // Smallest device: 4 i32 fields, 5 strings, 2 counts.
    if (!r.count(n, 4 * 5 + 5 * kMinStr + 2 * 5)) return false;
    std::vector<Device> t(n);
    for (auto& d : t)
        if (!get(r, d)) return false;
    v = std::move(t);
    return true;
}

}  // namespace tessaro::proto
