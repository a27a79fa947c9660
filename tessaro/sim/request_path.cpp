#include "request_path.h"

#include "dispatch.h"
#include "state_file.h"
#include "trace.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

Admission RequestPath::admit(Request& r, const Caller& c) {
    Admission a;
    bool hello = r.layout && r.layout->op == proto::Op::Hello && r.kind == wire::Kind::Request;
    if (!c.greeted && !hello) a.outcome = Outcome::refusal(r, E_ACCESS);
    else if (!r.layout) a.outcome = Outcome::refusal(r, E_UNIMP);
    else if (r.kind != wire::Kind::Request || (c.greeted && r.seq == 0) || !r.decoded)
        a.outcome = Outcome::refusal(r, E_INVALID);
    else if (state_ && !StateFile::can_hold(*r.layout, r.args)) a.outcome = Outcome::refusal(r, E_INVALID);
    if (a.outcome) {
        if (trace_ && r.decoded) machine_.admit(r, true, false);  // the trace names its nodes all the same
        return a;
    }

    a.fault = machine_.admit(r, trace_ != nullptr);
    if (!a.fault) return a;
    switch (a.fault->kind) {
        case FaultHit::Kind::Silent: a.outcome.emplace().kind = Outcome::Kind::Silent; break;
        case FaultHit::Kind::Close: a.outcome.emplace().kind = Outcome::Kind::Close; break;
        case FaultHit::Kind::Result: a.outcome = Outcome::refusal(r, a.fault->result); break;
        case FaultHit::Kind::Delay: break;
    }
    if (a.outcome) a.outcome->fault = a.fault;
    if (a.fault->kind != FaultHit::Kind::Silent) a.delay_ms = a.fault->delay_ms;
    return a;
}

Outcome RequestPath::carry_out(const Request& r, Caller& c, const std::optional<FaultHit>& fault) {
    Outcome o = execute(machine_, c.session, c.sink, r);
    o.fault = fault;
    return o;
}

bool RequestPath::must_save(const Request& r, const Outcome& o) const {
    return state_ && r.decoded && StateFile::changes_machine(r.layout->op) && o.result == E_OK;
}

int RequestPath::save() { return state_->commit(); }

void RequestPath::unsaved(const Request& r, Outcome& o) {
    std::optional<FaultHit> fault = o.fault;
    o = Outcome::refusal(r, E_FAILURE);
    o.fault = fault;
}

void RequestPath::record(const Caller& c, const Request& r, const Outcome& o) {
    if (trace_) trace_->request(c.name, r, o);
}

Outcome RequestPath::submit(Request& r, Caller& c, const DelayFn& delay) {
    Admission a = admit(r, c);
    Outcome o;
    if (a.delay_ms > 0 && !delay(a.delay_ms)) {
        o.kind = Outcome::Kind::Close;  // the caller went away during the wait
        o.fault = a.fault;
    } else {
        o = a.outcome ? std::move(*a.outcome) : carry_out(r, c, a.fault);
        if (must_save(r, o) && save() != E_OK) unsaved(r, o);
    }
    record(c, r, o);
    return o;
}

}  // namespace tessaro::sim
