#include "faults.h"

#include <algorithm>

namespace tessaro::sim {

FaultTable::FaultTable(std::vector<Fault> faults) {
    for (auto& f : faults) add(std::move(f));
}

size_t FaultTable::add(Fault f) {
    entries_.push_back(Entry{std::move(f), next_index_, 0});
    return next_index_++;
}

bool FaultTable::remove(size_t index) {
    auto it = std::find_if(entries_.begin(), entries_.end(), [index](const Entry& e) { return e.index == index; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

std::optional<uint64_t> FaultTable::last_call(const Fault& f) {
    uint64_t times = f.times ? f.times : (f.call ? 1 : 0);
    if (times == 0) return std::nullopt;
    return (f.call ? f.call : 1) + times - 1;
}

std::vector<FaultStatus> FaultTable::status() const {
    std::vector<FaultStatus> out;
    for (const auto& e : entries_) {
        FaultStatus s{e.fault, e.index, e.seen, std::nullopt};
        if (auto last = last_call(e.fault)) {
            uint64_t first = e.fault.call ? e.fault.call : 1;
            s.left = *last + 1 - std::max(first, e.seen + 1);
        }
        out.push_back(s);
    }
    return out;
}

std::vector<Fault> FaultTable::faults() const {
    std::vector<Fault> out;
    for (const auto& e : entries_) out.push_back(e.fault);
    return out;
}

bool FaultTable::watches(proto::Op op) const {
    return std::any_of(entries_.begin(), entries_.end(), [op](const Entry& e) { return e.fault.op == op; });
}

bool FaultTable::matches(const Fault& f, const FaultQuery& q) {
    if (f.op != q.op) return false;
    if (f.node && std::find(q.nodes.begin(), q.nodes.end(), *f.node) == q.nodes.end()) return false;
    if (f.handle && std::find(q.handles.begin(), q.handles.end(), *f.handle) == q.handles.end()) return false;
    return true;
}

bool FaultTable::in_window(const Fault& f, uint64_t n) {
    uint64_t first = f.call ? f.call : 1;
    auto last = last_call(f);
    return n >= first && (!last || n <= *last);
}

std::optional<FaultHit> FaultTable::check(const FaultQuery& q) {
    std::optional<FaultHit> hit;
    for (auto& e : entries_) {
        if (!matches(e.fault, q)) continue;
        ++e.seen;
        if (hit || !in_window(e.fault, e.seen)) continue;
        const Fault& f = e.fault;
        FaultHit h;
        h.delay_ms = f.delay_ms;
        h.index = e.index;
        if (f.result) {
            h.kind = FaultHit::Kind::Result;
            h.result = *f.result;
        } else if (f.action == Fault::Action::Silent) {
            h.kind = FaultHit::Kind::Silent;
        } else if (f.action == Fault::Action::Close) {
            h.kind = FaultHit::Kind::Close;
        } else {
            h.kind = FaultHit::Kind::Delay;
        }
        hit = h;
    }
    // A fault whose last call has come is spent.
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [](const Entry& e) {
                                      auto last = last_call(e.fault);
                                      return last && e.seen >= *last;
                                  }),
                   entries_.end());
    return hit;
}

}  // namespace tessaro::sim
