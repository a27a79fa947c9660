// The one way in for the HTTP control API: reads look at the machine under
// its lock, and every change is a request on the simulator's request path,
// so that the scenario's faults, the state file (saved before the answer),
// the trace and the notifications of library clients treat it as any other
// change. Node values are written as a client writes them; the changes no
// library operation makes (PLC bits, job settings, faults, a reset) are the
// path's Api* requests.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "request_path.h"

namespace tessaro::sim {

class Trace;
namespace replay {
class Replay;
}

class ControlPort {
public:
    // `trace`: where the path records requests (kept in memory for the API).
    ControlPort(RequestPath& path, Trace& trace) : path_(path), machine_(path.machine()), trace_(trace) {
        session_.keep_written = true;
    }
    ~ControlPort();
    ControlPort(const ControlPort&) = delete;
    ControlPort& operator=(const ControlPort&) = delete;

    // Ends every wait of a fault's delay at once.
    void stop();

    // Reads.
    void inspect(const std::function<void(const MachineView&)>& f) { machine_.inspect(f); }
    // The number that changes whenever the machine does (Machine::version).
    uint64_t version() const { return machine_.version(); }
    // For a look at the whole machine that keeps a copy of its own (MachineMirror).
    Machine& machine() { return machine_; }
    std::vector<FaultStatus> faults() { return machine_.fault_status(); }
    Trace& trace() { return trace_; }
    // The recording that answers library clients; null when none does.
    replay::Replay* replay() { return path_.replay(); }

    // How a request on the path ended.
    struct Sent {
        const char* op;                 // the operation's name
        std::optional<int32_t> result;  // none: a fault kept the reply back
        uint32_t number = 0;            // ApiAddFault: the new fault's number
        // write_node, when its WriteNodeSync was carried out: the node's value
        // as that write left it, before any other change could land.
        std::optional<std::string> value = std::nullopt;
    };
    // Each change below is traced under `conn`, the API client's name.
    // Writes a value to the node `name` as a client does (SetNodeValueString,
    // then WriteNodeSync); the first request that does not succeed ends it.
    Sent write_node(const std::string& conn, const std::string& name, const std::string& value);
    Sent change_plc(const std::string& conn, uint32_t set, uint32_t clear);
    // E_NOEXIST: no such job. `full` gets the job's full name when there is one.
    Sent set_job(const std::string& conn, const std::string& name, std::optional<JobOutcome> outcome,
                 std::optional<int64_t> duration_ms, std::string& full);
    // Traced with the fault as a scenario file writes it, on one line.
    Sent add_fault(const std::string& conn, const Fault& fault);
    // E_NOEXIST: no fault of that number.
    Sent remove_fault(const std::string& conn, uint64_t index);
    // Back to the machine as it started; E_FAILURE when that failed.
    Sent reset(const std::string& conn);

private:
    // `fault`: ApiAddFault's fault as a value (Request::fault_to_add).
    Sent submit(const std::string& conn, proto::Op op, std::vector<Arg> args,
                std::optional<Fault> fault = std::nullopt);

    RequestPath& path_;
    Machine& machine_;
    Trace& trace_;
    Session session_;
    std::mutex write_mu_;  // one value write (set, then write) or reset at a time on the session

    std::mutex stop_mu_;
    std::condition_variable stop_cv_;
    bool stopping_ = false;
};

}  // namespace tessaro::sim
