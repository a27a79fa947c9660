#include "scenario_writer.h"

#include <cstdio>

#include "text/json_text.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

class Writer {
public:
    explicit Writer(const MachineView& m) : m_(m) {}

    bool write(std::string& out, std::string& error) {
        s_ += "{\n  \"name\": ";
        text(m_.name, "the machine name");
        // A run in progress does not survive a restart; the rest of the word does.
        s_ += ",\n  \"plc\": {\"state\": " + std::to_string(m_.plc_word & ~plc_bit(PLC_JOB_ACTIVE));
        if (m_.selected) {
            s_ += ", \"selected\": ";
            text(m_.tree.full_name(*m_.selected), "the selected node");
        }
        s_ += "},\n  \"job_node_types\": [";
        list(m_.job_node_types, [this](const proto::JobNodeType& t) {
            s_ += "{\"name\": ";
            text(t.name, "a job node type");
            s_ += ", \"fullname\": ";
            text(t.fullname, "a job node type");
            flag("usercreatable", t.usercreatable);
            flag("canmakelines", t.canmakelines);
            flag("canpasslines", t.canpasslines);
            flag("acceptssubnodes", t.acceptssubnodes);
            s_ += "}";
        });
        s_ += "],\n  \"nodes\": [";
        nodes(m_.tree.children_of(nullptr), 1);
        s_ += "],\n  \"drivers\": [";
        list(m_.devices.drivers, [this](const proto::Driver& d) {
            s_ += "{\"name\": ";
            text(d.name, "a driver");
            field("version", d.version);
            field("vendor", d.vendor);
            field("comment", d.comment);
            s_ += "}";
        });
        s_ += "],\n  \"devices\": [";
        list(m_.devices.devices, [this](const proto::Device& d) { device(d); });
        s_ += "],\n  \"system_messages\": [";
        list(m_.messages, [this](const std::pair<const int32_t, std::string>& msg) {
            s_ += "{\"id\": " + std::to_string(msg.first) + ", \"xml\": ";
            text(msg.second, "a system message");
            s_ += "}";
        });
        s_ += "],\n  \"faults\": [";
        list(m_.faults, [this](const Fault& f) { fault(f); });
        s_ += "]\n}\n";
        if (!bad_.empty()) {
            error = bad_ + " holds text that is no UTF-8";
            return false;
        }
        out = std::move(s_);
        return true;
    }

private:
    // Appends a JSON string; a text that JSON cannot carry marks the whole
    // write as failed (the first such text is named).
    void text(const std::string& t, const std::string& where) {
        if (bad_.empty() && !text::is_utf8(t)) bad_ = where;
        text::append_json_string(s_, t);
    }
    void field(const char* key, const std::string& t) {
        s_ += std::string(", \"") + key + "\": ";
        text(t, key);
    }
    void flag(const char* key, int32_t v) { s_ += std::string(", \"") + key + "\": " + (v ? "true" : "false"); }

    // One entry per line, indented.
    template <class C, class F>
    void list(const C& items, F each) {
        bool first = true;
        for (const auto& item : items) {
            s_ += first ? "\n    " : ",\n    ";
            first = false;
            each(item);
        }
        if (!first) s_ += "\n  ";
    }

