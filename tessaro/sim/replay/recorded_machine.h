// The machine a recording saw (tessaro-scenario from-recording): its nodes
// with their types, flags, units and first values; its jobs with the
// durations, outcomes and ready delays measured; the PLC state and the
// selection it started with; drivers, devices and job node types where they
// were read; the failures seen, as faults at the calls they hit; and the
// values that changed meanwhile without the recorded programs writing them,
// as a timeline.
#pragma once

#include <string>
#include <vector>

#include "machine.h"

namespace tessaro::sim::replay {

struct RecordedMachine {
    MachineConfig config;
    // What could not be kept (a value its node's type refuses, say): one
    // line each, for the user to look at.
    std::vector<std::string> notes;
};

// Reads a recording or a simulator trace with replies, checked as
// tessaro-sim --replay checks it. False with `error` ("FILE:LINE: what is
// wrong", or "FILE: ...") when it is none.
bool machine_from_recording(const std::string& path, RecordedMachine& out, std::string& error);
// The same for text in memory; `name` stands for the file.
bool machine_from_recording_text(std::string text, const std::string& name, RecordedMachine& out, std::string& error);

}  // namespace tessaro::sim::replay
