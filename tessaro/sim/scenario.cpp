#include "scenario.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <new>
#include <set>
#include <tuple>

#include "json_doc.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

using T = JsonValue::Type;

constexpr int64_t kMaxFaultDelayMs = 60000;
constexpr uint32_t kDefaultPlcWord = plc_bit(PLC_DEVICES_READY) | plc_bit(PLC_SYSTEM_READY);

struct LoadError {
    size_t offset;
    std::string message;
};

[[noreturn]] void fail(size_t offset, std::string msg) { throw LoadError{offset, std::move(msg)}; }
[[noreturn]] void fail(const JsonValue& v, std::string msg) { fail(v.offset, std::move(msg)); }

// A text quoted for a one-line message: control characters escaped, long
// texts shortened.
std::string quote(const std::string& s) {
    std::string out = "'";
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 60) {
            out += "...";
            break;
        }
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7F) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else out += static_cast<char>(c);
    }
    return out + "'";
}

std::string found(const JsonValue& v) { return std::string(", found ") + json_type_name(v.type); }

// The members of one JSON object, checked against the keys its context allows.
class Fields {
public:
    Fields(const JsonValue& v, const std::string& what, std::initializer_list<const char*> allowed) : v_(v) {
        if (v.type != T::Object) fail(v, "expected " + what + " (an object)" + found(v));
        std::set<std::string> seen;
        for (const JsonValue::Member m : v.members()) {
            std::string key = m.key.text();
            bool known = false;
            for (const char* a : allowed) known = known || key == a;
            if (!known) fail(m.key, "unknown key " + quote(key) + " in " + what);
            if (!seen.insert(key).second) fail(m.key, "duplicate key " + quote(key));
            members_.emplace_back(std::move(key), &m.value, m.key.offset);
        }
    }

    const JsonValue* get(const char* key) const {
        for (const auto& [name, value, offset] : members_)
            if (name == key) return value;
        return nullptr;
    }

    const JsonValue& need(const char* key, const std::string& what) const {
        const JsonValue* p = get(key);
        if (!p) fail(v_, std::string("missing key '") + key + "' in " + what);
        return *p;
    }

    // Fails at the first of `keys` that is present: it has no meaning for `what`.
    void forbid(std::initializer_list<const char*> keys, const std::string& what) const {
        for (const auto& [name, value, offset] : members_)
            for (const char* k : keys)
                if (name == k) fail(offset, "key " + quote(k) + " does not apply to " + what);
    }

    const JsonValue& object() const { return v_; }

private:
    const JsonValue& v_;
    std::vector<std::tuple<std::string, const JsonValue*, size_t>> members_;  // key, value, key's offset
};

std::string get_string(const JsonValue& v, const std::string& what) {
    if (v.type != T::String) fail(v, "expected a string for " + what + found(v));
    return v.text();
}

bool get_bool(const JsonValue& v, const std::string& what) {
    if (v.type != T::Boolean) fail(v, "expected true or false for " + what + found(v));
    return v.boolean();
}

int64_t get_int(const JsonValue& v, int64_t lo, int64_t hi, const std::string& what) {
    if (v.type != T::Integer) fail(v, "expected an integer for " + what + found(v));
    if (v.integer() < lo || v.integer() > hi)
        fail(v, what + " must lie between " + std::to_string(lo) + " and " + std::to_string(hi));
    return v.integer();
}

float get_limit(const JsonValue& v, const std::string& what) {
    if (!v.is_number()) fail(v, "expected a number for " + what + found(v));
    if (!std::isfinite(v.real()) || std::fabs(v.real()) > double(FLT_MAX)) fail(v, what + " is beyond single precision");
    return static_cast<float>(v.real());
}

JsonValue::Items get_array(const JsonValue& v, const std::string& what) {
    if (v.type != T::Array) fail(v, "expected an array for " + what + found(v));
    return v.items();
}

