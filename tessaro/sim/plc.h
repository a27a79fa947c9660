// The PLC runtime of the simulated machine: the PLC state word, the selected
// node and the run of the selected job (ready, active, completed or failed),
// driven by explicit points in time so that a test can step it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace tessaro::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

constexpr uint32_t plc_bit(int state) { return uint32_t(1) << state; }

// The state number of a name such as "PLC_JOB_READY"; false for any other.
bool plc_state_from_name(const std::string& name, int& state);

// How a job's end sets the outcome bits.
enum class JobOutcome { Completed, Failed, Both, None };
// "completed", "failed", "both", "none", and back; false for any other name.
const char* outcome_name(JobOutcome o);
bool outcome_from_name(const std::string& name, JobOutcome& o);
// The name of PLC state number `state` ("PLC_JOB_READY"); null for none.
const char* plc_state_name(int state);

// How one job behaves when selected and started.
struct JobSettings {
    int64_t duration_ms = 1000;    // time from start until the job ends
    int64_t ready_delay_ms = 100;  // time from selection (or from the end) until ready
    JobOutcome outcome = JobOutcome::Completed;
    bool never_ready = false;   // selection never makes it ready
    bool never_active = false;  // a start is accepted but the job never runs
};

class PlcEngine {
public:
    // `notify` is called with the new word after every change of the word,
    // in the order of the changes, on the thread that made the change.
    PlcEngine(uint32_t initial_word, std::function<void(uint32_t)> notify);

    uint32_t word() const { return word_; }
    int32_t selected() const { return selected_; }
    // True while a job runs (from the start until its end).
    bool running() const { return running_; }
    int32_t running_job() const { return running_ ? selected_ : -1; }

    // Makes `handle` the selected node; `job` describes it when it is a job
    // (null otherwise). Selecting the job that is already selected while it
    // is ready or about to become ready changes nothing. Returns E_OK, or
    // E_BUSY while a job runs.
    int select(int32_t handle, const JobSettings* job, TimePoint now);
    // Forgets the selection (its node is gone): READY clears.
    void deselect();
    // Starts the selected job. E_BUSY while a job runs; E_NOT_RDY when no job
    // is selected or it is not ready.
    int start(TimePoint now);

    // Sets and clears bits of the word as one change (set wins over clear).
    void change_bits(uint32_t set, uint32_t clear) { set_word((word_ & ~clear) | set); }
    // New settings of the selected job, for its next runs: a run under way
    // keeps the outcome it started with.
    void update_job(const JobSettings& job) {
        if (job_) job_ = job;
    }

    // The next point in time at which run_due has something to do.
    std::optional<TimePoint> next_deadline() const;
    // Carries out everything that is due at `now`: a job's end, then READY.
    void run_due(TimePoint now);

private:
    void set_word(uint32_t w);
    void finish(TimePoint now);
    void arm_ready(TimePoint now);

    uint32_t word_;
    std::function<void(uint32_t)> notify_;
    int32_t selected_ = -1;
    std::optional<JobSettings> job_;  // settings of the selected job
    bool running_ = false;
    JobOutcome run_outcome_ = JobOutcome::None;  // how the run under way ends
    std::optional<TimePoint> end_at_, ready_at_;
};

}  // namespace tessaro::sim
