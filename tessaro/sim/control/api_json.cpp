#include "api_json.h"

#include "control_port.h"
#include "json_doc.h"
#include "scenario.h"
#include "scenario_writer.h"
#include "value.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

using nlohmann::json;

std::string dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::optional<json> node_json(ControlPort& port, const std::string& name) {
    std::optional<json> out;
    port.inspect([&](const MachineView& v) {
        const Node* n = v.tree.find(name);
        if (!n) return;
        const char* type = "FOLDER";
        if (n->kind == Kind::Variable) type = type_name(n->def.type);
        else if (n->kind == Kind::Job) type = type_name(VT_JOB);
        else if (n->kind == Kind::JobNode) type = v.job_node_types[static_cast<size_t>(n->jobnode_type)].name.c_str();
        json children = json::array();
        for (const Node* c : n->children) children.push_back(c->name);
        out = json{{"name", v.tree.full_name(*n)},
                   {"type", type},
                   {"value", n->kind == Kind::Variable ? render(n->def, n->value) : std::string()},
                   {"min", n->def.min},
                   {"max", n->def.max},
                   {"unit", n->unit},
                   {"priv", n->priv},
                   {"children", children}};
        if (!n->def.options.empty()) (*out)["options"] = n->def.options;
        if (n->kind == Kind::Job)
            (*out)["job"] = {{"outcome", outcome_name(n->job.outcome)}, {"duration_ms", n->job.duration_ms}};
    });
    return out;
}

json written_node_json(ControlPort& port, const std::string& name, const ControlPort::Sent& sent, const json& before) {
    json out = node_json(port, name).value_or(before);
    if (sent.value) out["value"] = *sent.value;
    return out;
}

json plc_json(ControlPort& port) {
    json out;
    port.inspect([&](const MachineView& v) {
        json state = json::array();
        for (int i = 0; i < 32; ++i)
            if (v.plc_word & plc_bit(i)) state.push_back(plc_state_name(i) ? plc_state_name(i) : std::to_string(i));
        out = {{"word", v.plc_word}, {"state", state}, {"selected", v.selected ? v.tree.full_name(*v.selected) : ""}};
    });
    static const json names = [] {
        json all = json::array();
        for (int i = 0; plc_state_name(i); ++i) all.push_back(plc_state_name(i));
        return all;
    }();
    out["names"] = names;
    return out;
}

json fault_json(const FaultStatus& fault) {
    json out = json::object();
    for (const FaultMember& m : fault_members(fault.fault)) out[m.key] = m.text ? json(*m.text) : json(m.number);
    out["index"] = fault.index;
    out["seen"] = fault.seen;
    out["left"] = fault.left ? json(*fault.left) : json(nullptr);
    return out;
}

json faults_json(const std::vector<FaultStatus>& faults) {
    json out = json::array();
    for (const auto& f : faults) out.push_back(fault_json(f));
    return out;
}

namespace {

// False, with `error` set, when `body` nests arrays and objects more than
// kMaxBodyDepth deep. Counted before parsing: handling a value (parsing,
// freeing, writing it out) recurses once per level.
bool within_depth(const std::string& body, std::string& error) {
    int depth = 0;
    bool in_string = false;
    for (size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (in_string) {
            if (c == '\\') ++i;
            else if (c == '"') in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMaxBodyDepth) {
                error = "the body is nested more than " + std::to_string(kMaxBodyDepth) + " levels deep";
                return false;
            }
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

const char kMalformed[] = "malformed JSON";

}  // namespace

std::optional<json> parse_json_body(const std::string& body, std::string& error) {
    if (!within_depth(body, error)) return std::nullopt;
    json out = json::parse(body, nullptr, false);
    if (out.is_discarded()) {
        error = kMalformed;
        return std::nullopt;
    }
    return out;
}

bool parse_body(const std::string& body, std::initializer_list<const char*> keys, json& out, std::string& error) {
    auto parsed = parse_json_body(body, error);
    if (!parsed) return false;
    out = std::move(*parsed);
    if (!out.is_object()) {
        error = "the body must be a JSON object";
        return false;
    }
    for (const auto& item : out.items()) {
        bool known = false;
        for (const char* k : keys) known = known || item.key() == k;
        if (!known) {
            error = "unknown key \"" + item.key() + "\"";
            return false;
        }
    }
    return true;
}

bool parse_fault(const std::string& body, Fault& out, std::string& error) {
    if (!within_depth(body, error)) return false;
    JsonDoc doc;
    size_t offset = 0;
    std::string why;
    if (!parse_json(body, doc, offset, why)) {
        error = kMalformed;
        return false;
    }
    return load_fault(doc.root(), out, error);
}

bool parse_node_value(const json& j, std::string& value, std::string& error) {
    if (!j.contains("value") || !j["value"].is_string()) {
        error = "give the value as a string: {\"value\": \"...\"}";
        return false;
    }
    value = j["value"];
    return true;
}

bool parse_plc(const json& j, uint32_t& set, uint32_t& clear, std::string& error) {
    set = clear = 0;
    for (const char* key : {"set", "clear"}) {
        if (!j.contains(key)) continue;
        if (!j[key].is_array()) {
            error = std::string("\"") + key + "\" must be a list of PLC state names";
            return false;
        }
        for (const auto& name : j[key]) {
            int state = 0;
            if (!name.is_string() || !plc_state_from_name(name.get<std::string>(), state)) {
                error = "unknown PLC state " + dump(name);
                return false;
            }
            (std::string(key) == "set" ? set : clear) |= plc_bit(state);
        }
    }
    return true;
}

bool parse_job(const json& j, std::optional<JobOutcome>& outcome, std::optional<int64_t>& duration_ms,
               std::string& error) {
    if (j.contains("outcome")) {
        JobOutcome o;
        if (!j["outcome"].is_string() || !outcome_from_name(j["outcome"].get<std::string>(), o)) {
            error = "unknown outcome " + dump(j["outcome"]) + " (completed, failed, both or none)";
            return false;
        }
        outcome = o;
    }
    if (j.contains("duration_ms")) {
        const json& d = j["duration_ms"];
        if (!d.is_number_integer() || d.get<int64_t>() < 0 || d.get<int64_t>() > kMaxDurationMs) {
            error = "duration_ms must be a whole number from 0 to " + std::to_string(kMaxDurationMs);
            return false;
        }
        duration_ms = d.get<int64_t>();
    }
    if (!outcome && !duration_ms) {
        error = "give an outcome, a duration_ms or both";
        return false;
    }
    return true;
}

}  // namespace tessaro::sim