std::string kind_text(const Node* n) {
    if (!n) return "the top level";
    switch (n->kind) {
        case Kind::Folder: return "a folder";
        case Kind::Variable: return "a variable";
        case Kind::Job: return "a job";
        case Kind::JobNode: return "a job node";
    }
    return "?";
}

// One fault object as the faults of a scenario (and the control API) give it.
Fault read_fault(const JsonValue& e) {
    Fields f(e, "a fault", {"op", "node", "handle", "call", "times", "result", "action", "delay_ms"});
    Fault fault;
    const JsonValue& op_v = f.need("op", "a fault");
    std::string op = get_string(op_v, "the operation name");
    if (!proto::op_from_name(op, fault.op)) fail(op_v, "unknown operation name " + quote(op));
    const proto::Operation* layout = proto::operation(fault.op);
    if (const JsonValue* n = f.get("node")) {
        fault.node = get_string(*n, "the node name");
        if (!layout || !layout->addresses_node()) fail(*n, op + " names no node");
    }
    if (const JsonValue* h = f.get("handle")) {
        fault.handle = static_cast<int32_t>(get_int(*h, INT32_MIN, INT32_MAX, "the handle"));
        if (!layout || !layout->carries_handle()) fail(*h, op + " carries no handle");
    }
    if (const JsonValue* c = f.get("call")) fault.call = static_cast<uint64_t>(get_int(*c, 1, INT64_MAX, "call"));
    if (const JsonValue* t = f.get("times")) fault.times = static_cast<uint64_t>(get_int(*t, 1, INT64_MAX, "times"));
    const JsonValue* result = f.get("result");
    if (result) fault.result = static_cast<int32_t>(get_int(*result, INT32_MIN, INT32_MAX, "the result"));
    const JsonValue* action = f.get("action");
    if (action) {
        std::string a = get_string(*action, "the action");
        if (a == "silent") fault.action = Fault::Action::Silent;
        else if (a == "close") fault.action = Fault::Action::Close;
        else fail(*action, "unknown action " + quote(a) + " (silent or close)");
        if (result) fail(*action, "a fault has either a result or an action, not both");
    }
    const JsonValue* delay = f.get("delay_ms");
    if (delay) fault.delay_ms = get_int(*delay, 0, kMaxFaultDelayMs, "delay_ms");
    if (!result && !action && !delay) fail(e, "a fault needs a result, an action or a delay_ms");
    return fault;
}

// The value `v` gives the variable `n`, checked against its type, limits
// and options.
Value node_value(const Node& n, const JsonValue& v) {
    const VarDef& def = n.def;
    std::string tname = type_name(def.type);
    std::string text = get_string(v, "the value (values are given as text)");
    Value out;
    // A VT_SEL without options (as a client creates one) has the empty value,
    // given or not; no option could be given instead.
    bool optionless_sel = def.type == VT_SEL && def.options.empty();
    int rc = optionless_sel && text.empty() ? E_OK : parse_value(def, text, out);
    if (rc == E_INVALID) fail(v, quote(text) + " is not a valid " + tname + " value");
    if (rc != E_OK) {
        std::string why = def.type == VT_SEL || def.type == VT_SET ? " (not among the options)" : "";
        if (def.has_limits() && def.type >= VT_I32 && def.type <= VT_R64) {
            char buf[96];
            std::snprintf(buf, sizeof buf, " (limits %g to %g)", double(def.min), double(def.max));
            why = buf;
        }
        fail(v, quote(text) + " is out of range for this " + tname + " variable" + why);
    }
    return out;
}

class Loader {
public:
    void load(const JsonValue& root);
    MachineConfig cfg;

private:
    void load_plc(const JsonValue& v);
    void load_job_node_types(const JsonValue& v);
    void load_node(Node* parent, const JsonValue& v, size_t depth);
    void load_variable(Node& n, const Fields& f);
    void load_job(Node& n, const Fields& f);
    void load_drivers(const JsonValue& v);
    void load_devices(const JsonValue& v);
    void load_messages(const JsonValue& v);
    void load_faults(const JsonValue& v);
    void load_timeline(const JsonValue& v);

