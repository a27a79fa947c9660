#include "scenario_json.h"

#include <algorithm>

#include "json_text.h"

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

std::string list(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + quoted(items[i]);
    return out + "]";
}

// The members of one object on one line, in the order they are added.
class Line {
public:
    Line& raw(const char* key, const std::string& json) {
        text_ += (text_.empty() ? "{ \"" : ", \"") + std::string(key) + "\": " + json;
        return *this;
    }
    Line& str(const char* key, const std::string& s) { return raw(key, quoted(s)); }
    Line& num(const char* key, long long n) { return raw(key, std::to_string(n)); }
    Line& flag(const char* key, bool b) { return raw(key, b ? "true" : "false"); }
    std::string close() const { return text_ + " }"; }
    // Opens a "children" array; the caller writes the entries and "]}".
    std::string open_children() const { return text_ + ", \"children\": [\n"; }

private:
    std::string text_;
};

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

// Writes the node's line (the caller indents it) and its children, each on a
// line of its own indented two further than `indent`.
void write_node(const NodeCopy& n, const std::string& indent, std::string& out) {
    Line l;
    l.str("name", n.name);
    switch (n.kind) {
        case Kind::Folder: l.str("type", "FOLDER"); break;
        case Kind::Variable: l.str("type", kVarTypeNames[n.type]); break;
        case Kind::Job: l.str("type", "VT_JOB"); break;
        case Kind::JobNode: l.str("type", "JOBNODE"); break;
    }
    if (n.id != 0) l.num("id", n.id);  // 0 stands for "assign one"
    l.str("priv", n.priv);
    if (n.flags != 0) l.num("flags", n.flags);
    if (n.kind == Kind::Variable) {
        if (!n.unit.empty()) l.str("unit", n.unit);
        if (n.min != 0.0f || n.max != 0.0f) l.raw("min", single(n.min)).raw("max", single(n.max));
        if (n.type == VT_SEL || n.type == VT_SET) l.raw("options", list(options_of(n)));
        l.str("value", n.value);
    }
    if (n.kind == Kind::JobNode) l.str("nodetype", n.nodetype);
    if (n.kind == Kind::Job) l.num("duration_ms", kDefaultJobDurationMs).str("outcome", kDefaultJobOutcome);
    if (n.children.empty()) {
        out += l.close();
        return;
    }
    out += l.open_children();
    for (size_t i = 0; i < n.children.size(); ++i) {
        out += indent + "  ";
        write_node(n.children[i], indent + "  ", out);
        out += i + 1 < n.children.size() ? ",\n" : "\n";
    }
    out += indent + "]}";
}

// `lines` as the entries of the array `key`, one per line.
void write_array(const char* key, const std::vector<std::string>& lines, bool last, std::string& out) {
    out += "  \"" + std::string(key) + "\": [";
    for (size_t i = 0; i < lines.size(); ++i) out += (i ? ",\n    " : "\n    ") + lines[i];
    out += lines.empty() ? "]" : "\n  ]";
    out += last ? "\n" : ",\n";
}

std::string plc_line(const MachineCopy& m) {
    Line l;
    if (m.have_plc) {
        std::vector<std::string> names;
        for (unsigned bit = 0; bit < kPlcStates; ++bit)
            if (m.plc_word & (1u << bit)) names.push_back(kPlcStateNames[bit]);
        // Bits without a state name can only be given as a number.
        bool named = m.plc_word >> kPlcStates == 0;
        l.raw("state", named ? list(names) : std::to_string(m.plc_word));
    }
    l.num("ready_delay_ms", kDefaultReadyDelayMs);
    if (!m.selected.empty()) l.str("selected", m.selected);
    return l.close();
}

std::string device_line(const DeviceCopy& d, const std::vector<DeviceCopy>& all) {
    Line l;
    l.num("handle", d.handle).str("name", d.name).str("driver", d.driver);
    l.str("state", kDeviceStateNames[d.state]).str("statestring", d.statestring);
    l.flag("static", d.is_static).num("stat_n", d.stat_n).str("stat_str", d.stat_str);
    if (!d.dependencies_var.empty()) l.str("dependencies_var", d.dependencies_var);
    if (!d.dependencies.empty()) l.raw("dependencies", list(d.dependencies));
    // Without "dependson" the simulator takes the devices that list this one
    // among their dependencies; write it only where the copy says otherwise.
    std::vector<std::string> derived;
    for (const auto& o : all)
        for (const auto& name : o.dependencies)
            if (name == d.name) derived.push_back(o.name);
    if (d.dependson != derived) l.raw("dependson", list(d.dependson));
    return l.close();
}

}  // namespace

std::string scenario_json(const MachineCopy& m) {
    std::string out = "{\n  \"name\": \"snapshot\",\n  \"plc\": " + plc_line(m) + ",\n";

    std::vector<std::string> lines;
    for (const auto& t : m.job_node_types)
        lines.push_back(Line()
                            .str("name", t.name)
                            .str("fullname", t.fullname)
                            .flag("usercreatable", t.usercreatable)
                            .flag("canmakelines", t.canmakelines)
                            .flag("canpasslines", t.canpasslines)
                            .flag("acceptssubnodes", t.acceptssubnodes)
                            .close());
    write_array("job_node_types", lines, false, out);

    lines.clear();
    for (const auto& n : m.nodes) {
        std::string text;
        write_node(n, "    ", text);
        lines.push_back(text);
    }
    write_array("nodes", lines, false, out);

    lines.clear();
    for (const auto& d : m.drivers)
        lines.push_back(Line()
                            .str("name", d.name)
                            .str("version", d.version)
                            .str("vendor", d.vendor)
                            .str("comment", d.comment)
                            .close());
    write_array("drivers", lines, false, out);

    lines.clear();
    for (const auto& d : m.devices) lines.push_back(device_line(d, m.devices));
    write_array("devices", lines, true, out);
    return out + "}\n";
}

}  // namespace snapshot
