// The trace of `tessaro-sim --trace FILE`: one JSON object per line for
// every request and every pushed event, written (and so readable by another
// process) as it happens. Lines from different connections never mix.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "connection.h"
#include "request.h"

namespace tessaro::sim {

class Trace {
public:
    explicit Trace(LogFn log) : log_(std::move(log)) {}
    ~Trace();
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Creates or empties the file.
    bool open(const std::string& path, std::string& error);

    // A request and its outcome; the nodes it addresses are named by
    // `r.nodes`, as they were when it was admitted.
    void request(const std::string& conn, const Request& r, const Outcome& o);
    void event(const std::string& conn, uint32_t plc_word);

private:
    void write_line(std::string line);

    LogFn log_;
    std::string path_;
    int fd_ = -1;
    std::mutex mu_;
    bool failed_ = false;  // a write failed; said once
};

}  // namespace tessaro::sim
