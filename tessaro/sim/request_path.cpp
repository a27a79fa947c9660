#include "request_path.h"

#include "dispatch.h"
#include "replay/replay.h"
#include "state_file.h"
#include "trace.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

void Pending::restart() {
    outcome.clear();
    stage = Stage::Admit;
    decided = false;
    delay_ms = 0;
    saved = E_OK;
}

namespace {

bool is_hello(const Request& r) {
    return r.layout && r.layout->op == proto::Op::Hello && r.kind == wire::Kind::Request;
}

// A request a replay answers: a library client's, after its handshake.
bool replayed(const Request& r) { return !is_hello(r) && !proto::is_api_op(r.layout->op); }

// True when a state file could not hold the texts the request would leave
// in the machine.
bool state_cannot_hold(const Request& r) {
    if (!r.layout->keeps_texts()) return false;
    for (size_t i = 0; r.layout->request[i] && i < r.args.size(); ++i)
        if (r.layout->request[i] == 's' && !StateFile::can_hold(r.args[i].str)) return true;
    return false;
}

}  // namespace

// Refusals first, then the scenario's faults. Sets the outcome when the
// request ends without being carried out, and the delay to wait first.
void RequestPath::admit(Pending& p, const Caller& c) {
    Request& r = p.request;
    std::optional<int32_t> refused;
    if (!c.greeted && !is_hello(r)) refused = E_ACCESS;
    else if (!r.layout || (proto::is_api_op(r.layout->op) && !c.api)) refused = E_UNIMP;
    else if (r.kind != wire::Kind::Request || (c.greeted && r.seq == 0) || !r.decoded) refused = E_INVALID;
    else if (state_ && state_cannot_hold(r)) refused = E_INVALID;
    if (refused) {
        if (trace_ && r.decoded && !replay_) machine_.admit(r, true, false);  // the trace names its nodes all the same
        p.outcome.refuse(r, *refused);
        p.decided = true;
        return;
    }

    if (replay_ && replayed(r)) return;  // the recording's faults are in its answers
    std::optional<FaultHit> fault = machine_.admit(r, trace_ != nullptr);
    if (!fault) return;
    switch (fault->kind) {
        case FaultHit::Kind::Silent: p.outcome.kind = Outcome::Kind::Silent; break;
        case FaultHit::Kind::Close: p.outcome.kind = Outcome::Kind::Close; break;
        case FaultHit::Kind::Result: p.outcome.refuse(r, fault->result); break;
        case FaultHit::Kind::Delay: break;
    }
    p.decided = fault->kind != FaultHit::Kind::Delay;
    p.outcome.fault = fault;
    if (fault->kind != FaultHit::Kind::Silent) p.delay_ms = fault->delay_ms;
}

Wait RequestPath::run(Pending& p, Caller& c) {
    using Stage = Pending::Stage;
    for (;;) {
        switch (p.stage) {
            case Stage::Admit:
                admit(p, c);
                p.stage = Stage::Delayed;
                if (p.delay_ms > 0) return Wait::Delay;
                break;
            case Stage::Delayed:  // the delay, if any, is over
                p.stage = p.decided ? Stage::Record : Stage::CarryOut;
                break;
            case Stage::CarryOut: {
                if (replay_ && replayed(p.request)) replay_->answer(c.session, c.sink, c.name, p.request, p.outcome);
                else execute(machine_, c.session, c.sink, p.request, p.outcome);
                p.stage = Stage::Saving;
                // An acknowledged change is on disk before its reply.
                if (state_ && p.request.layout->changes_machine() && p.outcome.reply.result == E_OK)
                    return Wait::Save;
                p.saved = E_OK;
                break;
            }
            case Stage::Saving:
                if (p.saved != E_OK) p.outcome.refuse(p.request, E_FAILURE);  // made, but not durable
                p.stage = Stage::Record;
                break;
            case Stage::Record:
                if (trace_) trace_->request(c.name, p.request, p.outcome);
                if (is_hello(p.request) && p.outcome.result() == E_OK) {
                    c.greeted = true;
                    if (!c.api) machine_.client_greeted();
                }
                p.stage = Stage::Done;
                return Wait::Done;
            case Stage::Done: return Wait::Done;
        }
    }
}

void RequestPath::end_session(Session& s) {
    if (replay_) replay_->end(s);
    machine_.end_session(s);
}

int RequestPath::save() { return state_->commit(); }

Outcome RequestPath::submit(Request r, Caller& c, const DelayFn& delay) {
    Pending p;
    p.request = std::move(r);
    p.restart();
    for (;;) {
        switch (run(p, c)) {
            case Wait::Done: return std::move(p.outcome);
            case Wait::Delay:
                if (!delay(p.delay_ms)) {
                    // The caller went away during the wait.
                    p.outcome.kind = Outcome::Kind::Close;
                    p.stage = Pending::Stage::Record;
                }
                break;
            case Wait::Save: p.saved = save(); break;
        }
    }
}

}  // namespace tessaro::sim