    static std::string real(float v) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.9g", double(v));  // 9 digits read back as the same float
        return buf;
    }

    void nodes(const std::vector<Node*>& list, size_t depth) {
        std::string indent(2 * depth + 2, ' ');
        for (size_t i = 0; i < list.size(); ++i) {
            s_ += (i ? ",\n" : "\n") + indent;
            node(*list[i], depth);
        }
        if (!list.empty()) s_ += "\n" + std::string(2 * depth, ' ');
    }

    void node(const Node& n, size_t depth) {
        std::string full = m_.tree.full_name(n);
        s_ += "{\"name\": ";
        text(n.name, "node " + full);
        s_ += ", \"type\": ";
        switch (n.kind) {
            case Kind::Folder: s_ += "\"FOLDER\""; break;
            case Kind::Variable: s_ += std::string("\"") + type_name(n.def.type) + "\""; break;
            case Kind::Job: s_ += "\"VT_JOB\""; break;
            case Kind::JobNode: s_ += "\"JOBNODE\""; break;
        }
        s_ += ", \"id\": " + std::to_string(n.id);
        if (n.priv != "rw") field("priv", n.priv);
        if (n.flags) s_ += ", \"flags\": " + std::to_string(n.flags);
        if (n.kind == Kind::Variable) variable(n, full);
        if (n.kind == Kind::Job) {
            const JobSettings& j = n.job;
            s_ += ", \"duration_ms\": " + std::to_string(j.duration_ms) +
                  ", \"ready_delay_ms\": " + std::to_string(j.ready_delay_ms) + ", \"outcome\": \"" +
                  outcome_name(j.outcome) + "\"";
            if (j.never_ready) s_ += ", \"never_ready\": true";
            if (j.never_active) s_ += ", \"never_active\": true";
        }
        if (n.kind == Kind::JobNode) {
            s_ += ", \"nodetype\": ";
            text(m_.job_node_types[static_cast<size_t>(n.jobnode_type)].fullname, "node " + full);
        }
        if (!n.children.empty()) {
            s_ += ", \"children\": [";
            nodes(n.children, depth + 1);
            s_ += "]";
        }
        s_ += "}";
    }

    void variable(const Node& n, const std::string& full) {
        const VarDef& d = n.def;
        if (!n.unit.empty()) field("unit", n.unit);
        if (d.min != 0.0f || d.max != 0.0f) s_ += ", \"min\": " + real(d.min) + ", \"max\": " + real(d.max);
        if (d.type == VT_SEL || d.type == VT_SET) {
            s_ += ", \"options\": [";
            for (size_t i = 0; i < d.options.size(); ++i) {
                if (i) s_ += ", ";
                text(d.options[i], "node " + full);
            }
            s_ += "]";
        }
        // A VT_SEL without options has no value that could be given.
        if (d.type != VT_SEL || !d.options.empty()) {
            s_ += ", \"value\": ";
            text(render(d, n.value), "node " + full);
        }
    }

    void names(const char* key, const std::vector<std::string>& list) {
        s_ += std::string(", \"") + key + "\": [";
        for (size_t i = 0; i < list.size(); ++i) {
            if (i) s_ += ", ";
            text(list[i], key);
        }
        s_ += "]";
    }

    void device(const proto::Device& d) {
        s_ += "{\"handle\": " + std::to_string(d.handle) + ", \"name\": ";
        text(d.name, "a device");
        field("driver", d.driver);
        s_ += ", \"state\": " + std::to_string(d.state);
        field("statestring", d.statestring);
        s_ += std::string(", \"static\": ") + (d.staticdevice ? "true" : "false");
        s_ += ", \"stat_n\": " + std::to_string(d.stat_n);
        field("stat_str", d.stat_str);
        field("dependencies_var", d.dependenciesvarname);
        names("dependencies", d.dependencies);
        names("dependson", d.dependson);
        s_ += "}";
    }

    void fault(const Fault& f) {
        s_ += std::string("{\"op\": \"") + proto::op_name(f.op) + "\"";
        if (f.node) field("node", *f.node);
        if (f.handle) s_ += ", \"handle\": " + std::to_string(*f.handle);
        if (f.call) s_ += ", \"call\": " + std::to_string(f.call);
        if (f.times) s_ += ", \"times\": " + std::to_string(f.times);
        if (f.result) s_ += ", \"result\": " + std::to_string(*f.result);
        if (f.action == Fault::Action::Silent) s_ += ", \"action\": \"silent\"";
        if (f.action == Fault::Action::Close) s_ += ", \"action\": \"close\"";
        if (f.delay_ms || (!f.result && f.action == Fault::Action::None))
            s_ += ", \"delay_ms\": " + std::to_string(f.delay_ms);
        s_ += "}";
    }

    const MachineView& m_;
    std::string s_;
    std::string bad_;
};

}  // namespace

bool write_scenario(const MachineView& m, std::string& out, std::string& error) {
    return Writer(m).write(out, error);
}

}  // namespace tessaro::sim
