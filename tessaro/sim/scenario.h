// Scenario files: a JSON description of a machine (its tree, jobs, PLC,
// devices, system messages and faults), checked completely before anything
// is served.
#pragma once

#include <cstddef>
#include <string>

#include "machine.h"
#include "text/scenario_limit.h"

namespace tessaro::sim {

using text::kMaxScenarioBytes;  // the largest scenario file that is read

// Loads scenario text. On failure `error` reads "NAME:LINE:COLUMN: what is
// wrong", where the position is that of the offending JSON value (or of the
// character where the syntax breaks), and `out` is left alone.
bool load_scenario_text(const std::string& text, const std::string& name, MachineConfig& out, std::string& error);

// Reads and loads a scenario file. A file that cannot be read gives
// "PATH: <reason>".
bool load_scenario_file(const std::string& path, MachineConfig& out, std::string& error);

}  // namespace tessaro::sim