    int64_t ready_delay_ms_ = 100;
    const JsonValue* selected_ = nullptr;
    // Names seen so far, so that duplicates are found without rescanning.
    std::set<std::string> node_names_, type_names_, type_fullnames_, driver_names_;
};

void Loader::load(const JsonValue& root) {
    Fields top(root, "the scenario",
               {"name", "plc", "nodes", "job_node_types", "drivers", "devices", "system_messages", "faults", "timeline"});
    cfg.plc_word = kDefaultPlcWord;
    if (const JsonValue* v = top.get("name")) cfg.name = get_string(*v, "the scenario name");
    if (const JsonValue* v = top.get("plc")) load_plc(*v);
    if (const JsonValue* v = top.get("job_node_types")) load_job_node_types(*v);
    if (const JsonValue* v = top.get("nodes"))
        for (const auto& n : get_array(*v, "the nodes")) load_node(nullptr, n, 1);
    if (selected_) {
        cfg.selected = get_string(*selected_, "the selected node");
        if (!cfg.tree.find(cfg.selected)) fail(*selected_, "no node named " + quote(cfg.selected));
    }
    if (const JsonValue* v = top.get("drivers")) load_drivers(*v);
    if (const JsonValue* v = top.get("devices")) load_devices(*v);
    if (const JsonValue* v = top.get("system_messages")) load_messages(*v);
    if (const JsonValue* v = top.get("faults")) load_faults(*v);
    if (const JsonValue* v = top.get("timeline")) load_timeline(*v);
}

void Loader::load_plc(const JsonValue& v) {
    Fields f(v, "the PLC settings", {"state", "ready_delay_ms", "selected"});
    if (const JsonValue* s = f.get("state")) {
        if (s->type == T::Integer) {
            cfg.plc_word = static_cast<uint32_t>(get_int(*s, 0, UINT32_MAX, "the PLC state word"));
        } else if (s->type == T::Array) {
            cfg.plc_word = 0;
            for (const auto& name : s->items()) {
                int bit = 0;
                std::string text = get_string(name, "a PLC state name");
                if (!plc_state_from_name(text, bit)) fail(name, "unknown PLC state " + quote(text));
                cfg.plc_word |= plc_bit(bit);
            }
        } else {
            fail(*s, "expected a state word or a list of PLC state names" + found(*s));
        }
    }
    if (const JsonValue* d = f.get("ready_delay_ms")) ready_delay_ms_ = get_int(*d, 0, kMaxDurationMs, "ready_delay_ms");
    selected_ = f.get("selected");
}

void Loader::load_job_node_types(const JsonValue& v) {
    for (const auto& e : get_array(v, "the job node types")) {
        Fields f(e, "a job node type",
                 {"name", "fullname", "usercreatable", "canmakelines", "canpasslines", "acceptssubnodes"});
        const JsonValue& name_v = f.need("name", "a job node type");
        proto::JobNodeType t;
        t.name = get_string(name_v, "the job node type name");
        if (t.name.empty()) fail(name_v, "empty job node type name");
        t.fullname = t.name;
        const JsonValue* full_v = f.get("fullname");
        if (full_v) t.fullname = get_string(*full_v, "the job node type's full name");
        if (!type_names_.insert(t.name).second) fail(name_v, "duplicate job node type " + quote(t.name));
        if (!type_fullnames_.insert(t.fullname).second)
            fail(full_v ? *full_v : name_v, "duplicate job node type " + quote(t.fullname));
        auto flag = [&f](const char* key) {
            const JsonValue* b = f.get(key);
            return b && get_bool(*b, key) ? 1 : 0;
        };
        t.usercreatable = flag("usercreatable");
        t.canmakelines = flag("canmakelines");
        t.canpasslines = flag("canpasslines");
        t.acceptssubnodes = flag("acceptssubnodes");
        cfg.job_node_types.push_back(std::move(t));
    }
}

