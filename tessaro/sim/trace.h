// The trace of `tessaro-sim --trace FILE`: one JSON object per line for
// every request and every pushed event, written (and so readable by another
// process) as it happens. Lines from different connections never mix.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "faults.h"
#include "ops.h"
#include "trace_sink.h"

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
    explicit Trace(LogFn log) : sink_(std::move(log)) {}
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    // Creates or empties the file (see TraceSink::open).
    bool open(const std::string& path, std::string& error) { return sink_.open(path, error); }
    // No more waiting for a stalled reader: the simulator is stopping.
    void stop() { sink_.stop(); }

    void request(const std::string& conn, const TracedRequest& r);
    void event(const std::string& conn, uint32_t plc_word);

private:
    TraceSink sink_;
};

}  // namespace tessaro::sim
