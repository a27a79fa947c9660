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
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "faults.h"
#include "ops.h"

namespace tessaro::sim {

// One request as the trace shows it.
struct TracedRequest {
    uint16_t op = 0;
    const OpLayout* layout = nullptr;      // null: no such operation
    const std::vector<Arg>* args = nullptr;  // null: the fields did not decode
    // Per argument: the full name of the node it names or addresses ("" for
    // other arguments and for unknown handles).
    std::vector<std::string> nodes;
    std::optional<FaultHit> fault;
    std::optional<int32_t> result;  // none when no reply was sent
};

class Trace {
public:
    explicit Trace(LogFn log) : log_(std::move(log)) {}
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Creates or empties the file. Without a file the lines are only kept
    // in memory.
    bool open(const std::string& path, std::string& error);

    void request(const std::string& conn, const TracedRequest& r);
    void event(const std::string& conn, uint32_t plc_word);
    // A change made through the HTTP API: "METHOD PATH", its JSON body (""
    // for none) and the HTTP status it got.
    void api(const std::string& conn, const std::string& call, const std::string& body, int status);

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
    void write_line(std::string line);

    LogFn log_;
    std::string path_;
    int fd_ = -1;
    std::mutex mu_;
    bool failed_ = false;  // a write failed; said once
    std::deque<Numbered> kept_;
    uint64_t last_ = 0;  // number of the latest line
    bool interrupted_ = false;
    std::condition_variable cv_;
};

}  // namespace tessaro::sim