void Loader::load_node(Node* parent, const JsonValue& v, size_t depth) {
    Fields f(v, "a node",
             {"name", "type", "id", "priv", "flags", "children", "value", "unit", "min", "max", "options",
              "duration_ms", "ready_delay_ms", "outcome", "never_ready", "never_active", "nodetype"});
    const JsonValue& name_v = f.need("name", "a node");
    auto n = std::make_unique<Node>();
    n->name = get_string(name_v, "the node name");
    if (!Tree::valid_name(n->name))
        fail(name_v, "invalid node name " + quote(n->name) + " (1 to 255 characters, no '.', ';' or control characters)");
    if (depth > kMaxDepth) fail(name_v, "nodes nest deeper than " + std::to_string(kMaxDepth) + " levels");
    if (cfg.tree.size() >= kMaxNodes) fail(name_v, "more than " + std::to_string(kMaxNodes) + " nodes");
    std::string full = parent ? cfg.tree.full_name(*parent) + "." + n->name : n->name;
    if (!node_names_.insert(full).second) fail(name_v, "duplicate node name " + quote(full));

    const JsonValue& type_v = f.need("type", "a node");
    std::string type = get_string(type_v, "the node type");
    if (type == "FOLDER") n->kind = Kind::Folder;
    else if (type == "VT_JOB") n->kind = Kind::Job;
    else if (type == "JOBNODE") n->kind = Kind::JobNode;
    else if (type_from_name(type, n->def.type)) n->kind = Kind::Variable;
    else fail(type_v, "unknown type name " + quote(type) + " (FOLDER, VT_I32 to VT_FILE, VT_JOB or JOBNODE)");

    std::string what = "a " + type + " node";
    if (n->kind != Kind::Variable) f.forbid({"value", "unit", "min", "max", "options"}, what);
    if (n->kind != Kind::Job) f.forbid({"duration_ms", "ready_delay_ms", "outcome", "never_ready", "never_active"}, what);
    if (n->kind != Kind::JobNode) f.forbid({"nodetype"}, what);
    if (n->kind == Kind::Variable) f.forbid({"children"}, what);

    if (n->kind == Kind::JobNode) {
        const JsonValue& t_v = f.need("nodetype", "a JOBNODE node");
        std::string t = get_string(t_v, "the job node type");
        for (size_t i = 0; i < cfg.job_node_types.size() && n->jobnode_type < 0; ++i)
            if (cfg.job_node_types[i].fullname == t) n->jobnode_type = static_cast<int>(i);
        for (size_t i = 0; i < cfg.job_node_types.size() && n->jobnode_type < 0; ++i)
            if (cfg.job_node_types[i].name == t) n->jobnode_type = static_cast<int>(i);
        if (n->jobnode_type < 0) fail(t_v, "unknown job node type " + quote(t));
        bool ok = parent && (parent->kind == Kind::Job ||
                             (parent->kind == Kind::JobNode &&
                              cfg.job_node_types[static_cast<size_t>(parent->jobnode_type)].acceptssubnodes));
        if (!ok) fail(type_v, "a job node cannot be inside " + kind_text(parent) +
                                  " (only in a job or in a job node whose type accepts subnodes)");
    } else if (parent && parent->kind != Kind::Folder) {
        fail(type_v, "a " + type + " node cannot be inside " + kind_text(parent));
    }

    const JsonValue* id = f.get("id");
    if (id) {
        n->id = get_int(*id, INT64_MIN, INT64_MAX, "the node id");
        if (n->id == 0) fail(*id, "node id 0 is reserved");
    }
    if (const JsonValue* p = f.get("priv")) {
        n->priv = get_string(*p, "the privileges");
        if (n->priv != "r" && n->priv != "rw") fail(*p, "privileges must be \"r\" or \"rw\"");
    }
    if (const JsonValue* fl = f.get("flags")) n->flags = static_cast<uint32_t>(get_int(*fl, 0, UINT32_MAX, "the flags"));

    if (n->kind == Kind::Variable) load_variable(*n, f);
    if (n->kind == Kind::Job) load_job(*n, f);

    Node* inserted = cfg.tree.insert(parent, std::move(n), SIZE_MAX);
    if (!inserted) fail(id ? *id : name_v, "node id already in use");
    if (const JsonValue* c = f.get("children"))
        for (const auto& child : get_array(*c, "the children")) load_node(inserted, child, depth + 1);
}

