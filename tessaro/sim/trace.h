// The trace of `tessaro-sim --trace FILE`: one JSON object per line for
// every request and every pushed event, written (and so readable by another
// process) as it happens. Lines from different connections never mix.
// The latest lines are also kept in memory, numbered from 1, for the HTTP
// API to read and to follow. They are kept as what they say and formatted
// when read: formatting is most of a line's cost, and most kept lines are
// never read.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "log.h"
#include "request.h"
#include "trace/trace_line.h"
#include "trace_sink.h"

namespace tessaro::sim {

class Trace {
public:
    explicit Trace(LogFn log) : sink_(std::move(log)) {}
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Creates or empties the file (see TraceSink::open). Without a file the
    // lines are only kept in memory.
    bool open(const std::string& path, std::string& error) { return sink_.open(path, error); }
    // No more waiting for a stalled reader: the simulator is stopping.
    void stop() { sink_.stop(); }

    // A request and its outcome; the nodes it addresses are named by
    // `r.nodes`, as they were when it was admitted.
    void request(const std::string& conn, const Request& r, const Outcome& o);
    void event(const std::string& conn, uint32_t plc_word);

    // The kept lines numbered above `after`, oldest first, each as (number,
    // JSON object with its number first, as "seq"): the first `max` of them, or with `newest` the last `max`,
    // and of those only as many as hold about `max_bytes` of text (the first
    // always), so that a reader takes a bounded part at a time.
    // Waits up to `wait` for one when there is none yet, or until
    // interrupt() is called.
    using Numbered = std::pair<uint64_t, std::string>;
    std::vector<Numbered> lines_after(uint64_t after, size_t max, std::chrono::milliseconds wait = {},
                                      bool newest = false, size_t max_bytes = kKeptBytes);
    uint64_t last_number();
    // Tests: called between two pieces of lines that lines_after copies,
    // without the lock.
    std::function<void()> between_pieces;
    // Wakes every waiting lines_after, for good.
    void interrupt();

    // At most this many of the latest lines are kept in memory, and only as
    // many as hold at most kKeptBytes of text between them (the newest line
    // always): a run of large writes keeps fewer lines, not all the memory.
    static constexpr size_t kKeptLines = 10000;
    static constexpr size_t kKeptBytes = 64u << 20;

private:
    // What one line says, formatted by trace::format when it is written or
    // read.
    struct Entry {
        trace::TraceLine line;
        size_t bytes = 0;  // the memory its line holds, as measure() gave it when kept
        size_t measure() const;
    };
    // The slot of a new line, numbered last_ + 1, the oldest lines given up
    // for it if need be; the caller fills it and calls kept().
    Entry& next_slot();
    // Counts the filled slot in and writes its line to the sink.
    void kept(Entry& e);
    void drop_oldest();

    // Lines copied per hold of mu_ by lines_after.
    static constexpr uint64_t kCopiedAtOnce = 256;

    TraceSink sink_;
    std::mutex mu_;
    // The kept lines first_..last_ (none when first_ > last_), line n in
    // ring_[(n - 1) % kKeptLines]. Slots are reused, buffers and all, so a
    // line costs no allocation once the ring has filled.
    std::vector<Entry> ring_;
    uint64_t first_ = 1;
    uint64_t last_ = 0;  // number of the latest line
    size_t kept_bytes_ = 0;
    bool interrupted_ = false;
    std::condition_variable cv_;
};

}  // namespace tessaro::sim
