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
// library clients, whose connections wake to send them. An operation joins
// as a row of the operations' table (protocol/operations.h) and a case in
// execute() (dispatch.cpp); its row says whether a success is saved.
//
// One runner takes a request through the stages. It returns when the
// request must wait (a fault's delay, a save) and is resumed where it
// stopped: the event loop, which must not block, waits with a timer and
// leaves saves to another thread; submit() waits in place.
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
namespace replay {
class Replay;
}

// Who submits a request.
struct Caller {
    std::string name;          // the trace's "conn": the peer's address, or "api"
    Session& session;          // what the machine keeps for this caller
    PlcSink* sink = nullptr;   // where its PLC events go once it registers
    bool greeted = false;      // the handshake is done (only Hello is served before)
    bool api = false;          // the control API: only it may make the Api* requests
};

// Waits for a fault's delay; false when the caller is going away meanwhile.
using DelayFn = std::function<bool(int64_t ms)>;

// A request on its way through the stages, where the runner left it.
struct Pending {
    enum class Stage : uint8_t { Admit, Delayed, CarryOut, Saving, Record, Done };
    Request request;
    Outcome outcome;
    Stage stage = Stage::Admit;
    bool decided = false;  // admission gave the outcome: nothing is carried out
    int64_t delay_ms = 0;  // what a Wait::Delay waits
    int saved = 0;         // set by the caller before it resumes a Wait::Save: E_OK or E_FAILURE

    // Back to the start, for `request` as it now stands; buffers are kept.
    void restart();
};

// Why the runner stopped.
enum class Wait {
    Done,   // the request is answered: its outcome is final and recorded
    Delay,  // wait `delay_ms`, then run again
    Save,   // save (RequestPath::save), set `saved`, then run again
};

class RequestPath {
public:
    // `state` and `trace` may be null (no --state, no --trace).
    RequestPath(Machine& m, StateFile* state, Trace* trace) : machine_(m), state_(state), trace_(trace) {}

    // Runs `p` from where it stands until it is answered or must wait.
    // A Hello that succeeds greets the caller. Safe from any thread.
    Wait run(Pending& p, Caller& c);
    // The whole path in place, waiting with `delay`; a caller that goes
    // away during a delay ends the request with Outcome::Kind::Close.
    Outcome submit(Request r, Caller& c, const DelayFn& delay);

    // Saves the machine; blocks until a save that began after the call has
    // ended, so one save covers every change made before it. E_OK or
    // E_FAILURE.
    int save();

    Machine& machine() { return machine_; }

    // Answers library clients from a recording instead of the machine
    // (the handshake and the control API's requests still go to it). Set
    // before serving starts.
    void replay_from(replay::Replay* r) { replay_ = r; }
    replay::Replay* replay() const { return replay_; }
    // A caller's connection has ended: drops what the machine (and a
    // replay) keeps for it.
    void end_session(Session& s);

private:
    void admit(Pending& p, const Caller& c);

    Machine& machine_;
    StateFile* state_;
    Trace* trace_;
    replay::Replay* replay_ = nullptr;
};

}  // namespace tessaro::sim
