#include "control_port.h"

#include "hooks.h"
#include "scenario.h"
#include "state_file.h"
#include "trace.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

ControlPort::ControlPort(Machine& m, const ServerOptions& opt, std::string start)
    : machine_(m), opt_(opt), start_(std::move(start)) {}

ControlPort::~ControlPort() { machine_.end_session(session_); }

void ControlPort::stop() {
    {
        std::lock_guard<std::mutex> lk(stop_mu_);
        stopping_ = true;
    }
    stop_cv_.notify_all();
}

ControlPort::Sent ControlPort::send(const std::string& conn, const std::vector<uint8_t>& body) {
    DelayFn delay = [this](int64_t ms) {
        std::unique_lock<std::mutex> lk(stop_mu_);
        return !stop_cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stopping_; });
    };
    wire::Reader r(body);
    Outcome o = serve(machine_, session_, nullptr, opt_, conn, body, delay);
    return Sent{proto::op_name(static_cast<proto::Op>(r.op())), result_of(o)};
}

ControlPort::Sent ControlPort::write_node(const std::string& conn, const std::string& name, const std::string& value) {
    int32_t handle = machine_.get_node(name);
    if (handle < 0) return Sent{"GetNode", E_NOEXIST};
    std::lock_guard<std::mutex> lk(write_mu_);
    wire::Writer set(wire::Kind::Request, ++seq_, static_cast<uint16_t>(proto::Op::SetNodeValueString));
    set.i32(handle).str(value);
    Sent s = send(conn, set.body());
    if (s.result != E_OK) {
        machine_.read_node(session_, handle);  // drops a value set but not written
        return s;
    }
    wire::Writer write(wire::Kind::Request, ++seq_, static_cast<uint16_t>(proto::Op::WriteNodeSync));
    write.i32(handle);
    return send(conn, write.body());
}

int ControlPort::saved() { return opt_.state ? opt_.state->commit() : E_OK; }

int ControlPort::change_plc(uint32_t set, uint32_t clear) {
    machine_.change_plc(set, clear);
    return saved();
}

int ControlPort::set_job(const std::string& name, std::optional<JobOutcome> outcome, std::optional<int64_t> duration_ms,
                         std::string& full) {
    int rc = machine_.set_job(name, outcome, duration_ms, &full);
    return rc == E_OK ? saved() : rc;
}

int ControlPort::add_fault(Fault f, size_t& index) {
    index = machine_.add_fault(std::move(f));
    return saved();
}

int ControlPort::remove_fault(size_t index) { return machine_.remove_fault(index) ? saved() : E_NOEXIST; }

int ControlPort::reset(std::string& error) {
    MachineConfig cfg;
    if (!load_scenario_text(start_, "start", cfg, error)) return E_FAILURE;
    std::lock_guard<std::mutex> lk(write_mu_);
    session_.pending.clear();
    machine_.reset(std::move(cfg));
    int rc = saved();
    if (rc != E_OK) error = "the state file could not be saved";
    return rc;
}

void ControlPort::trace_call(const std::string& conn, const std::string& call, const std::string& body, int status) {
    opt_.trace->api(conn, call, body, status);
}

}  // namespace tessaro::sim
