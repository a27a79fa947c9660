// A machine copy written as a tessaro-sim scenario: stable key order, one
// node, type, driver or device per line, so that the same machine always
// gives the same bytes and a changed value shows as a one-line difference.
#pragma once

#include <string>

#include "machine_copy.h"

namespace snapshot {

// What the library cannot tell about a job (it would take a run to find
// out), written into every job for the user to edit.
constexpr int kDefaultJobDurationMs = 1000;
constexpr const char* kDefaultJobOutcome = "completed";
constexpr int kDefaultReadyDelayMs = 100;

std::string scenario_json(const MachineCopy& m);

}  // namespace snapshot
