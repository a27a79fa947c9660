#include "scenario_json.h"

#include <algorithm>

#include "text/json_writer.h"

namespace snapshot {

namespace {

const char* const kPlcStateNames[] = {
    "PLC_DEVICES_AWAKE", "PLC_DEVICES_FAILURE", "PLC_DEVICES_READY",  "PLC_DEVICES_SETUP",
    "PLC_JOB_READY",     "PLC_JOB_ACTIVE",      "PLC_JOB_COMPLETED",  "PLC_JOB_FAILED",
    "PLC_SYS_SAFE",      "PLC_JOB_PAUSED",      "PLC_JOB_PILOTED",    "PLC_JOB_PRELOADED",
    "PLC_JOB_STOPPING",  "PLC_READY_FOR_POWER_OFF", "PLC_SYSTEM_READY", "PLC_ATTENTION",
    "PLC_SYS_SAFE_REQUEST", "PLC_JOB_PRELOAD"};
constexpr unsigned kPlcStates = sizeof kPlcStateNames / sizeof kPlcStateNames[0];

const char* const kDeviceStateNames[] = {
    "XAL_DEV_UNINITIALIZED", "XAL_DEV_INITIALIZING", "XAL_DEV_DESTROYING",           "XAL_DEV_ACTIVATING",
    "XAL_DEV_ACTIVE",        "XAL_DEV_DEACTIVATING", "XAL_DEV_INACTIVE",             "XAL_DEV_ACTIVATING_FAILURE",
    "XAL_DEV_DEACTIVATING_FAILURE", "XAL_DEV_UNKNOWN_FAILURE"};

const char* const kVarTypeNames[] = {"",       "VT_I32", "VT_I64", "VT_R32", "VT_R64",  "VT_BOOLEAN",
                                     "VT_STR", "VT_SEL", "VT_SET", "VT_BIN", "VT_TEXT", "VT_FILE"};

using tessaro::text::JsonWriter;

void list(JsonWriter& w, const std::vector<std::string>& items) {
    w.array();
    for (const auto& item : items) w.str(item);
    w.end();
}

// A VT_SEL's or VT_SET's option names are not in the node record: a copy
// offers the options its value uses (a VT_SET's value is its members joined
// by ",", blanks around them allowed), which the user may extend.
std::vector<std::string> options_of(const NodeCopy& n) {
    std::vector<std::string> out;
    if (n.type == VT_SEL) {
        if (!n.value.empty()) out.push_back(n.value);
        return out;
    }
    size_t start = 0;
    while (start < n.value.size()) {
        size_t end = std::min(n.value.find(',', start), n.value.size());
        std::string item = n.value.substr(start, end - start);
        size_t first = item.find_first_not_of(" \t"), last = item.find_last_not_of(" \t");
        if (first != std::string::npos) out.push_back(item.substr(first, last + 1 - first));
        start = end + 1;
    }
    return out;
}

// Writes the node's object on one line and its children, each on a line of
// its own indented two further than `indent`, the indent of the node's line.
void write_node(JsonWriter& w, const NodeCopy& n, int indent) {
    w.object().key("name").str(n.name).key("type");
    switch (n.kind) {
        case Kind::Folder: w.str("FOLDER"); break;
        case Kind::Variable: w.str(kVarTypeNames[n.type]); break;
        case Kind::Job: w.str("VT_JOB"); break;
        case Kind::JobNode: w.str("JOBNODE"); break;
    }
    if (n.id != 0) w.key("id").num(n.id);  // 0 stands for "assign one"
    w.key("priv").str(n.priv);
    if (n.flags != 0) w.key("flags").num(n.flags);
    if (n.kind == Kind::Variable) {
        if (!n.unit.empty()) w.key("unit").str(n.unit);
        if (n.min != 0.0f || n.max != 0.0f) w.key("min").real(n.min).key("max").real(n.max);
        if (n.type == VT_SEL || n.type == VT_SET) list(w.key("options"), options_of(n));
        w.key("value").str(n.value);
    }
    if (n.kind == Kind::JobNode) w.key("nodetype").str(n.nodetype);
    if (n.kind == Kind::Job) w.key("duration_ms").num(kDefaultJobDurationMs).key("outcome").str(kDefaultJobOutcome);
    if (!n.children.empty()) {
        w.key("children").array(indent);
        for (const auto& c : n.children) write_node(w, c, indent + 2);
        w.end();
    }
    w.end();
}

void write_plc(JsonWriter& w, const MachineCopy& m) {
    w.object();
    if (m.have_plc) {
        w.key("state");
        // Bits without a state name can only be given as a number.
        if (m.plc_word >> kPlcStates == 0) {
            w.array();
            for (unsigned bit = 0; bit < kPlcStates; ++bit)
                if (m.plc_word & (1u << bit)) w.str(kPlcStateNames[bit]);
            w.end();
        } else {
            w.num(m.plc_word);
        }
    }
    w.key("ready_delay_ms").num(kDefaultReadyDelayMs);
    if (!m.selected.empty()) w.key("selected").str(m.selected);
    w.end();
}

void write_device(JsonWriter& w, const DeviceCopy& d, const std::vector<DeviceCopy>& all) {
    w.object().key("handle").num(d.handle).key("name").str(d.name).key("driver").str(d.driver);
    w.key("state").str(kDeviceStateNames[d.state]).key("statestring").str(d.statestring);
    w.key("static").boolean(d.is_static).key("stat_n").num(d.stat_n).key("stat_str").str(d.stat_str);
    if (!d.dependencies_var.empty()) w.key("dependencies_var").str(d.dependencies_var);
    if (!d.dependencies.empty()) list(w.key("dependencies"), d.dependencies);
    // Without "dependson" the simulator takes the devices that list this one
    // among their dependencies; write it only where the copy says otherwise.
    std::vector<std::string> derived;
    for (const auto& o : all)
        for (const auto& name : o.dependencies)
            if (name == d.name) derived.push_back(o.name);
    if (d.dependson != derived) list(w.key("dependson"), d.dependson);
    w.end();
}

}  // namespace

std::string scenario_json(const MachineCopy& m) {
    JsonWriter w(JsonWriter::kPadded);
    w.object(0).key("name").str("snapshot");
    write_plc(w.key("plc"), m);
    w.key("job_node_types").array(2);
    for (const auto& t : m.job_node_types) {
        w.object().key("name").str(t.name).key("fullname").str(t.fullname);
        w.key("usercreatable").boolean(t.usercreatable).key("canmakelines").boolean(t.canmakelines);
        w.key("canpasslines").boolean(t.canpasslines).key("acceptssubnodes").boolean(t.acceptssubnodes);
        w.end();
    }
    w.end().key("nodes").array(2);
    for (const auto& n : m.nodes) write_node(w, n, 4);
    w.end().key("drivers").array(2);
    for (const auto& d : m.drivers) {
        w.object().key("name").str(d.name).key("version").str(d.version);
        w.key("vendor").str(d.vendor).key("comment").str(d.comment).end();
    }
    w.end().key("devices").array(2);
    for (const auto& d : m.devices) write_device(w, d, m.devices);
    w.end().end();
    return w.take() + "\n";
}

}  // namespace snapshot
