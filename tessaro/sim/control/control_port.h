// The one way in for the HTTP control API: reads look at the machine under
// its lock, and changes enter it like a client's requests do, so that the
// scenario's faults, the state file (saved before the answer), the trace and
// the notifications of library clients treat them as any other change. The
// changes that no library operation makes (PLC bits, job settings, faults,
// a reset) are made on the machine directly, then saved and traced the same way.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "connection.h"
#include "machine.h"

namespace tessaro::sim {

class Trace;

class ControlPort {
public:
    // `start`: the machine as scenario text when the simulator started,
    // what a reset goes back to. `opt.trace` must be set.
    ControlPort(Machine& m, const ServerOptions& opt, std::string start);
    ~ControlPort();
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    // Ends every wait of a fault's delay at once.
    void stop();

    // Reads.
    void inspect(const std::function<void(const MachineView&)>& f) { machine_.inspect(f); }
    std::vector<FaultStatus> faults() { return machine_.fault_status(); }
    Trace& trace() { return *opt_.trace; }

    // How a request sent on the library's path ended.
    struct Sent {
        const char* op;               // the operation's name
        std::optional<int32_t> result;  // none: a fault kept the reply back
    };
    // Writes a value to the node `name` as a client does (SetNodeValueString,
    // then WriteNodeSync); the first request that does not succeed ends it.
    // `conn` names the API client in the trace.
    Sent write_node(const std::string& conn, const std::string& name, const std::string& value);

    // The changes outside the library's operations. Each returns E_OK, or
    // E_FAILURE when the state file could not be saved after the change.
    int change_plc(uint32_t set, uint32_t clear);
    // E_NOEXIST: no such job; `full` gets the job's full name.
    int set_job(const std::string& name, std::optional<JobOutcome> outcome, std::optional<int64_t> duration_ms,
                std::string& full);
    int add_fault(Fault f, size_t& index);
    // E_NOEXIST: no fault of that number.
    int remove_fault(size_t index);
    // E_FAILURE with `error` set when the start could not be loaded again.
    int reset(std::string& error);

    // Records a change request of the API in the trace, with its status.
    void trace_call(const std::string& conn, const std::string& call, const std::string& body, int status);

private:
    Sent send(const std::string& conn, const std::vector<uint8_t>& body);
    int saved();

    Machine& machine_;
    const ServerOptions& opt_;
    const std::string start_;
    Session session_;
    std::mutex write_mu_;  // one value write (set, then write) at a time on the session
    uint32_t seq_ = 0;

    std::mutex stop_mu_;
    std::condition_variable stop_cv_;
    bool stopping_ = false;
};

}  // namespace tessaro::sim
