#include "trace.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <thread>

#include "text/json_text.h"
#include "text/json_writer.h"

namespace tessaro::sim {

namespace {

int64_t now_us() {
    auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(now).count();
}

// `us` since the epoch as "2026-12-07T21:03:04.123456Z", written into `out`.
constexpr size_t kTimeSize = 88;  // room for whatever the fields hold
std::string_view utc_text(int64_t us, char (&out)[kTimeSize]) {
    time_t secs = static_cast<time_t>(us / 1000000);
    // Date and time of day change once a second: each thread formats them
    // then, and only the microseconds for every line.
    thread_local time_t formatted = -1;
    thread_local char prefix[kTimeSize - 8];
    if (secs != formatted) {
        tm t{};
        gmtime_r(&secs, &t);
        std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        formatted = secs;
    }
    size_t n = std::strlen(prefix);
    std::memcpy(out, prefix, n);
    char* micros = out + n;
    std::memcpy(micros, "000000Z", 7);
    for (int i = 5, v = static_cast<int>(us % 1000000); i >= 0 && v > 0; --i, v /= 10)
        micros[i] = static_cast<char>('0' + v % 10);
    return std::string_view(out, n + 7);
}

// A text as a JSON string, or as {"hex": ...} when it is no UTF-8.
void text_or_hex(text::JsonWriter& w, const std::string& s) {
    if (text::is_utf8(s)) w.str(s);
    else w.object().key("hex").str(text::hex_text(reinterpret_cast<const uint8_t*>(s.data()), s.size())).end();
}

const char* fault_kind(FaultHit::Kind k) {
    switch (k) {
        case FaultHit::Kind::Result: return "result";
        case FaultHit::Kind::Silent: return "silent";
        case FaultHit::Kind::Close: return "close";
        case FaultHit::Kind::Delay: return "delay";
    }
    return "?";
}

}  // namespace

void Trace::request(const std::string& conn, const Request& r, const Outcome& o) {
    int64_t now = now_us();
    {
        std::lock_guard<std::mutex> lk(mu_);
        Entry& e = next_slot();
        e.time_us = now;
        e.conn = conn;
        e.plc_event.reset();
        e.request = r;
        e.result = o.result;
        e.fault = o.fault;
        kept(e);
    }
    cv_.notify_all();
}

void Trace::event(const std::string& conn, uint32_t plc_word) {
    int64_t now = now_us();
    {
        std::lock_guard<std::mutex> lk(mu_);
        Entry& e = next_slot();
        e.time_us = now;
        e.conn = conn;
        e.plc_event = plc_word;
        e.request.args.clear();  // kept, with their buffers, for the next request here
        e.request.nodes.clear();
        kept(e);
    }
    cv_.notify_all();
}

size_t Trace::Entry::bytes() const {
    size_t n = sizeof(Entry) + conn.size();
    for (const Arg& a : request.args) n += sizeof(Arg) + a.str.size();
    for (const std::string& s : request.nodes) n += sizeof(std::string) + s.size();
    return n;
}

std::string Trace::format(const Entry& e) {
    text::JsonWriter w;
    char time[kTimeSize];
    w.reserve(256).object().key("time").str(utc_text(e.time_us, time)).key("conn").str(e.conn);
    if (e.plc_event) return w.key("event").str("PlcChanged").key("state").num(*e.plc_event).end().take();
    const Request& r = e.request;
    w.key("op");
    if (r.layout) w.str(proto::op_name(r.layout->op));
    else w.num(r.op);
    w.key("args");
    if (r.decoded) {
        w.array();
        for (size_t i = 0; i < r.args.size(); ++i) {
            if (r.layout->request[i] == 's') text_or_hex(w, r.args[i].str);
            else w.num(r.args[i].num);
        }
        w.end();
        // The nodes named or addressed, by full name, so that a reader need
        // not know the handles: "node", and "newparent" for a move.
        const char* keys[] = {"node", "newparent"};
        size_t k = 0;
        for (size_t i = 0; i < r.args.size() && k < 2; ++i) {
            char role = r.layout->roles[i];
            if (role != 'n' && role != 'N') continue;
            w.key(keys[k++]);
            if (i >= r.nodes.size() || r.nodes[i].empty()) w.null();
            else text_or_hex(w, r.nodes[i]);
        }
    } else {
        w.null();
    }
    w.key("result");
    if (e.result) w.num(*e.result);
    else w.null();
    if (e.fault) {
        w.key("fault").object().key("index").num(static_cast<long long>(e.fault->index));
        w.key("kind").str(fault_kind(e.fault->kind)).end();
    }
    return w.end().take();
}

std::vector<Trace::Numbered> Trace::lines_after(uint64_t after, size_t max, std::chrono::milliseconds wait,
                                                bool newest) {
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
    for (uint64_t n = first; n <= end;) {
        for (uint64_t stop = std::min(end, n + kCopiedAtOnce - 1); n <= stop; ++n)
            taken.emplace_back(n, ring_[(n - 1) % kKeptLines]);
        if (n > end) break;
        lk.unlock();
        if (between_pieces) between_pieces();
        std::this_thread::sleep_for(std::chrono::microseconds(50));  // a woken request takes the lock first
        lk.lock();
        n = std::max(n, first_);
    }
    lk.unlock();  // formatted without holding back the requests being traced
    std::vector<Numbered> out;
    out.reserve(taken.size());
    for (const auto& t : taken) out.emplace_back(t.first, format(t.second));
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
    if (ring_.size() < kKeptLines && ring_.size() < last_) ring_.emplace_back();
    return ring_[(last_ - 1) % kKeptLines];
}

void Trace::kept(Entry& e) {
    kept_bytes_ += e.bytes();
    while (kept_bytes_ > kKeptBytes && first_ < last_) drop_oldest();
    // One lock for both, so that the file and the numbers keep one order.
    if (sink_.writing()) sink_.write(format(e).append(1, '\n'));
}

void Trace::drop_oldest() {
    Entry& e = ring_[(first_ - 1) % kKeptLines];
    size_t bytes = e.bytes();
    kept_bytes_ -= bytes;
    // A large line's buffers go now; a small one's are kept for reuse.
    if (bytes > 4096) e = Entry{};
    ++first_;
}

}  // namespace tessaro::sim