void Loader::load_variable(Node& n, const Fields& f) {
    VarDef& def = n.def;
    std::string tname = type_name(def.type);
    if (def.type != VT_SEL && def.type != VT_SET) f.forbid({"options"}, "a " + tname + " variable");
    if (const JsonValue* o = f.get("options")) {
        for (const auto& item : get_array(*o, "the options")) {
            std::string opt = get_string(item, "an option");
            bool bad = opt.empty() || opt.find_first_of("\n\r") != std::string::npos ||
                       (def.type == VT_SET && (opt.find(',') != std::string::npos || opt.front() == ' ' ||
                                                opt.back() == ' ' || opt.front() == '\t' || opt.back() == '\t'));
            if (bad) fail(item, "invalid option " + quote(opt));
            for (const auto& other : def.options)
                if (other == opt) fail(item, "duplicate option " + quote(opt));
            def.options.push_back(opt);
        }
    }
    const JsonValue* min_v = f.get("min");
    const JsonValue* max_v = f.get("max");
    if (min_v) def.min = get_limit(*min_v, "min");
    if (max_v) def.max = get_limit(*max_v, "max");
    if (def.min > def.max) fail(max_v ? *max_v : *min_v, "min is greater than max");
    if (const JsonValue* u = f.get("unit")) n.unit = get_string(*u, "the unit");

    if (const JsonValue* v = f.get("value")) {
        n.value = node_value(n, *v);
    } else {
        n.value = default_value(def);
        Value check;
        bool optionless_sel = def.type == VT_SEL && def.options.empty();
        if (!optionless_sel && parse_value(def, render(def, n.value), check) != E_OK)
            fail(f.object(), "no default " + tname + " value lies within the limits; give a value");
    }
}

void Loader::load_job(Node& n, const Fields& f) {
    JobSettings& j = n.job;
    j.ready_delay_ms = ready_delay_ms_;
    if (const JsonValue* d = f.get("duration_ms")) j.duration_ms = get_int(*d, 0, kMaxDurationMs, "duration_ms");
    if (const JsonValue* d = f.get("ready_delay_ms")) j.ready_delay_ms = get_int(*d, 0, kMaxDurationMs, "ready_delay_ms");
    if (const JsonValue* o = f.get("outcome")) {
        std::string s = get_string(*o, "the outcome");
        if (!outcome_from_name(s, j.outcome)) fail(*o, "unknown outcome " + quote(s) + " (completed, failed, both or none)");
    }
    if (const JsonValue* b = f.get("never_ready")) j.never_ready = get_bool(*b, "never_ready");
    if (const JsonValue* b = f.get("never_active")) j.never_active = get_bool(*b, "never_active");
}

void Loader::load_drivers(const JsonValue& v) {
    for (const auto& e : get_array(v, "the drivers")) {
        Fields f(e, "a driver", {"name", "version", "vendor", "comment"});
        const JsonValue& name_v = f.need("name", "a driver");
        proto::Driver d;
        d.name = get_string(name_v, "the driver name");
        if (d.name.empty()) fail(name_v, "empty driver name");
        if (!driver_names_.insert(d.name).second) fail(name_v, "duplicate driver " + quote(d.name));
        if (const JsonValue* s = f.get("version")) d.version = get_string(*s, "the version");
        if (const JsonValue* s = f.get("vendor")) d.vendor = get_string(*s, "the vendor");
        if (const JsonValue* s = f.get("comment")) d.comment = get_string(*s, "the comment");
        cfg.devices.drivers.push_back(std::move(d));
    }
}

