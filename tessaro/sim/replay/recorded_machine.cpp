#include "recorded_machine.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <set>

#include "recording.h"
#include "scenario.h"
#include "xal_tessaro.h"

namespace tessaro::sim::replay {

namespace {

using proto::Op;

// The bits a job's run sets and clears: the state a recording starts with
// keeps none of them once a job was selected or started before it was read.
constexpr uint32_t kJobBits =
    plc_bit(PLC_JOB_READY) | plc_bit(PLC_JOB_ACTIVE) | plc_bit(PLC_JOB_COMPLETED) | plc_bit(PLC_JOB_FAILED);

std::string hex_of(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) out += digits[c >> 4], out += digits[c & 15];
    return out;
}

// A text for a one-line note: control characters as \xNN.
std::string shown(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c >= 0x20 && c != 0x7F) {
            out += static_cast<char>(c);
            continue;
        }
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02X", c);
        out += buf;
    }
    return out;
}

int64_t median(std::vector<int64_t> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int64_t ms_between(int64_t from_us, int64_t to_us) { return std::max<int64_t>(0, (to_us - from_us + 500) / 1000); }

// A value seen or written, in the order of the calls.
struct Sighting {
    enum class Kind : uint8_t { Seen, Written } kind;
    int64_t begin_us, time_us;
    std::string text;
};

struct SeenNode {
    size_t order = 0;  // of its first mention
    std::optional<proto::NodeInfo> info;
    bool job = false, binary = false, parent = false;
    bool created = false;  // the first the recording knows of it: a program made it
    std::vector<Sighting> values;
};

struct JobRun {
    std::string job;
    int64_t start_us;
    bool active_seen = false;
};

// Per connection: what its handles stand for, its values set but not yet
// written, and which node each of its collections lists.
struct Connection {
    std::map<int64_t, std::string> handles;
    std::map<std::string, std::string> pending;
    std::map<int64_t, std::string> collection_of;
    // (parent, position, child handle) as the collections gave them.
    std::vector<std::tuple<std::string, int64_t, int64_t>> listed;
};

class Builder {
public:
    explicit Builder(RecordedMachine& out) : out_(out) {}

    void take(const trace::TraceLine& l, const std::string& conn_key);
    void finish(const std::string& file_name);

private:
    // The node of a full name, known from now on with its parents. A name
    // deeper than a machine's levels stands for none (what it gathers is
    // dropped).
    SeenNode& node(const std::string& name) {
        auto it = nodes_.find(name);
        if (it != nodes_.end()) return it->second;
        if (static_cast<size_t>(std::count(name.begin(), name.end(), '.')) >= kMaxDepth) {
            if (!too_deep_) out_.notes.push_back("names deeper than " + std::to_string(kMaxDepth) + " levels are left out");
            too_deep_ = true;
            return discarded_ = SeenNode{};
        }
        SeenNode& n = nodes_[name];
        n.order = ++mentioned_;
        for (size_t dot = name.rfind('.'); dot != std::string::npos && dot > 0; dot = name.rfind('.', dot - 1)) {
            auto [parent, fresh] = nodes_.emplace(name.substr(0, dot), SeenNode{});
            parent->second.parent = true;
            if (!fresh) break;  // its own parents are known already
            parent->second.order = ++mentioned_;
        }
        return n;
    }
    std::string node_of(const trace::TraceLine& l, Connection& c);
    // A PLC word seen at `at_us`: pushed to the program (an event), or polled.
    void plc_word(uint32_t word, int64_t at_us, bool event);
    void add_faults();
    void build_nodes();
    void build_node(Node* parent, const std::string& full, SeenNode& seen, size_t depth);
    void build_variable(Node& n, const std::string& full, SeenNode& seen);

    RecordedMachine& out_;
    std::map<std::string, SeenNode> nodes_;
    size_t mentioned_ = 0;
    bool too_deep_ = false;
    SeenNode discarded_;
    std::map<std::string, Connection> conns_;
    std::map<std::string, std::vector<std::string>> children_order_;
    std::optional<int64_t> first_greeting_us_, first_call_us_;
    std::optional<uint32_t> first_word_;
    bool job_action_before_word_ = false;
    std::optional<std::string> selected_at_start_;
    bool selection_changed_ = false;
    std::string selected_;
    std::optional<int64_t> selected_at_us_;
    std::optional<JobRun> run_;
    struct Durations {
        std::vector<int64_t> ms;
        bool by_event = false;  // told by events, not seen by polls
    };
    std::map<std::string, Durations> durations_;
    std::map<std::string, std::vector<int64_t>> ready_delays_;
    std::map<std::string, JobOutcome> outcomes_;
    // Calls so far: of an operation on a node, and of an operation.
    std::map<std::pair<uint16_t, std::string>, uint64_t> calls_;
    std::map<uint16_t, uint64_t> op_calls_;
    std::set<std::string> gone_;  // nodes a program deleted
    struct Failure {
        uint16_t op;
        std::string node;
        uint64_t call;
        int32_t result;
        bool gone;  // the node had been deleted
    };
    std::vector<Failure> failures_;
    std::optional<std::vector<proto::Driver>> drivers_;
    std::optional<std::vector<proto::Device>> devices_;
    std::map<int64_t, proto::JobNodeType> job_node_types_;
    std::optional<int64_t> job_node_type_count_;
};

std::string Builder::node_of(const trace::TraceLine& l, Connection& c) {
    const proto::Operation* o = proto::operation(l.op);
    if (l.node.state == trace::NodeRef::State::Named) {
        // A handle the call carries stands for the node it names.
        if (o && o->roles[0] == 'n' && !l.args.empty() && !l.args[0].text) c.handles[l.args[0].num] = l.node.name;
        return l.node.name;
    }
    if (o && o->roles[0] == 'n' && !l.args.empty() && !l.args[0].text) {
        auto it = c.handles.find(l.args[0].num);
        if (it != c.handles.end()) return it->second;
    }
    return "";
}

void Builder::plc_word(uint32_t word, int64_t at_us, bool event) {
    if (!first_word_) first_word_ = word;
    if (selected_at_us_ && (word & plc_bit(PLC_JOB_READY)) && !selected_.empty()) {
        if (event) ready_delays_[selected_].push_back(ms_between(*selected_at_us_, at_us));
        selected_at_us_.reset();
    }
    if (!run_) return;
    if (word & plc_bit(PLC_JOB_ACTIVE)) {
        run_->active_seen = true;
        return;
    }
    const bool completed = word & plc_bit(PLC_JOB_COMPLETED), failed = word & plc_bit(PLC_JOB_FAILED);
    // Right after a start a controller may not show the run yet: it has
    // ended once it was seen running, or once it shows an outcome.
    if (!run_->active_seen && !completed && !failed) return;
    // A poll sees the end late, by as long as the program waited between
    // polls: a run whose end an event told is measured by those alone.
    auto& measured = durations_[run_->job];
    const int64_t ms = ms_between(run_->start_us, at_us);
    if (event && !measured.by_event) measured = Durations{{}, true};
    if (event || !measured.by_event) measured.ms.push_back(ms);
    outcomes_[run_->job] = completed && failed ? JobOutcome::Both
                           : completed         ? JobOutcome::Completed
                           : failed            ? JobOutcome::Failed
                                               : JobOutcome::None;
    run_.reset();
}

void Builder::add_faults() {
    for (const Failure& f : failures_) {
        // What the machine made of the recording answers by itself: no
        // parent above the top level, no node of a name it does not have
        // (or no longer has), a node made twice.
        const Op op = static_cast<Op>(f.op);
        auto seen = nodes_.find(f.node);
        const bool in_machine = !f.node.empty() && seen != nodes_.end() && !seen->second.created;
        if (op == Op::GetParentNode) continue;
        if (f.result == E_NOEXIST && (f.node.empty() || !in_machine || f.gone)) continue;
        if (f.result == E_EXIST && (op == Op::CreateNodeOnController || op == Op::CreateJobNodeOnController)) continue;
        Fault fault;
        fault.op = op;
        if (!f.node.empty()) fault.node = f.node;
        fault.call = f.call;
        fault.result = f.result;
        out_.config.faults.push_back(std::move(fault));
    }
}

void Builder::take(const trace::TraceLine& l, const std::string& conn_key) {
    Connection& c = conns_[conn_key];
    if (l.plc_event) {
        plc_word(*l.plc_event, l.time_us, true);
        return;
    }
    if (l.local) {
        if (l.result && *l.result == 0 && std::strcmp(proto::local_op_name(l.op), "DetectRemoteController") == 0 &&
            !first_greeting_us_)
            first_greeting_us_ = l.time_us;
        return;
    }
    const proto::Operation* o = proto::operation(l.op);
    if (!o || !l.decoded || proto::is_api_op(o->op) || l.conn.compare(0, 5, "http ") == 0) return;
    if (o->op == Op::Hello) {
        if (l.result && *l.result == 0 && !first_greeting_us_) first_greeting_us_ = l.time_us;
        return;
    }
    const int64_t begin = l.begin_us.value_or(l.time_us);
    if (!first_call_us_) first_call_us_ = begin;
    std::string name = node_of(l, c);
    ++calls_[{l.op, name}];
    ++op_calls_[l.op];
    if (!l.result) return;  // never answered
    if (*l.result < 0) {
        failures_.push_back(Failure{l.op, name, name.empty() ? op_calls_[l.op] : calls_[{l.op, name}], *l.result,
                                    !name.empty() && gone_.count(name)});
        return;
    }
    if (o->addresses_node() && !name.empty()) {
        const bool made = o->op == Op::CreateNodeOnController || o->op == Op::CreateJobNodeOnController;
        if (made && !nodes_.count(name)) node(name).created = true;
        else node(name);
        if (made) gone_.erase(name);
        if (o->op == Op::DeleteSingleNodeOnController) gone_.insert(name);
    }
    const auto& r = l.reply;
    switch (o->op) {
        case Op::GetNode:
            if (!l.args.empty() && l.args[0].text) c.handles[*l.result] = l.args[0].str;
            break;
        case Op::GetNodeInfo:
            if (auto* info = std::get_if<proto::NodeInfo>(&l.record)) {
                c.handles[info->handle] = info->fullname;
                SeenNode& n = node(info->fullname);
                if (!n.info) n.info = *info;
                n.values.push_back(Sighting{Sighting::Kind::Seen, begin, l.time_us, info->value});
            }
            break;
        case Op::GetNodeValueString:
            if (!name.empty() && !r.empty())
                node(name).values.push_back(Sighting{Sighting::Kind::Seen, begin, l.time_us, r[0].str});
            break;
        case Op::GetNodeValueBinCopy:
            if (!name.empty() && !r.empty()) {
                SeenNode& n = node(name);
                n.binary = true;
                n.values.push_back(Sighting{Sighting::Kind::Seen, begin, l.time_us, hex_of(r[0].str)});
            }
            break;
        case Op::SetNodeValueString:
            if (!name.empty() && l.args.size() > 1) c.pending[name] = l.args[1].str;
            break;
        case Op::WriteNodeSync:
            if (auto it = c.pending.find(name); it != c.pending.end()) {
                node(name).values.push_back(Sighting{Sighting::Kind::Written, begin, l.time_us, it->second});
                c.pending.erase(it);
            }
            break;
        case Op::GetSubnodes:
            if (l.args.size() > 1 && !name.empty()) c.collection_of[l.args[1].num] = name;
            break;
        case Op::GetNodeObjectAtIndex:
            if (l.args.size() > 1 && !r.empty())
                if (auto it = c.collection_of.find(l.args[0].num); it != c.collection_of.end())
                    c.listed.emplace_back(it->second, l.args[1].num, r[0].num);
            break;
        case Op::GetJobInfo:
            if (auto* info = std::get_if<proto::JobInfo>(&l.record)) {
                for (const std::string& job : info->fulljobnames) node(job).job = true;
                if (!selection_changed_ && !selected_at_start_) selected_at_start_ = info->selectednode;
            }
            break;
        case Op::SelectNode:
            if (!first_word_) job_action_before_word_ = true;
            selection_changed_ = true;
            selected_ = name;
            selected_at_us_ = l.time_us;
            break;
        case Op::JobStart:
            if (!first_word_) job_action_before_word_ = true;
            if (!selected_.empty()) {
                node(selected_).job = true;
                run_ = JobRun{selected_, l.time_us};
            }
            break;
        case Op::GetPLCState:
            if (!r.empty()) plc_word(r[0].u(), begin, false);
            break;
        case Op::GetJobNodeTypesCount:
            if (!r.empty()) job_node_type_count_ = r[0].num;
            break;
        case Op::GetJobNodeTypeInfo:
            if (auto* t = std::get_if<proto::JobNodeType>(&l.record))
                if (!l.args.empty()) job_node_types_[l.args[0].num] = *t;
            break;
        case Op::GetDriverInfo:
            if (auto* d = std::get_if<std::vector<proto::Driver>>(&l.record))
                if (!drivers_) drivers_ = *d;
            break;
        case Op::GetAllDeviceInfo:
            if (auto* d = std::get_if<std::vector<proto::Device>>(&l.record))
                if (!devices_) devices_ = *d;
            break;
        default: break;
    }
}

void Builder::build_variable(Node& n, const std::string& full, SeenNode& seen) {
    VarDef& def = n.def;
    auto fits = [&def](const std::string& text) {
        Value v;
        return parse_value(def, text, v) == E_OK;
    };
    auto canonical = [&def](const std::string& text) {
        Value v;
        return parse_value(def, text, v) == E_OK ? render(def, v) : text;
    };
    // Options are what the values were (a set's, the names in them).
    if (def.type == VT_SEL || def.type == VT_SET) {
        std::set<std::string> known;
        for (const Sighting& s : seen.values) {
            std::vector<std::string> names;
            if (def.type == VT_SEL) names.push_back(s.text);
            for (size_t at = 0; def.type == VT_SET && at <= s.text.size();) {
                size_t comma = std::min(s.text.find(',', at), s.text.size());
                std::string item = s.text.substr(at, comma - at);
                item.erase(0, item.find_first_not_of(" \t"));
                item.erase(item.find_last_not_of(" \t") + 1);
                names.push_back(item);
                at = comma + 1;
            }
            for (const std::string& name : names)
                if (!name.empty() && name.find_first_of("\n\r") == std::string::npos && known.insert(name).second)
                    def.options.push_back(name);
        }
    }
    for (const Sighting& s : seen.values)
        if (def.has_limits() && !fits(s.text)) {
            out_.notes.push_back(shown(full) + ": the value '" + shown(s.text) +
                                 "' lies outside the limits read; they are left out");
            def.min = def.max = 0.0f;
        }
    n.value = default_value(def);
    // The first value is the first one seen before any program wrote one;
    // a value seen that differs from the last one known changed on its
    // own, halfway between the last call that saw the old one and this.
    std::optional<std::string> known;
    int64_t known_at = 0;
    bool first = true;
    const int64_t base = first_greeting_us_.value_or(first_call_us_.value_or(0));
    for (const Sighting& s : seen.values) {
        if (!fits(s.text)) {
            out_.notes.push_back(shown(full) + ": the value '" + shown(s.text) + "' is no " + type_name(def.type) +
                                 " value; left out");
            continue;
        }
        std::string text = canonical(s.text);
        if (s.kind == Sighting::Kind::Seen) {
            if (first) parse_value(def, text, n.value);
            else if (known && *known != text) {
                const int64_t at_ms = ms_between(base, known_at + (s.begin_us - known_at) / 2);
                if (at_ms <= kMaxDurationMs) out_.config.timeline.push_back(TimelineStep{full, at_ms, text});
                else out_.notes.push_back(shown(full) + ": a change more than a day into the run; left out");
            }
        }
        first = false;
        known = text;
        known_at = s.time_us;
    }
}

void Builder::build_node(Node* parent, const std::string& full, SeenNode& seen, size_t depth) {
    auto n = std::make_unique<Node>();
    n->name = full.substr(full.rfind('.') == std::string::npos ? 0 : full.rfind('.') + 1);
    // A name no scenario can hold (a controller's, or a damaged line's).
    if (!Tree::valid_name(n->name)) {
        out_.notes.push_back("'" + shown(full) + "': no valid node name; left out with what it holds");
        return;
    }
    if (depth > kMaxDepth || out_.config.tree.size() >= kMaxNodes) {
        out_.notes.push_back(shown(full) + ": beyond the levels or the number of nodes a machine holds; left out");
        return;
    }
    const proto::NodeInfo* info = seen.info ? &*seen.info : nullptr;
    int32_t type = VT_STR;
    if (info && type_from_name(info->typestring, type)) n->kind = Kind::Variable;
    else if (info && info->typestring == "VT_JOB") n->kind = Kind::Job;
    else if (info && info->typestring == "FOLDER") n->kind = Kind::Folder;
    else if (info && is_variable_type(info->type)) n->kind = Kind::Variable, type = info->type;
    else if (seen.job) n->kind = Kind::Job;
    else if (seen.parent) n->kind = Kind::Folder;
    else n->kind = Kind::Variable, type = seen.binary ? VT_BIN : VT_STR;
    // A job node's type is not in its info: it stands as a folder would not
    // (inside a job), so it is left out with what it holds.
    if (parent && parent->kind == Kind::Job) {
        out_.notes.push_back(shown(full) + ": a node inside a job is left out");
        return;
    }
    if (parent && parent->kind == Kind::Variable) {
        out_.notes.push_back(shown(full) + ": a node inside a variable is left out");
        return;
    }
    if (info) {
        n->id = info->nodeid;
        if (info->priv == "r") n->priv = "r";
        n->flags = info->flags;
    }
    if (n->kind == Kind::Variable) {
        n->def.type = type;
        if (info) {
            n->unit = info->unit;
            if (std::isfinite(info->min) && std::isfinite(info->max) && info->min <= info->max) {
                n->def.min = info->min;
                n->def.max = info->max;
            }
        }
        build_variable(*n, full, seen);
    }
    if (n->kind == Kind::Job) {
        if (auto d = durations_.find(full); d != durations_.end())
            n->job.duration_ms = std::min(median(d->second.ms), kMaxDurationMs);
        if (auto r = ready_delays_.find(full); r != ready_delays_.end())
            n->job.ready_delay_ms = std::min(median(r->second), kMaxDurationMs);
        if (auto o = outcomes_.find(full); o != outcomes_.end()) n->job.outcome = o->second;
    }
    // An id another node has already: this one takes a new one.
    std::unique_ptr<Node> spare = n->id != 0 ? std::make_unique<Node>(*n) : nullptr;
    Node* inserted = out_.config.tree.insert(parent, std::move(n), SIZE_MAX);
    if (!inserted && spare) {
        out_.notes.push_back(shown(full) + ": its id is another node's; it takes a new one");
        spare->id = 0;
        inserted = out_.config.tree.insert(parent, std::move(spare), SIZE_MAX);
    }
    if (!inserted) return;
    // Children: those the collections listed, in their order, then the rest
    // in the order the recording named them.
    std::vector<std::pair<size_t, std::string>> kids;
    const std::string prefix = full + ".";
    for (auto it = nodes_.lower_bound(prefix); it != nodes_.end() && it->first.compare(0, prefix.size(), prefix) == 0;
         ++it)
        if (it->first.find('.', prefix.size()) == std::string::npos && !it->second.created)
            kids.emplace_back(it->second.order, it->first);
    const std::vector<std::string>& listed = children_order_[full];
    for (auto& [order, name] : kids) {
        auto at = std::find(listed.begin(), listed.end(), name);
        if (at != listed.end()) order = static_cast<size_t>(at - listed.begin());
        else order += listed.size();
    }
    std::sort(kids.begin(), kids.end());
    for (const auto& kid : kids) build_node(inserted, kid.second, nodes_[kid.second], depth + 1);
}

void Builder::build_nodes() {
    // A collection's children are known by name once their handles are.
    for (auto& [key, c] : conns_) {
        std::map<std::string, std::map<int64_t, std::string>> by_parent;
        for (const auto& [parent, position, handle] : c.listed)
            if (auto it = c.handles.find(handle); it != c.handles.end()) by_parent[parent][position] = it->second;
        for (auto& [parent, kids] : by_parent) {
            std::vector<std::string>& order = children_order_[parent];
            if (!order.empty()) continue;
            for (auto& [position, name] : kids) order.push_back(name);
        }
    }
    std::vector<std::pair<size_t, std::string>> top;
    for (const auto& [name, seen] : nodes_)
        if (name.find('.') == std::string::npos && !seen.created) top.emplace_back(seen.order, name);
    std::sort(top.begin(), top.end());
    for (const auto& t : top) build_node(nullptr, t.second, nodes_[t.second], 1);
}

void Builder::finish(const std::string& file_name) {
    MachineConfig& cfg = out_.config;
    cfg.name = "recorded in " + file_name;
    cfg.plc_word = plc_bit(PLC_DEVICES_READY) | plc_bit(PLC_SYSTEM_READY);
    if (first_word_)
        cfg.plc_word = (*first_word_ & ~plc_bit(PLC_JOB_ACTIVE)) & (job_action_before_word_ ? ~kJobBits : ~0u);
    // Job node types come before the nodes that may name them.
    std::set<std::string> type_names;
    if (job_node_type_count_)
        for (const auto& [position, t] : job_node_types_)
            if (position >= 0 && position < *job_node_type_count_ && !t.name.empty() && type_names.insert(t.name).second &&
                (t.fullname == t.name || type_names.insert(t.fullname).second))
                cfg.job_node_types.push_back(t);
    build_nodes();
    if (selected_at_start_ && !selected_at_start_->empty()) {
        const Node* n = cfg.tree.find(*selected_at_start_);
        if (n && n->kind == Kind::Job) cfg.selected = *selected_at_start_;
    }
    // Devices name their drivers, and each other; names and handles are
    // each one device's.
    std::set<std::string> drivers, names;
    if (drivers_)
        for (const proto::Driver& d : *drivers_)
            if (!d.name.empty() && drivers.insert(d.name).second) cfg.devices.drivers.push_back(d);
    if (devices_) {
        std::set<int32_t> handles;
        std::vector<proto::Device> kept;
        for (const proto::Device& d : *devices_)
            if (!d.name.empty() && !d.driver.empty() && d.handle >= 1 && d.state >= XAL_DEV_UNINITIALIZED &&
                d.state <= XAL_DEV_UNKNOWN_FAILURE && handles.insert(d.handle).second && names.insert(d.name).second)
                kept.push_back(d);
            else
                out_.notes.push_back("device '" + shown(d.name) + "': no name, driver, handle or state of its own; left out");
        for (proto::Device& d : kept) {
            if (drivers.insert(d.driver).second) cfg.devices.drivers.push_back(proto::Driver{d.driver, "", "", ""});
            auto unknown = [&](const std::string& name) { return !names.count(name) || name == d.name; };
            d.dependencies.erase(std::remove_if(d.dependencies.begin(), d.dependencies.end(), unknown), d.dependencies.end());
            d.dependson.erase(std::remove_if(d.dependson.begin(), d.dependson.end(), unknown), d.dependson.end());
            cfg.devices.devices.push_back(std::move(d));
        }
    }
    add_faults();
    // The steps of nodes left out go with them.
    cfg.timeline.erase(std::remove_if(cfg.timeline.begin(), cfg.timeline.end(),
                                      [&cfg](const TimelineStep& t) {
                                          const Node* n = cfg.tree.find(t.node);
                                          return !n || n->kind != Kind::Variable;
                                      }),
                       cfg.timeline.end());
    std::stable_sort(cfg.timeline.begin(), cfg.timeline.end(),
                     [](const TimelineStep& a, const TimelineStep& b) { return a.at_ms < b.at_ms; });
}

std::string base_name(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Every line of a checked recording, in order.
bool build(const Recording& checked, const std::string& name, RecordedMachine& out) {
    out = RecordedMachine{};
    Builder b(out);
    trace::TraceLine l;
    std::string why;
    const std::string_view all = checked.whole_text();
    for (size_t at = 0; at < all.size();) {
        size_t end = all.find('\n', at);
        trace::parse(all.substr(at, end - at), l, why);  // it parsed when checked
        b.take(l, l.pid ? std::to_string(*l.pid) + " " + l.conn : l.conn);
        at = end + 1;
    }
    b.finish(base_name(name));
    return true;
}

}  // namespace

bool machine_from_recording_text(std::string text, const std::string& name, RecordedMachine& out, std::string& error) {
    Recording checked;
    return checked.load_text(std::move(text), name, error) && build(checked, name, out);
}

bool machine_from_recording(const std::string& path, RecordedMachine& out, std::string& error) {
    Recording checked;
    return checked.load(path, error) && build(checked, path, out);
}

}  // namespace tessaro::sim::replay
