// The machine's run-time control: the changes that a user steering the
// simulator makes and that no library operation covers.
#include "machine.h"
#include "scenario.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

void Machine::change_plc(uint32_t set, uint32_t clear) {
    Locked lk(*this);
    plc_.change_bits(set, clear);
}

Node* Machine::find_job(const std::string& name) {
    Node* job = tree_.find(name);
    if (job && job->kind == Kind::Job) return job;
    job = nullptr;
    for (Node* n : tree_.preorder()) {
        if (n->kind != Kind::Job || n->name != name) continue;
        if (job) return nullptr;  // two jobs of that short name: say which
        job = n;
    }
    return job;
}

std::string Machine::job_name(const std::string& name) {
    Locked lk(*this);
    Node* job = find_job(name);
    return job ? tree_.full_name(*job) : "";
}

int Machine::set_job(const std::string& name, std::optional<JobOutcome> outcome, std::optional<int64_t> duration_ms,
                     std::string* full) {
    Locked lk(*this);
    Node* job = find_job(name);
    if (!job) return E_NOEXIST;
    if (outcome) job->job.outcome = *outcome;
    if (duration_ms) job->job.duration_ms = *duration_ms;
    if (plc_.selected() == job->handle) plc_.update_job(job->job);
    if (full) *full = tree_.full_name(*job);
    changed({job->handle});
    return E_OK;
}

size_t Machine::add_fault(Fault f) {
    Locked lk(*this);
    changed();
    return faults_.add(std::move(f));
}

bool Machine::remove_fault(size_t index) {
    Locked lk(*this);
    if (!faults_.remove(index)) return false;
    changed();
    return true;
}

std::vector<FaultStatus> Machine::fault_status() {
    Locked lk(*this);
    return faults_.status();
}

void Machine::reset(MachineConfig cfg) {
    Locked lk(*this);
    uint32_t before = plc_.word();
    name_ = std::move(cfg.name);
    tree_ = std::move(cfg.tree);
    job_node_types_ = std::move(cfg.job_node_types);
    devices_ = std::move(cfg.devices);
    messages_ = std::move(cfg.messages);
    faults_ = FaultTable();
    plc_ = PlcEngine(cfg.plc_word, [this](uint32_t w) { notify(w); });
    // The timeline starts again with the next client greeted.
    timeline_ = std::move(cfg.timeline);
    timeline_next_ = 0;
    timeline_start_.reset();
    if (!cfg.selected.empty())
        if (Node* n = tree_.find(cfg.selected))
            plc_.select(n->handle, n->kind == Kind::Job ? &n->job : nullptr, clock_());
    if (plc_.word() != before) notify(plc_.word());
    changed_all();
    timer_cv_.notify_all();
}

void Machine::keep_start(std::string scenario) { start_ = std::move(scenario); }

int Machine::reset_to_start() {
    MachineConfig cfg;
    std::string error;
    if (start_.empty() || !load_scenario_text(start_, "start", cfg, error)) return E_FAILURE;
    reset(std::move(cfg));
    return E_OK;
}

}  // namespace tessaro::sim
