#include "control_port.h"

#include "scenario_writer.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

ControlPort::~ControlPort() { machine_.end_session(session_); }

void ControlPort::stop() {
    {
        std::lock_guard<std::mutex> lk(stop_mu_);
        stopping_ = true;
    }
    stop_cv_.notify_all();
}

ControlPort::Sent ControlPort::submit(const std::string& conn, proto::Op op, std::vector<Arg> args,
                                      std::optional<Fault> fault) {
    DelayFn delay = [this](int64_t ms) {
        std::unique_lock<std::mutex> lk(stop_mu_);
        return !stop_cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stopping_; });
    };
    Caller caller{conn, session_};
    caller.greeted = true;
    caller.api = true;
    Request r = Request::make(op, std::move(args));
    r.fault_to_add = std::move(fault);
    Outcome o = path_.submit(std::move(r), caller, delay);
    Sent s{proto::op_name(op), o.result()};
    // The reply of ApiAddFault carries the fault's number after the result.
    if (s.result == E_OK && !o.reply.fields.empty()) s.number = o.reply.fields[0].u();
    return s;
}

ControlPort::Sent ControlPort::write_node(const std::string& conn, const std::string& name, const std::string& value) {
    int32_t handle = machine_.get_node(name);
    if (handle < 0) return Sent{"GetNode", E_NOEXIST};
    std::lock_guard<std::mutex> lk(write_mu_);
    Sent s = submit(conn, proto::Op::SetNodeValueString, {Arg{handle, {}}, Arg{0, value}});
    if (s.result != E_OK) {
        machine_.read_node(session_, handle);  // drops a value set but not written
        return s;
    }
    session_.written.reset();
    s = submit(conn, proto::Op::WriteNodeSync, {Arg{handle, {}}});
    if (s.result == E_OK) s.value = std::move(session_.written);
    return s;
}

ControlPort::Sent ControlPort::change_plc(const std::string& conn, uint32_t set, uint32_t clear) {
    return submit(conn, proto::Op::ApiSetPlc, {Arg{set, {}}, Arg{clear, {}}});
}

ControlPort::Sent ControlPort::set_job(const std::string& conn, const std::string& name,
                                       std::optional<JobOutcome> outcome, std::optional<int64_t> duration_ms,
                                       std::string& full) {
    // By full name, so that the trace and the faults see the job as a node.
    full = machine_.job_name(name);
    int64_t o = outcome ? static_cast<int64_t>(*outcome) : -1;
    return submit(conn, proto::Op::ApiSetJob,
                  {Arg{0, full.empty() ? name : full}, Arg{o, {}}, Arg{duration_ms.value_or(-1), {}}});
}

ControlPort::Sent ControlPort::add_fault(const std::string& conn, const Fault& fault) {
    text::JsonWriter w;  // compact: one line of the trace
    write_fault(w, fault);
    return submit(conn, proto::Op::ApiAddFault, {Arg{0, w.take()}}, fault);
}

ControlPort::Sent ControlPort::remove_fault(const std::string& conn, uint64_t index) {
    // A number no fault can have is no fault's.
    if (index > UINT32_MAX) return Sent{"ApiRemoveFault", E_NOEXIST};
    return submit(conn, proto::Op::ApiRemoveFault, {Arg{static_cast<int64_t>(index), {}}});
}

ControlPort::Sent ControlPort::reset(const std::string& conn) {
    std::lock_guard<std::mutex> lk(write_mu_);
    return submit(conn, proto::Op::ApiReset, {});
}

}  // namespace tessaro::sim
