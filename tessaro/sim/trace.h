// The trace of `tessaro-sim --trace FILE`: one JSON object per line for
// every request and every pushed event, written (and so readable by another
// process) as it happens. Lines from different connections never mix.
#pragma once

#include <cstdint>
#include <string>

#include "connection.h"
#include "request.h"
#include "trace_sink.h"

namespace tessaro::sim {

class Trace {
public:
    explicit Trace(LogFn log) : sink_(std::move(log)) {}
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Creates or empties the file (see TraceSink::open).
    bool open(const std::string& path, std::string& error) { return sink_.open(path, error); }
    // No more waiting for a stalled reader: the simulator is stopping.
    void stop() { sink_.stop(); }

    // A request and its outcome; the nodes it addresses are named by
    // `r.nodes`, as they were when it was admitted.
    void request(const std::string& conn, const Request& r, const Outcome& o);
    void event(const std::string& conn, uint32_t plc_word);

private:
    TraceSink sink_;
};

}  // namespace tessaro::sim
