// The one path every request takes through the simulator, whoever sends
// it: admitted once (refusals, then the scenario's faults), carried out once
// on the machine, saved once (--state: an acknowledged change is on disk
// before its reply), recorded once (--trace), each step reading the same
// Request and Outcome.
//
// Entering the machine from elsewhere (a control API, a test): build a
// Request with Request::make, give it a Caller of your own (its own Session;
// a sink when it registers for PLC events; the name the trace shows, such as
// "api") with `greeted` set, and call submit() from any thread. The request
// is then validated, subject to faults, saved and traced exactly as a
// library client's, and the PLC events it causes reach the registered
// library clients, whose connections wake to send them. Operations that no
// library request has join as rows of the layout table (ops.cpp, beside
// Hello), a case in execute() (dispatch.cpp) and, when they change what the
// state file holds, StateFile::changes_machine.
//
// The stages are public for the event loop, which must not block: it waits
// for a fault's delay with a timer and leaves saves to another thread, and
// so calls admit(), carry_out(), save() and record() itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "machine.h"
#include "request.h"

namespace tessaro::sim {

class StateFile;
class Trace;

// Who submits a request.
struct Caller {
    std::string name;          // the trace's "conn": the peer's address, or "api"
    Session& session;          // what the machine keeps for this caller
    PlcSink* sink = nullptr;   // where its PLC events go once it registers
    bool greeted = false;      // the handshake is done (only Hello is served before)
};

// Waits for a fault's delay; false when the caller is going away meanwhile.
using DelayFn = std::function<bool(int64_t ms)>;

// What admission decided.
struct Admission {
    // Set: the request ends with this outcome (refused, or a fault answers
    // for it) without being carried out. Unset: carry it out.
    std::optional<Outcome> outcome;
    int64_t delay_ms = 0;           // wait this long first
    std::optional<FaultHit> fault;  // the fault that hit, if any
};

class RequestPath {
public:
    // `state` and `trace` may be null (no --state, no --trace).
    RequestPath(Machine& m, StateFile* state, Trace* trace) : machine_(m), state_(state), trace_(trace) {}

    // Everything below in order, waiting with `delay`. Safe from any thread.
    Outcome submit(Request& r, Caller& c, const DelayFn& delay);

    Admission admit(Request& r, const Caller& c);
    Outcome carry_out(const Request& r, Caller& c, const std::optional<FaultHit>& fault);
    // True when the outcome acknowledges a change that must be saved first.
    bool must_save(const Request& r, const Outcome& o) const;
    // Saves the machine; blocks until a save that began after the call has
    // ended, so one save covers every change made before it. E_OK or
    // E_FAILURE.
    int save();
    // What a change whose save failed answers: E_FAILURE, since the change
    // was made but is not durable.
    static void unsaved(const Request& r, Outcome& o);
    void record(const Caller& c, const Request& r, const Outcome& o);

    Machine& machine() { return machine_; }

private:
    Machine& machine_;
    StateFile* state_;
    Trace* trace_;
};

}  // namespace tessaro::sim
