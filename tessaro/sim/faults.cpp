#include "faults.h"

#include <algorithm>

namespace tessaro::sim {

FaultTable::FaultTable(std::vector<Fault> faults) {
    for (auto& f : faults) entries_.push_back(Entry{std::move(f), 0});
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
    if (n < first) return false;
    uint64_t times = f.times ? f.times : (f.call ? 1 : 0);
    return times == 0 || n - first < times;
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
        h.index = static_cast<size_t>(&e - entries_.data());
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
    return hit;
}

}  // namespace tessaro::sim
