#include "scenario_writer.h"

#include <map>

#include "text/json_text.h"
#include "text/json_writer.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

class Writer {
public:
    explicit Writer(const MachineView& m) : m_(m) {}

    bool write(std::string& out, std::string& error) {
        w_.object(0);
        w_.key("name");
        text(m_.name, "the machine name");
        // A run in progress does not survive a restart; the rest of the word does.
        w_.key("plc").object().key("state").num(m_.plc_word & ~plc_bit(PLC_JOB_ACTIVE));
        if (m_.selected) {
            w_.key("selected");
            text(m_.tree.full_name(*m_.selected), "the selected node");
        }
        w_.end().key("job_node_types");
        list(m_.job_node_types, [this](const proto::JobNodeType& t) {
            w_.object().key("name");
            text(t.name, "a job node type");
            w_.key("fullname");
            text(t.fullname, "a job node type");
            w_.key("usercreatable").boolean(t.usercreatable).key("canmakelines").boolean(t.canmakelines);
            w_.key("canpasslines").boolean(t.canpasslines).key("acceptssubnodes").boolean(t.acceptssubnodes);
            w_.end();
        });
        w_.key("nodes");
        nodes(m_.tree.children_of(nullptr), 2);
        w_.key("drivers");
        list(m_.devices.drivers, [this](const proto::Driver& d) {
            w_.object();
            field("name", d.name, "a driver");
            field("version", d.version);
            field("vendor", d.vendor);
            field("comment", d.comment);
            w_.end();
        });
        w_.key("devices");
        list(m_.devices.devices, [this](const proto::Device& d) { device(d); });
        w_.key("system_messages");
        list(m_.messages, [this](const std::pair<const int32_t, std::string>& msg) {
            w_.object().key("id").num(msg.first);
            field("xml", msg.second, "a system message");
            w_.end();
        });
        w_.key("faults");
        list(m_.faults, [this](const Fault& f) {
            if (!write_fault(w_, f) && bad_.empty()) bad_ = "node";
        });
        if (!m_.timeline.empty()) timeline();
        w_.end();
        if (!bad_.empty()) {
            error = bad_ + " holds text that is no UTF-8";
            return false;
        }
        out = w_.take() + "\n";
        return true;
    }

private:
    // Writes a JSON string; a text that JSON cannot carry marks the whole
    // write as failed (the first such text is named).
    void text(const std::string& t, const std::string& where) {
        if (bad_.empty() && !text::is_utf8(t)) bad_ = where;
        w_.str(t);
    }
    void field(const char* key, const std::string& t, const std::string& where = "") {
        w_.key(key);
        text(t, where.empty() ? key : where);
    }

    // One entry per line.
    template <class C, class F>
    void list(const C& items, F each) {
        w_.array(2);
        for (const auto& item : items) each(item);
        w_.end();
    }

    // `indent`: that of the line the list's closing bracket goes on.
    void nodes(const std::vector<Node*>& list, int indent) {
        w_.array(indent);
        for (const Node* n : list) node(*n, indent + 2);
        w_.end();
    }

    void node(const Node& n, int indent) {
        std::string full = m_.tree.full_name(n);
        w_.object();
        field("name", n.name, "node " + full);
        w_.key("type");
        switch (n.kind) {
            case Kind::Folder: w_.str("FOLDER"); break;
            case Kind::Variable: w_.str(type_name(n.def.type)); break;
            case Kind::Job: w_.str("VT_JOB"); break;
            case Kind::JobNode: w_.str("JOBNODE"); break;
        }
        w_.key("id").num(n.id);
        if (n.priv != "rw") field("priv", n.priv);
        if (n.flags) w_.key("flags").num(n.flags);
        if (n.kind == Kind::Variable) variable(n, full);
        if (n.kind == Kind::Job) {
            const JobSettings& j = n.job;
            w_.key("duration_ms").num(j.duration_ms).key("ready_delay_ms").num(j.ready_delay_ms);
            w_.key("outcome").str(outcome_name(j.outcome));
            if (j.never_ready) w_.key("never_ready").boolean(true);
            if (j.never_active) w_.key("never_active").boolean(true);
        }
        if (n.kind == Kind::JobNode)
            field("nodetype", m_.job_node_types[static_cast<size_t>(n.jobnode_type)].fullname, "node " + full);
        if (!n.children.empty()) {
            w_.key("children");
            nodes(n.children, indent);
        }
        w_.end();
    }

