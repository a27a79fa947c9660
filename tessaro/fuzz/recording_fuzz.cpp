// The recording loader of --replay: any input is refused with a reason that
// names the file (and the line, where one is at fault), or loads into an
// index whose every call points at a line that parses as that call, with
// each connection's actions in order and its reads sorted by their keys.
// What loads makes a machine (tessaro-scenario from-recording) whose
// scenario text loads again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "replay/recorded_machine.h"
#include "replay/recording.h"
#include "scenario.h"
#include "scenario_writer.h"

using tessaro::sim::replay::RecordedCall;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tessaro::sim::replay::Recording rec;
    std::string error;
    if (!rec.load_text(std::string(reinterpret_cast<const char*>(data), size), "in", error)) {
        if (error.compare(0, 3, "in:") != 0 || error.size() < 5) __builtin_trap();
        return 0;
    }
    size_t calls = 0;
    for (const auto& s : rec.sessions()) {
        for (const RecordedCall& c : s.calls) {
            std::string why;
            tessaro::trace::TraceLine l;
            if (!tessaro::trace::parse(rec.text(c), l, why)) __builtin_trap();
            bool event = c.kind == RecordedCall::Kind::Event;
            if (l.plc_event.has_value() != event) __builtin_trap();
            if (!event && (l.op != c.op || tessaro::sim::replay::call_key(l.op, l.args) != c.key)) __builtin_trap();
            calls += !event;
        }
        for (size_t i = 0; i < s.actions.size(); ++i)
            if (s.calls[s.actions[i]].kind != RecordedCall::Kind::Action || (i && s.actions[i] <= s.actions[i - 1]))
                __builtin_trap();
        if (!std::is_sorted(s.reads.begin(), s.reads.end())) __builtin_trap();
        for (const auto& r : s.reads)
            if (s.calls[r.second].kind != RecordedCall::Kind::Read || s.calls[r.second].key != r.first) __builtin_trap();
    }
    if (calls != rec.calls() || calls == 0) __builtin_trap();

    using namespace tessaro::sim;
    replay::RecordedMachine made;
    if (!replay::machine_from_recording_text(std::string(rec.whole_text()), "in", made, error)) __builtin_trap();
    Machine machine(std::move(made.config));
    std::string text;
    bool written = false;
    machine.inspect([&](const MachineView& v) { written = write_scenario(v, text, error); });
    MachineConfig again;
    // Texts that are no UTF-8 cannot stand in a scenario; anything else written loads.
    if (written && !load_scenario_text(text, "made", again, error)) __builtin_trap();
    return 0;
}