void Loader::load_devices(const JsonValue& v) {
    auto& devs = cfg.devices.devices;
    std::set<int32_t> handles;
    std::map<std::string, size_t> by_name;  // device name -> position in devs
    // Name lists are checked once every device is known.
    std::vector<const JsonValue*> deps, deps_on;
    int32_t next_handle = 1;
    for (const auto& e : get_array(v, "the devices")) {
        Fields f(e, "a device",
                 {"handle", "name", "driver", "state", "statestring", "static", "stat_n", "stat_str",
                  "dependencies_var", "dependencies", "dependson"});
        proto::Device d;
        const JsonValue* h = f.get("handle");
        d.handle = h ? static_cast<int32_t>(get_int(*h, 1, INT32_MAX, "the device handle")) : next_handle;
        if (!handles.insert(d.handle).second)
            fail(h ? *h : e, "device handle " + std::to_string(d.handle) + " is used twice");
        if (d.handle < INT32_MAX) next_handle = std::max(next_handle, d.handle + 1);

        const JsonValue& name_v = f.need("name", "a device");
        d.name = get_string(name_v, "the device name");
        if (d.name.empty()) fail(name_v, "empty device name");
        if (!by_name.emplace(d.name, devs.size()).second) fail(name_v, "duplicate device " + quote(d.name));

        const JsonValue& drv_v = f.need("driver", "a device");
        d.driver = get_string(drv_v, "the driver");
        if (!driver_names_.count(d.driver)) fail(drv_v, "unknown driver " + quote(d.driver));

        d.state = XAL_DEV_ACTIVE;
        if (const JsonValue* s = f.get("state")) {
            if (s->type == T::String) {
                if (!device_state_from_name(s->text(), d.state)) fail(*s, "unknown device state " + quote(s->text()));
            } else {
                d.state = static_cast<int32_t>(get_int(*s, XAL_DEV_UNINITIALIZED, XAL_DEV_UNKNOWN_FAILURE, "the device state"));
            }
        }
        d.statestring = device_state_text(d.state);
        if (const JsonValue* s = f.get("statestring")) d.statestring = get_string(*s, "the state text");
        if (const JsonValue* s = f.get("static")) d.staticdevice = get_bool(*s, "static") ? 1 : 0;
        if (const JsonValue* s = f.get("stat_n")) d.stat_n = static_cast<int32_t>(get_int(*s, INT32_MIN, INT32_MAX, "stat_n"));
        if (const JsonValue* s = f.get("stat_str")) d.stat_str = get_string(*s, "the status text");
        if (const JsonValue* s = f.get("dependencies_var")) d.dependenciesvarname = get_string(*s, "dependencies_var");
        const JsonValue* dv = f.get("dependencies");
        const JsonValue* ov = f.get("dependson");
        if (dv) get_array(*dv, "the dependencies");
        if (ov) get_array(*ov, "dependson");
        deps.push_back(dv);
        deps_on.push_back(ov);
        devs.push_back(std::move(d));
    }
    auto names = [&](const JsonValue* list, const proto::Device& self) {
        std::vector<std::string> out;
        for (const auto& item : list->items()) {
            std::string name = get_string(item, "a device name");
            if (!by_name.count(name)) fail(item, "unknown device " + quote(name));
            if (name == self.name) fail(item, "device " + quote(name) + " cannot depend on itself");
            out.push_back(name);
        }
        return out;
    };
    for (size_t i = 0; i < devs.size(); ++i)
        if (deps[i]) devs[i].dependencies = names(deps[i], devs[i]);
    // Not stated: the devices that name this one among their dependencies.
    std::vector<std::vector<std::string>> derived(devs.size());
    for (const auto& o : devs)
        for (const auto& name : o.dependencies) derived[by_name[name]].push_back(o.name);
    for (size_t i = 0; i < devs.size(); ++i)
        devs[i].dependson = deps_on[i] ? names(deps_on[i], devs[i]) : std::move(derived[i]);
}

