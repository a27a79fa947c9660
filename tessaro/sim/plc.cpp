#include "plc.h"

#include <algorithm>
#include <utility>

#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {
constexpr uint32_t kReady = plc_bit(PLC_JOB_READY);
constexpr uint32_t kActive = plc_bit(PLC_JOB_ACTIVE);
constexpr uint32_t kCompleted = plc_bit(PLC_JOB_COMPLETED);
constexpr uint32_t kFailed = plc_bit(PLC_JOB_FAILED);

// Indexed by PLC state number.
const char* const kStateNames[] = {
    "PLC_DEVICES_AWAKE", "PLC_DEVICES_FAILURE",  "PLC_DEVICES_READY", "PLC_DEVICES_SETUP",
    "PLC_JOB_READY",     "PLC_JOB_ACTIVE",       "PLC_JOB_COMPLETED", "PLC_JOB_FAILED",
    "PLC_SYS_SAFE",      "PLC_JOB_PAUSED",       "PLC_JOB_PILOTED",   "PLC_JOB_PRELOADED",
    "PLC_JOB_STOPPING",  "PLC_READY_FOR_POWER_OFF", "PLC_SYSTEM_READY", "PLC_ATTENTION",
    "PLC_SYS_SAFE_REQUEST", "PLC_JOB_PRELOAD",
};

uint32_t outcome_bits(JobOutcome o) {
    switch (o) {
        case JobOutcome::Completed: return kCompleted;
        case JobOutcome::Failed: return kFailed;
        case JobOutcome::Both: return kCompleted | kFailed;
        case JobOutcome::None: return 0;
    }
    return 0;
}
}  // namespace

const char* plc_state_name(int state) {
    return state >= 0 && state < static_cast<int>(sizeof kStateNames / sizeof kStateNames[0]) ? kStateNames[state]
                                                                                               : nullptr;
}

namespace {
const char* const kOutcomes[] = {"completed", "failed", "both", "none"};
}

const char* outcome_name(JobOutcome o) { return kOutcomes[static_cast<int>(o)]; }

bool outcome_from_name(const std::string& name, JobOutcome& o) {
    for (int i = 0; i < 4; ++i)
        if (name == kOutcomes[i]) {
            o = static_cast<JobOutcome>(i);
            return true;
        }
    return false;
}

bool plc_state_from_name(const std::string& name, int& state) {
    for (int i = 0; i < static_cast<int>(sizeof kStateNames / sizeof kStateNames[0]); ++i)
        if (name == kStateNames[i]) {
            state = i;
            return true;
        }
    return false;
}

PlcEngine::PlcEngine(uint32_t initial_word, std::function<void(uint32_t)> notify)
    : word_(initial_word), notify_(std::move(notify)) {}

void PlcEngine::set_word(uint32_t w) {
    if (w == word_) return;
    word_ = w;
    if (notify_) notify_(w);
}

void PlcEngine::arm_ready(TimePoint now) {
    ready_at_.reset();
    if (!job_ || job_->never_ready) return;
    if (job_->ready_delay_ms <= 0) set_word(word_ | kReady);
    else ready_at_ = now + std::chrono::milliseconds(job_->ready_delay_ms);
}

int PlcEngine::select(int32_t handle, const JobSettings* job, TimePoint now) {
    if (running_) return E_BUSY;
    if (handle == selected_ && job && job_ && ((word_ & kReady) || ready_at_)) return E_OK;
    ready_at_.reset();
    set_word(word_ & ~kReady);
    selected_ = handle;
    if (job) job_ = *job;
    else job_.reset();
    arm_ready(now);
    return E_OK;
}

void PlcEngine::deselect() {
    ready_at_.reset();
    selected_ = -1;
    job_.reset();
    set_word(word_ & ~kReady);
}

int PlcEngine::start(TimePoint now) {
    if (running_) return E_BUSY;
    if (!job_ || !(word_ & kReady)) return E_NOT_RDY;
    ready_at_.reset();
    uint32_t cleared = word_ & ~(kReady | kCompleted | kFailed);
    if (job_->never_active) {
        set_word(cleared);
        return E_OK;
    }
    running_ = true;
    run_outcome_ = job_->outcome;
    set_word(cleared | kActive);
    if (job_->duration_ms <= 0) finish(now);
    else end_at_ = now + std::chrono::milliseconds(job_->duration_ms);
    return E_OK;
}

void PlcEngine::finish(TimePoint now) {
    end_at_.reset();
    running_ = false;
    set_word((word_ & ~kActive) | outcome_bits(run_outcome_));
    arm_ready(now);
}

std::optional<TimePoint> PlcEngine::next_deadline() const {
    if (end_at_ && ready_at_) return std::min(*end_at_, *ready_at_);
    return end_at_ ? end_at_ : ready_at_;
}

void PlcEngine::run_due(TimePoint now) {
    if (end_at_ && *end_at_ <= now) finish(*end_at_);
    if (ready_at_ && *ready_at_ <= now) {
        ready_at_.reset();
        set_word(word_ | kReady);
    }
}

}  // namespace tessaro::sim
