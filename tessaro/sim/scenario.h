// Scenario files: a JSON description of a machine (its tree, jobs, PLC,
// devices, system messages and faults), checked completely before anything
// is served.
#pragma once

#include <cstddef>
#include <string>

#include "machine.h"
#include "text/scenario_limit.h"

namespace tessaro::sim {

class JsonValue;

// The longest job run and ready delay a machine takes.
constexpr int64_t kMaxDurationMs = 24LL * 3600 * 1000;

using text::kMaxScenarioBytes;  // the largest scenario file that is read

// Loads scenario text. On failure `error` reads "NAME:LINE:COLUMN: what is
// wrong", where the position is that of the offending JSON value (or of the
// character where the syntax breaks), and `out` is left alone.
bool load_scenario_text(const std::string& text, const std::string& name, MachineConfig& out, std::string& error);

// Reads one fault object as the faults of a scenario give it; false with
// `error` saying what is wrong (without a position).
bool load_fault(const JsonValue& v, Fault& out, std::string& error);

// Reads and loads a scenario file. A file that cannot be read gives
// "PATH: <reason>".
bool load_scenario_file(const std::string& path, MachineConfig& out, std::string& error);

}  // namespace tessaro::sim
