#include "replay.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "text/json_chars.h"
#include "xal_tessaro.h"

namespace tessaro::sim::replay {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

namespace {

// Divergences kept for the report (all are counted), unused calls listed,
// and how far from where it was expected a divergence's closest calls are
// looked for.
constexpr size_t kMaxKept = 1000;
constexpr size_t kMaxListed = 1000;
constexpr size_t kCloseRange = 4096;
constexpr size_t kClosest = 3;

json text_json(const std::string& s) {
    if (text::is_utf8(s.data(), s.size())) return s;
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : s) hex += kHex[c >> 4], hex += kHex[c & 15];
    return json{{"hex", hex}};
}

json args_json(const std::vector<trace::Arg>& args) {
    json a = json::array();
    for (const trace::Arg& x : args) a.push_back(x.text ? text_json(x.str) : json(x.num));
    return a;
}

// A request's fields as a recorded line holds them.
std::vector<trace::Arg> as_args(const Request& r) {
    std::vector<trace::Arg> out(r.args.size());
    for (size_t i = 0; i < r.args.size(); ++i) {
        out[i].text = r.layout->request[i] == 's';
        if (out[i].text) out[i].str = r.args[i].str;
        else out[i].num = r.args[i].num;
    }
    return out;
}

// A value that zuna-record --redact wrote in place of the real one:
// "REDACTED-" and 16 hex digits.
bool is_token(const std::string& s) {
    return s.size() == 25 && s.compare(0, 9, "REDACTED-") == 0 &&
           std::all_of(s.begin() + 9, s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

}  // namespace

// The request's fields are the recorded call's. A redaction token stands
// for whichever text the request has there, as long as one token stands for
// one text all through the replay (the same value was given the same
// token); the tokens a match binds are added to `bind`.
bool Replay::same_args(const std::vector<trace::Arg>& recorded, const std::vector<trace::Arg>& asked, Bindings& bind) {
    if (recorded.size() != asked.size()) return false;
    for (size_t i = 0; i < recorded.size(); ++i) {
        const trace::Arg &r = recorded[i], &a = asked[i];
        if (r.text != a.text) return false;
        if (!r.text ? r.num == a.num : r.str == a.str) continue;
        if (!is_token(r.str)) return false;
        auto token = tokens_.find(r.str);
        auto value = values_.find(a.str);
        if (token != tokens_.end() ? token->second != a.str : value != values_.end() && value->second != r.str)
            return false;
        bind.emplace_back(r.str, a.str);
    }
    return true;
}

void Replay::bind(const Bindings& b) {
    for (const auto& [token, value] : b) {
        tokens_.emplace(token, value);
        values_.emplace(value, token);
    }
}

namespace {

std::string op_name(uint16_t op) {
    const proto::Operation* o = proto::operation(op);
    return o ? o->name : std::to_string(op);
}

// "SetNodeValueString line.Label [5,"batch-42"]"
std::string call_text(uint16_t op, const std::string& node, const std::vector<trace::Arg>& args) {
    std::string s = op_name(op);
    if (!node.empty()) s += " " + (text::is_utf8(node.data(), node.size()) ? node : text_json(node).dump());
    return s + " " + args_json(args).dump(-1, ' ', true, json::error_handler_t::replace);
}

std::string node_of(const trace::TraceLine& l) {
    return l.node.state == trace::NodeRef::State::Named ? l.node.name : "";
}

}  // namespace

struct Replay::Live {
    Session* session = nullptr;
    PlcSink* sink = nullptr;
    std::string conn;
    int64_t recorded = -1;  // the recorded session it is matched to
    // The moment of the recording that the last action stands for, and when
    // it was replayed.
    int64_t anchor_us = 0;
    Clock::time_point anchor;
    bool ended = false;
};

Replay::Replay(Recording recording, Machine& machine, bool strict, LogFn log, ClockFn clock)
    : rec_(std::move(recording)), machine_(machine), strict_(strict), log_(std::move(log)),
      clock_(clock ? std::move(clock) : ClockFn([] { return Clock::now(); })), progress_(rec_.sessions().size()) {}

Replay::~Replay() { stop(); }

void Replay::start() { events_ = std::thread([this] { run_events(); }); }

void Replay::stop() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (events_.joinable()) events_.join();
}

void Replay::answer(Session& s, PlcSink* sink, const std::string& conn, Request& r, Outcome& o) {
    std::lock_guard<std::mutex> lk(mu_);
    std::shared_ptr<Live>& slot = live_[&s];
    if (!slot) {
        slot = std::make_shared<Live>();
        slot->session = &s;
        slot->sink = sink;
        slot->conn = conn;
    }
    Live& l = *slot;
    uint64_t key = call_key(r.op, r.layout->request, r.args);
    if (l.recorded < 0) claim(l, key);
    if (l.recorded < 0) return diverge(l, r, o, "no recorded connection is left to match it");
    if (is_action(*r.layout) ? answer_action(l, r, o) : answer_read(l, r, key, o)) {
        ++matched_;
        if (is_action(*r.layout)) {
            const RecordedSession& rs = rec_.sessions()[l.recorded];
            uint32_t at = rs.actions[progress_[l.recorded].next_action - 1];
            schedule_events(slot, at + 1, rs.calls[at].time_us);
        }
    }
}

void Replay::claim(Live& l, uint64_t key) {
    const std::vector<RecordedSession>& all = rec_.sessions();
    int64_t pick = -1;
    for (size_t i = 0; i < all.size(); ++i) {
        if (progress_[i].claimed) continue;
        if (pick < 0) pick = static_cast<int64_t>(i);
        auto first = std::find_if(all[i].calls.begin(), all[i].calls.end(),
                                  [](const RecordedCall& c) { return c.kind != RecordedCall::Kind::Event; });
        if (first->key == key) {
            pick = static_cast<int64_t>(i);
            break;
        }
    }
    if (pick < 0) return;
    progress_[pick].claimed = true;
    l.recorded = pick;
    const RecordedSession& rs = all[pick];
    auto first = std::find_if(rs.calls.begin(), rs.calls.end(),
                              [](const RecordedCall& c) { return c.kind != RecordedCall::Kind::Event; });
    l.anchor_us = first->begin_us;
    l.anchor = clock_();
    schedule_events(live_[l.session], 0, l.anchor_us);
}

bool Replay::answer_action(Live& l, Request& r, Outcome& o) {
    const RecordedSession& rs = rec_.sessions()[l.recorded];
    Progress& p = progress_[l.recorded];
    if (p.next_action == rs.actions.size()) {
        diverge(l, r, o, "the recorded connection made no more changes");
        return false;
    }
    const RecordedCall& c = rs.calls[rs.actions[p.next_action]];
    // Compared field by field, not by key: a redacted value matches what
    // its token stands for, whose key differs.
    Bindings b;
    trace::TraceLine line;
    if (c.op == r.op) line = rec_.line(c);
    if (c.op != r.op || !same_args(line.args, as_args(r), b)) {
        diverge(l, r, o, "");
        return false;
    }
    bind(b);
    answer_as(line, r, o);
    ++p.next_action;
    l.anchor_us = c.time_us;
    l.anchor = clock_();
    if (o.reply.result == E_OK && r.layout->op == proto::Op::RegisterOnPLCChanged) machine_.register_plc(*l.session, l.sink);
    if (o.reply.result == E_OK && r.layout->op == proto::Op::UnregisterOnPLCChanged) machine_.unregister_plc(*l.session);
    return true;
}

bool Replay::answer_read(Live& l, Request& r, uint64_t key, Outcome& o) {
    const RecordedSession& rs = rec_.sessions()[l.recorded];
    Progress& p = progress_[l.recorded];
    p.asked.insert(key);
    uint32_t lo = p.next_action ? rs.actions[p.next_action - 1] + 1 : 0;
    uint32_t hi = p.next_action < rs.actions.size() ? rs.actions[p.next_action] : static_cast<uint32_t>(rs.calls.size());
    auto first = std::lower_bound(rs.reads.begin(), rs.reads.end(), std::make_pair(key, lo));
    auto last = std::lower_bound(first, rs.reads.end(), std::make_pair(key, hi));
    const RecordedCall* pick = nullptr;
    if (first != last) {
        // The moment of the recording this request stands for.
        int64_t at = l.anchor_us + std::chrono::duration_cast<std::chrono::microseconds>(clock_() - l.anchor).count();
        auto it = std::upper_bound(first, last, at, [&](int64_t t, const std::pair<uint64_t, uint32_t>& e) {
            return t < rs.calls[e.second].begin_us;
        });
        pick = &rs.calls[(it == first ? first : it - 1)->second];
    } else if (first != rs.reads.begin() && (first - 1)->first == key) {
        pick = &rs.calls[(first - 1)->second];  // as it was last read before the last action
    }
    trace::TraceLine line;
    Bindings b;
    if (pick) line = rec_.line(*pick);
    if (!pick || line.op != r.op || !same_args(line.args, as_args(r), b)) {
        diverge(l, r, o, pick ? "" : "not read before this point of the recording");
        return false;
    }
    answer_as(line, r, o);
    return true;
}

void Replay::answer_as(const trace::TraceLine& line, Request& r, Outcome& o) {
    // The nodes as the recording named them, for the trace.
    r.nodes.assign(r.args.size(), std::string());
    const trace::NodeRef* named[] = {&line.node, &line.newparent};
    size_t k = 0;
    for (size_t i = 0; i < r.args.size() && k < 2; ++i)
        if (proto::is_node_role(r.layout->roles[i])) r.nodes[i] = named[k++]->name;
    if (!line.result) {  // never answered: closed or left waiting
        o.kind = line.fault && line.fault->kind == trace::FaultKind::Close ? Outcome::Kind::Close : Outcome::Kind::Silent;
        return;
    }
    o.refuse(r, *line.result);
    if (!line.reply.empty()) o.reply.fields = line.reply;
    if (*line.result == E_OK) o.reply.record = line.record;
    // A redacted value that the replay has seen written reads back as written.
    for (size_t i = 0; i < o.reply.fields.size(); ++i)
        if (r.layout->reply[i] == 's' && is_token(o.reply.fields[i].str)) {
            auto it = tokens_.find(o.reply.fields[i].str);
            if (it != tokens_.end()) o.reply.fields[i].str = it->second;
        }
    if (auto* info = std::get_if<proto::NodeInfo>(&o.reply.record); info && is_token(info->value)) {
        auto it = tokens_.find(info->value);
        if (it != tokens_.end()) info->value = it->second;
    }
}

void Replay::schedule_events(const std::shared_ptr<Live>& l, uint32_t after, int64_t since_us) {
    const RecordedSession& rs = rec_.sessions()[l->recorded];
    Clock::time_point now = Clock::now();
    bool any = false;
    for (uint32_t i = after; i < rs.calls.size() && rs.calls[i].kind != RecordedCall::Kind::Action; ++i) {
        const RecordedCall& c = rs.calls[i];
        if (c.kind != RecordedCall::Kind::Event) continue;
        due_.push(Due{now + std::chrono::microseconds(std::max<int64_t>(0, c.time_us - since_us)), due_order_++, l,
                      c.plc_word});
        any = true;
    }
    if (any) cv_.notify_all();
}

void Replay::diverge(Live& l, Request& r, Outcome& o, const std::string& why) {
    ++divergences_;
    std::vector<trace::Arg> args = as_args(r);
    json closest = json::array();
    std::string node, text;
    if (l.recorded >= 0) {
        // The recorded calls of the same operation nearest to where the
        // connection stands, the one it was expected to make first.
        const RecordedSession& rs = rec_.sessions()[l.recorded];
        const Progress& p = progress_[l.recorded];
        size_t at = p.next_action < rs.actions.size() ? rs.actions[p.next_action] : rs.calls.size();
        std::vector<size_t> near;
        for (size_t d = 0; d < kCloseRange && near.size() < kClosest && (d <= at || at + d < rs.calls.size()); ++d) {
            if (at + d < rs.calls.size() && rs.calls[at + d].op == r.op && rs.calls[at + d].kind != RecordedCall::Kind::Event)
                near.push_back(at + d);
            if (d && d <= at && near.size() < kClosest && rs.calls[at - d].op == r.op &&
                rs.calls[at - d].kind != RecordedCall::Kind::Event)
                near.push_back(at - d);
        }
        if (near.empty() && at < rs.calls.size()) near.push_back(at);
        for (size_t i : near) {
            const RecordedCall& c = rs.calls[i];
            trace::TraceLine line = rec_.line(c);
            json differs = json::array();
            std::string diff;
            if (line.op != r.op) {
                differs.push_back({{"field", "op"}, {"value", op_name(r.op)}, {"recorded", op_name(line.op)}});
                diff = "op " + op_name(r.op) + ", recorded " + op_name(line.op);
            } else {
                if (node.empty()) node = node_of(line);
                for (size_t k = 0; k < std::max(args.size(), line.args.size()); ++k) {
                    json mine = k < args.size() ? args_json({args[k]})[0] : json();
                    json theirs = k < line.args.size() ? args_json({line.args[k]})[0] : json();
                    if (mine == theirs) continue;
                    std::string field = "args[" + std::to_string(k) + "]";
                    differs.push_back({{"field", field}, {"value", mine}, {"recorded", theirs}});
                    if (!diff.empty()) diff += ", ";
                    diff += field + " " + mine.dump(-1, ' ', true, json::error_handler_t::replace) + ", recorded " +
                            theirs.dump(-1, ' ', true, json::error_handler_t::replace);
                }
            }
            closest.push_back({{"line", c.line},
                               {"call", json::parse(rec_.text(c), nullptr, false)},
                               {"differs", differs}});
            if (text.empty())
                text = "closest recorded: line " + std::to_string(c.line) + ": " +
                       call_text(line.op, node_of(line), line.args) + (diff.empty() ? "" : " (" + diff + ")");
        }
    }
    std::string what = call_text(r.op, node, args) + " matches no recorded call";
    if (!why.empty()) what += " (" + why + ")";
    if (!text.empty()) what += "; " + text;
    log_("replay: divergence on " + l.conn + (l.recorded >= 0 ? " (recorded " + rec_.sessions()[l.recorded].name + ")" : "") +
         ": " + what);
    if (diverged_.size() < kMaxKept)
        diverged_.push_back({{"conn", l.conn},
                             {"recorded", l.recorded >= 0 ? json(rec_.sessions()[l.recorded].name) : json()},
                             {"request", {{"op", op_name(r.op)}, {"node", node.empty() ? json() : text_json(node)}, {"args", args_json(args)}}},
                             {"why", what},
                             {"closest", closest}});
    o.refuse(r, E_FAILURE);
    o.divergence = what;
}

void Replay::end(Session& s) {
    std::lock_guard<std::mutex> lk(mu_);
    auto it = live_.find(&s);
    if (it == live_.end()) return;
    it->second->ended = true;
    live_.erase(it);
}

uint64_t Replay::unused_calls(std::vector<const RecordedCall*>* list, size_t max) {
    uint64_t n = 0;
    const std::vector<RecordedSession>& all = rec_.sessions();
    for (size_t i = 0; i < all.size(); ++i) {
        const Progress& p = progress_[i];
        size_t first_unmatched = p.claimed ? p.next_action : 0;
        for (size_t a = first_unmatched; a < all[i].actions.size(); ++a, ++n)
            if (list && list->size() < max) list->push_back(&all[i].calls[all[i].actions[a]]);
        for (const auto& read : all[i].reads)
            if (!p.asked.count(read.first) && ++n && list && list->size() < max) list->push_back(&all[i].calls[read.second]);
    }
    if (list)
        std::sort(list->begin(), list->end(), [](const RecordedCall* a, const RecordedCall* b) { return a->line < b->line; });
    return n;
}

Replay::Counts Replay::counts() {
    std::lock_guard<std::mutex> lk(mu_);
    return Counts{matched_, divergences_, unused_calls(nullptr, 0)};
}

std::string Replay::summary() {
    Counts c = counts();
    auto plural = [](uint64_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); };
    return "replay: " + plural(c.matched, "call", "calls") + " matched, " +
           plural(c.divergences, "divergence", "divergences") + ", " + std::to_string(c.unused) + " unused";
}

bool Replay::failed() {
    Counts c = counts();
    return c.divergences > 0 || (strict_ && c.unused > 0);
}

std::string Replay::report() {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<const RecordedCall*> unused;
    uint64_t n = unused_calls(&unused, kMaxListed);
    json calls = json::array();
    for (const RecordedCall* c : unused) calls.push_back({{"line", c->line}, {"op", op_name(c->op)}});
    json out = {{"matched", matched_},
                {"divergences", divergences_},
                {"unused", n},
                {"strict", strict_},
                {"failed", divergences_ > 0 || (strict_ && n > 0)},
                {"diverged", diverged_},
                {"unused_calls", calls}};
    return out.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

void Replay::run_events() {
    std::unique_lock<std::mutex> lk(mu_);
    while (!stop_) {
        if (due_.empty()) cv_.wait(lk);
        else cv_.wait_until(lk, due_.top().when);
        while (!stop_ && !due_.empty() && due_.top().when <= Clock::now()) {
            Due d = due_.top();
            due_.pop();
            // The machine pushes it only while the connection is registered.
            if (!d.live->ended) machine_.push_plc(*d.live->session, d.word);
        }
    }
}

}  // namespace tessaro::sim::replay
