#include "records.h"

namespace zuna {
namespace record {

namespace {

void texts(Line& l, int32_t count, char* const* v) {
    l.array();
    for (int32_t i = 0; v && i < count; ++i) l.text(v[i]);
    l.end();
}

}  // namespace

void write(Line& l, const XAL_NODEINFO& v, const char* value) {
    l.object().key("handle").num(v.handle).key("nodeid").num(v.nodeid);
    l.key("fullname").text(v.fullname).key("name").text(v.name).key("path").text(v.path);
    l.key("value").text(value ? value : v.value).key("priv").text(v.priv).key("unit").text(v.unit);
    l.key("type").num(v.type).key("typestring").text(v.typestring).key("min").real(v.min).key("max").real(v.max);
    l.key("index").num(v.index).key("flags").num(v.flags).end();
}

void write(Line& l, const XAL_JOBINFO& v) {
    l.object().key("jobs").array();
    for (int32_t i = 0; v.fulljobnames && v.jobnames && i < v.jobcount; ++i)
        l.object().key("fullname").text(v.fulljobnames[i]).key("name").text(v.jobnames[i]).end();
    l.end().key("selectednode").text(v.selectednode).end();
}

void write(Line& l, const XAL_JOBNODEINFO& v) {
    l.object().key("fullname").text(v.fullname).key("name").text(v.name);
    l.key("usercreatable").num(v.usercreatable).key("canmakelines").num(v.canmakelines);
    l.key("canpasslines").num(v.canpasslines).key("acceptssubnodes").num(v.acceptssubnodes).end();
}

void write(Line& l, const XAL_DRIVERINFO& v) {
    l.array();
    for (int32_t i = 0; v.driver && i < v.drivercount; ++i) {
        const XAL_SINGLEDRIVERINFO* d = v.driver[i];
        if (!d) continue;
        l.object().key("name").text(d->name).key("version").text(d->version);
        l.key("vendor").text(d->vendor).key("comment").text(d->comment).end();
    }
    l.end();
}

void write(Line& l, const XAL_SINGLEDEVICEINFO& v) {
    l.object().key("handle").num(v.handle).key("name").text(v.name).key("driver").text(v.driver);
    l.key("state").num(v.state).key("statestring").text(v.statestring).key("staticdevice").num(v.staticdevice);
    l.key("stat_n").num(v.stat_n).key("stat_str").text(v.stat_str).key("dependenciesvarname").text(v.dependenciesvarname);
    texts(l.key("dependencies"), v.dependenciescount, v.dependencies);
    texts(l.key("dependson"), v.dependsoncount, v.dependson);
    l.end();
}

void write(Line& l, const XAL_DEVICEINFO& v) {
    l.array();
    for (int32_t i = 0; v.device && i < v.devicecount; ++i)
        if (v.device[i]) write(l, *v.device[i]);
    l.end();
}

}  // namespace record
}  // namespace zuna
