// The trace of `tessaro-sim --trace FILE`: one JSON object per line for
// every request and every pushed event, written (and so readable by another
// process) as it happens. Lines from different connections never mix.
// The latest lines are also kept in memory, numbered from 1, for the HTTP
// API to read and to follow.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "connection.h"
#include "request.h"
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
    // JSON object): the first `max` of them, or with `newest` the last `max`.
    // Waits up to `wait` for one when there is none yet, or until
    // interrupt() is called.
    using Numbered = std::pair<uint64_t, std::string>;
    std::vector<Numbered> lines_after(uint64_t after, size_t max, std::chrono::milliseconds wait = {},
                                      bool newest = false);
    uint64_t last_number();
    // Wakes every waiting lines_after, for good.
    void interrupt();

    // How many of the latest lines are kept in memory.
    static constexpr size_t kKeptLines = 10000;

private:
    // Keeps the line (one JSON object) and writes it to the sink.
    void write_line(std::string line);

    TraceSink sink_;
    std::mutex mu_;
    std::deque<Numbered> kept_;
    uint64_t last_ = 0;  // number of the latest line
    bool interrupted_ = false;
    std::condition_variable cv_;
};

}  // namespace tessaro::sim
