#include "machine_text.h"

#include <algorithm>

#include "api_json.h"
#include "control_port.h"
#include "scenario_writer.h"

namespace tessaro::sim {

namespace {

// A server-sent event named `name` with `text` as its data, one "data:" line
// per line of it, put together in one buffer.
std::string server_sent_event(const std::string& name, const std::string& text) {
    size_t lines = 0;
    for (size_t at = 0; at < text.size(); at = std::min(text.find('\n', at), text.size()) + 1) ++lines;
    std::string out;
    out.reserve(name.size() + 9 + text.size() + lines * 6 + 1);
    out.append("event: ").append(name).append(1, '\n');
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.find('\n', at), text.size());
        out.append("data: ").append(text, at, end - at).append(1, '\n');
        at = end + 1;
    }
    return out.append(1, '\n');
}

}  // namespace

MachineText::MachineText(ControlPort& port) : port_(port), mirror_(port.machine()) {}

void MachineText::on_write(std::function<void()> hook) {
    std::lock_guard<std::mutex> lk(mu_);
    hook_ = std::move(hook);
}

std::shared_ptr<const MachineText::Built> MachineText::built() {
    // Any text of this version or a later one answers for the machine as it
    // is now: the version has changed with every change made before the call.
    const uint64_t wanted = port_.version();
    std::unique_lock<std::mutex> lk(mu_);
    auto fresh = [&] { return last_ && last_->version >= wanted; };
    done_.wait(lk, [&] { return fresh() || !writing_; });
    if (fresh()) return last_;

    writing_ = true;
    std::shared_ptr<const Built> before = last_;  // only the writer replaces it
    std::function<void()> hook = hook_;
    lk.unlock();
    // Whatever happens below, the next caller may write.
    struct Done {
        MachineText& t;
        ~Done() {
            {
                std::lock_guard<std::mutex> lk(t.mu_);
                t.writing_ = false;
            }
            t.done_.notify_all();
        }
    } done{*this};

    auto b = std::make_shared<Built>();
    b->version = mirror_.update();
    if (hook) hook();
    std::string text;
    if (write_scenario(mirror_.view(), text, b->error))
        b->text = before && before->text && *before->text == text ? before->text
                                                                   : std::make_shared<const std::string>(std::move(text));
    std::lock_guard<std::mutex> relock(mu_);
    if (!last_ || b->version >= last_->version) last_ = b;
    return b;
}

std::shared_ptr<const std::string> MachineText::machine(std::string& error) {
    std::shared_ptr<const Built> b = built();
    if (!b->text) error = b->error;
    return b->text;
}

std::shared_ptr<const std::string> MachineText::state() {
    // May wait for the text to be written; no other caller waits on this one meanwhile.
    std::shared_ptr<const Built> b = built();
    std::string rest = ",\"plc\":" + dump(plc_json(port_)) + ",\"faults\":" + dump(faults_json(port_.faults())) + "}";
    std::lock_guard<std::mutex> lk(state_mu_);
    // A state made meanwhile of a later machine answers for this call too,
    // and an unchanged state is the one made before.
    if (state_ && (state_version_ > b->version || (b->text == state_machine_ && rest == state_rest_))) return state_;
    std::string text = "{\"machine\":";
    text.reserve(text.size() + (b->text ? b->text->size() : 4) + rest.size());
    text += b->text ? *b->text : "null";
    text += rest;
    state_ = std::make_shared<const std::string>(std::move(text));
    state_version_ = b->version;
    state_machine_ = b->text;
    state_rest_ = std::move(rest);
    return state_;
}

std::shared_ptr<const std::string> MachineText::state_event() {
    state();
    std::lock_guard<std::mutex> lk(state_mu_);
    // Of the latest state: the one just asked for, or a later one made meanwhile.
    if (event_of_ != state_) {
        event_ = std::make_shared<const std::string>(server_sent_event("machine", *state_));
        event_of_ = state_;
    }
    return event_;
}

}  // namespace tessaro::sim
