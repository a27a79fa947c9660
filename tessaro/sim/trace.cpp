#include "trace.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace tessaro::sim {

namespace {

int64_t now_us() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
}

trace::FaultKind fault_kind(FaultHit::Kind k) {
    switch (k) {
        case FaultHit::Kind::Result: return trace::FaultKind::Result;
        case FaultHit::Kind::Silent: return trace::FaultKind::Silent;
        case FaultHit::Kind::Close: return trace::FaultKind::Close;
        case FaultHit::Kind::Delay: return trace::FaultKind::Delay;
    }
    return trace::FaultKind::Result;
}

// The line of a request, in a slot whose buffers are reused: only the texts
// are copied, and the full names of the nodes the request names or
// addresses, "node" and then "newparent" for a move.
void fill(trace::TraceLine& l, const Request& r, const Outcome& o) {
    l.plc_event.reset();
    l.op = r.op;
    l.decoded = r.decoded;
    l.node.state = l.newparent.state = trace::NodeRef::State::Absent;
    l.result = o.result();
    // What the reply held besides its result, copied into the slot's own
    // buffers.
    if (o.kind == Outcome::Kind::Reply) {
        const std::vector<proto::Field>& f = o.reply.fields;
        l.reply.resize(f.size());
        for (size_t i = 0; i < f.size(); ++i) {
            l.reply[i].num = f[i].num;
            l.reply[i].str.assign(f[i].str);
        }
        l.record = o.reply.record;
    } else {
        l.reply.clear();
        l.record = proto::Record{};
    }
    l.divergence = o.divergence;
    l.fault.reset();
    if (o.fault) l.fault = trace::FaultRef{o.fault->index, fault_kind(o.fault->kind)};
    if (!r.decoded) {
        l.args.clear();
        return;
    }
    l.args.resize(r.args.size());
    trace::NodeRef* nodes[] = {&l.node, &l.newparent};
    size_t k = 0;
    for (size_t i = 0; i < r.args.size(); ++i) {
        trace::Arg& a = l.args[i];
        a.text = r.layout->request[i] == 's';
        if (a.text) a.str = r.args[i].str;
        else a.num = r.args[i].num, a.str.clear();
        if (!proto::is_node_role(r.layout->roles[i]) || k == 2) continue;
        trace::NodeRef& n = *nodes[k++];
        if (i >= r.nodes.size() || r.nodes[i].empty()) {
            n.state = trace::NodeRef::State::Unknown;
            n.name.clear();
        } else {
            n.state = trace::NodeRef::State::Named;
            n.name = r.nodes[i];
        }
    }
}

}  // namespace

void Trace::request(const std::string& conn, const Request& r, const Outcome& o) {
    int64_t now = now_us();
    {
        std::lock_guard<std::mutex> lk(mu_);
        Entry& e = next_slot();
        e.line.time_us = now;
        e.line.conn = conn;
        fill(e.line, r, o);
        kept(e);
    }
    cv_.notify_all();
}

void Trace::event(const std::string& conn, uint32_t plc_word) {
    int64_t now = now_us();
    {
        std::lock_guard<std::mutex> lk(mu_);
        Entry& e = next_slot();
        e.line.time_us = now;
        e.line.conn = conn;
        e.line.plc_event = plc_word;
        e.line.args.clear();
        e.line.reply.clear();
        e.line.record = proto::Record{};
        e.line.node.name.clear();
        e.line.newparent.name.clear();
        kept(e);
    }
    cv_.notify_all();
}

size_t Trace::Entry::measure() const {
    size_t n = sizeof(Entry) + line.conn.size() + line.node.name.size() + line.newparent.name.size() +
               line.divergence.size();
    for (const trace::Arg& a : line.args) n += sizeof(trace::Arg) + a.str.size();
    for (const proto::Field& f : line.reply) n += sizeof(proto::Field) + f.str.size();
    if (line.record.index() != 0)
        if (const proto::Operation* op = proto::operation(line.op)) {
            proto::Reply r;
            r.record = line.record;
            n += proto::reply_body_size(*op, r);
        }
    return n;
}

std::vector<Trace::Numbered> Trace::lines_after(uint64_t after, size_t max, std::chrono::milliseconds wait,
                                                bool newest, size_t max_bytes) {
    std::unique_lock<std::mutex> lk(mu_);
    if (wait.count() > 0) cv_.wait_for(lk, wait, [&] { return last_ > after || interrupted_; });
    if (last_ <= after || first_ > last_ || max == 0) return {};
    // Numbers are consecutive: the first line wanted is found by arithmetic.
    uint64_t first = std::max(after + 1, first_);
    if (newest && last_ - first + 1 > max) first = last_ - max + 1;
    uint64_t end = std::min<uint64_t>(last_, first + max - 1);
    std::vector<std::pair<uint64_t, Entry>> taken;
    taken.reserve(static_cast<size_t>(end - first + 1));
    // Copied a piece at a time, so that the requests being traced wait for
    // a piece at most; lines given up meanwhile are left out, as their
    // numbers show.
    size_t bytes = 0;
    for (uint64_t n = first; n <= end;) {
        for (uint64_t stop = std::min(end, n + kCopiedAtOnce - 1); n <= stop && (taken.empty() || bytes < max_bytes);
             ++n) {
            const Entry& e = ring_[(n - 1) % kKeptLines];
            bytes += e.bytes;
            taken.emplace_back(n, e);
        }
        if (n > end || bytes >= max_bytes) break;
        lk.unlock();
        if (between_pieces) between_pieces();
        std::this_thread::sleep_for(std::chrono::microseconds(50));  // a woken request takes the lock first
        lk.lock();
        n = std::max(n, first_);
    }
    lk.unlock();  // formatted without holding back the requests being traced
    std::vector<Numbered> out;
    out.reserve(taken.size());
    for (auto& t : taken) {
        t.second.line.seq = t.first;
        out.emplace_back(t.first, trace::format(t.second.line));
    }
    return out;
}

uint64_t Trace::last_number() {
    std::lock_guard<std::mutex> lk(mu_);
    return last_;
}

void Trace::interrupt() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        interrupted_ = true;
    }
    cv_.notify_all();
}

Trace::Entry& Trace::next_slot() {
    if (last_ - first_ + 1 >= kKeptLines) drop_oldest();
    ++last_;
    if (ring_.size() < kKeptLines) ring_.emplace_back();  // the ring fills once, then slots are reused
    return ring_[(last_ - 1) % kKeptLines];
}

void Trace::kept(Entry& e) {
    e.bytes = e.measure();
    kept_bytes_ += e.bytes;
    while (kept_bytes_ > kKeptBytes && first_ < last_) drop_oldest();
    // One lock for both, so that the file and the numbers keep one order.
    if (sink_.writing()) sink_.write(trace::format(e.line).append(1, '\n'));
}

void Trace::drop_oldest() {
    Entry& e = ring_[(first_ - 1) % kKeptLines];
    size_t bytes = e.bytes;
    kept_bytes_ -= bytes;
    // A large line's buffers go now; a small one's are kept for reuse.
    if (bytes > 4096) e = Entry{};
    ++first_;
}

}  // namespace tessaro::sim