    void variable(const Node& n, const std::string& full) {
        const VarDef& d = n.def;
        if (!n.unit.empty()) field("unit", n.unit);
        if (d.min != 0.0f || d.max != 0.0f) w_.key("min").real(d.min).key("max").real(d.max);
        if (d.type == VT_SEL || d.type == VT_SET) {
            w_.key("options").array();
            for (const auto& o : d.options) text(o, "node " + full);
            w_.end();
        }
        // A VT_SEL without options has no value that could be given.
        if (d.type != VT_SEL || !d.options.empty()) field("value", render(d, n.value), "node " + full);
    }

    // The steps grouped by node, the nodes in the order of their first step,
    // each step on a line of its own.
    void timeline() {
        std::map<std::string, size_t> group;  // node -> position in `steps`
        std::vector<std::vector<const TimelineStep*>> steps;
        for (const TimelineStep& t : m_.timeline) {
            auto at = group.emplace(t.node, steps.size()).first;
            if (at->second == steps.size()) steps.emplace_back();
            steps[at->second].push_back(&t);
        }
        w_.key("timeline").object(2);
        for (const auto& of_node : steps) {
            const std::string& node = of_node.front()->node;
            if (bad_.empty() && !text::is_utf8(node)) bad_ = "the timeline";
            w_.key(node).array(4);
            for (const TimelineStep* t : of_node) {
                w_.object().key("at_ms").num(t->at_ms);
                field("value", t->value, "the timeline of " + node);
                w_.end();
            }
            w_.end();
        }
        w_.end();
    }

    void names(const char* key, const std::vector<std::string>& list) {
        w_.key(key).array();
        for (const auto& name : list) text(name, key);
        w_.end();
    }

    void device(const proto::Device& d) {
        w_.object().key("handle").num(d.handle);
        field("name", d.name, "a device");
        field("driver", d.driver);
        w_.key("state").num(d.state);
        field("statestring", d.statestring);
        w_.key("static").boolean(d.staticdevice).key("stat_n").num(d.stat_n);
        field("stat_str", d.stat_str);
        field("dependencies_var", d.dependenciesvarname);
        names("dependencies", d.dependencies);
        names("dependson", d.dependson);
        w_.end();
    }

    const MachineView& m_;
    text::JsonWriter w_{text::JsonWriter::kSpaced};
    std::string bad_;
};

}  // namespace

bool write_scenario(const MachineView& m, std::string& out, std::string& error) {
    return Writer(m).write(out, error);
}

std::vector<FaultMember> fault_members(const Fault& f) {
    std::vector<FaultMember> out;
    auto num = [&out](const char* key, long long n) { out.push_back(FaultMember{key, std::nullopt, n}); };
    auto str = [&out](const char* key, std::string t) { out.push_back(FaultMember{key, std::move(t)}); };
    str("op", proto::op_name(f.op));
    if (f.node) str("node", *f.node);
    if (f.handle) num("handle", *f.handle);
    if (f.call) num("call", static_cast<long long>(f.call));
    if (f.times) num("times", static_cast<long long>(f.times));
    if (f.result) num("result", *f.result);
    if (f.action == Fault::Action::Silent) str("action", "silent");
    if (f.action == Fault::Action::Close) str("action", "close");
    if (f.delay_ms || (!f.result && f.action == Fault::Action::None)) num("delay_ms", f.delay_ms);
    return out;
}

bool write_fault(text::JsonWriter& w, const Fault& f) {
    bool utf8 = true;
    w.object();
    for (const FaultMember& m : fault_members(f)) {
        w.key(m.key);
        if (!m.text) {
            w.num(m.number);
            continue;
        }
        utf8 = utf8 && text::is_utf8(*m.text);
        w.str(*m.text);
    }
    w.end();
    return utf8;
}

}  // namespace tessaro::sim