void Loader::load_messages(const JsonValue& v) {
    for (const auto& e : get_array(v, "the system messages")) {
        Fields f(e, "a system message", {"id", "xml"});
        const JsonValue& id_v = f.need("id", "a system message");
        int32_t id = static_cast<int32_t>(get_int(id_v, 0, INT32_MAX, "the system message id"));
        if (cfg.messages.count(id)) fail(id_v, "system message " + std::to_string(id) + " is given twice");
        cfg.messages[id] = get_string(f.need("xml", "a system message"), "the message text");
    }
}

void Loader::load_faults(const JsonValue& v) {
    for (const auto& e : get_array(v, "the faults")) cfg.faults.push_back(read_fault(e));
}

void Loader::load_timeline(const JsonValue& v) {
    if (v.type != T::Object) fail(v, "expected the timeline (an object of node names)" + found(v));
    std::set<std::string> seen;
    for (const JsonValue::Member m : v.members()) {
        std::string name = m.key.text();
        if (!seen.insert(name).second) fail(m.key, "duplicate key " + quote(name));
        const Node* n = cfg.tree.find(name);
        if (!n) fail(m.key, "no node named " + quote(name));
        if (n->kind != Kind::Variable) fail(m.key, quote(name) + " is " + kind_text(n) + ", not a variable");
        for (const auto& e : get_array(m.value, "the steps of " + quote(name))) {
            Fields f(e, "a timeline step", {"at_ms", "value"});
            TimelineStep step;
            step.node = name;
            step.at_ms = get_int(f.need("at_ms", "a timeline step"), 0, kMaxDurationMs, "at_ms");
            const JsonValue& value_v = f.need("value", "a timeline step");
            node_value(*n, value_v);
            step.value = value_v.text();
            cfg.timeline.push_back(std::move(step));
        }
    }
    // Steps at the same moment are taken in the order given.
    std::stable_sort(cfg.timeline.begin(), cfg.timeline.end(),
                     [](const TimelineStep& a, const TimelineStep& b) { return a.at_ms < b.at_ms; });
}

}  // namespace

bool load_scenario_text(const std::string& text, const std::string& name, MachineConfig& out, std::string& error) {
    size_t offset = 0;
    std::string message;
    try {
        JsonDoc doc;
        if (parse_json(text, doc, offset, message)) {
            Loader loader;
            loader.load(doc.root());
            out = std::move(loader.cfg);
            return true;
        }
    } catch (const LoadError& e) {
        offset = e.offset;
        message = e.message;
    } catch (const std::bad_alloc&) {
        error = name + ": out of memory while loading";
        return false;
    }
    size_t line = 0, column = 0;
    line_column(text, offset, line, column);
    error = name + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message;
    return false;
}

bool load_scenario_file(const std::string& path, MachineConfig& out, std::string& error) {
    // Without O_NONBLOCK, opening a FIFO that has no writer would wait for one.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    struct stat st {};
    int err = 0;
    const char* why = nullptr;
    if (::fstat(fd, &st) != 0) err = errno;
    else if (S_ISDIR(st.st_mode)) err = EISDIR;
    else if (!S_ISREG(st.st_mode)) why = "not a regular file";
    else if (st.st_size > static_cast<off_t>(kMaxScenarioBytes)) err = EFBIG;
    try {
        if (err == 0 && !why) text.reserve(static_cast<size_t>(st.st_size));
        char buf[65536];
        while (err == 0 && !why) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) err = errno;
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > kMaxScenarioBytes) err = EFBIG;
        }
    } catch (const std::bad_alloc&) {
        why = "out of memory while loading";
    }
    ::close(fd);
    if (err != 0) why = std::strerror(err);
    if (why) {
        error = path + ": " + why;
        return false;
    }
    return load_scenario_text(text, path, out, error);
}

bool load_fault(const JsonValue& v, Fault& out, std::string& error) {
    try {
        out = read_fault(v);
        return true;
    } catch (const LoadError& e) {
        error = e.message;
        return false;
    }
}

}  // namespace tessaro::sim
