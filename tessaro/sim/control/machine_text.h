// The whole machine as the control API and the live page show it, written
// out without holding the machine's lock: from a copy of the machine kept up
// to date piece by piece (MachineMirror), so that a large machine never holds
// up the library clients. The text is made once per version of the machine
// (Machine::version) and shared by every caller until the machine changes;
// one caller writes it at a time, and the others wait for that text instead
// of writing their own. Safe to call from any number of threads.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "machine_mirror.h"

namespace tessaro::sim {

class ControlPort;

class MachineText {
public:
    explicit MachineText(ControlPort& port);
    MachineText(const MachineText&) = delete;
    MachineText& operator=(const MachineText&) = delete;

    // The machine as scenario text, as GET /api/machine answers it; null,
    // with `error` set, when the machine holds text that is no UTF-8. Never
    // older than the machine was at the call.
    std::shared_ptr<const std::string> machine(std::string& error);

    // The machine as the live page shows it: {"machine":…,"plc":…,
    // "faults":…}, "machine" as machine() gives it (null when it cannot be
    // written), "plc" and "faults" as their GETs answer. The same text is
    // the same pointer, so a caller that keeps what it sent last sees a
    // change by comparing pointers.
    std::shared_ptr<const std::string> state();
    // state() as the server-sent event that carries it to the live page:
    // "event: machine", then each of its lines as a "data:" line. Made once
    // per state and shared like it.
    std::shared_ptr<const std::string> state_event();

    // Called while the machine is written out, without the machine's lock
    // (tests pause there).
    void on_write(std::function<void()> hook);

private:
    struct Built {
        uint64_t version = 0;
        std::shared_ptr<const std::string> text;  // null when it could not be written
        std::string error;
    };
    std::shared_ptr<const Built> built();

    ControlPort& port_;
    MachineMirror mirror_;  // used by the one caller writing at a time

    std::mutex mu_;
    std::condition_variable done_;
    bool writing_ = false;
    std::shared_ptr<const Built> last_;
    std::function<void()> hook_;

    std::mutex state_mu_;  // held while a state is put together
    std::shared_ptr<const std::string> state_;
    uint64_t state_version_ = 0;                        // the machine's version in state_
    std::shared_ptr<const std::string> state_machine_;  // the machine text in state_
    std::string state_rest_;                           // what follows it in state_
    std::shared_ptr<const std::string> event_, event_of_;  // state_event(), and the state it carries
};

}  // namespace tessaro::sim
