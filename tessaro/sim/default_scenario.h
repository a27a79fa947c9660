// The default machine, embedded at build time from scenarios/default.json.
#pragma once

#include <cstddef>
#include <string>

namespace tessaro::sim {

extern const char kDefaultScenario[];  // zero-terminated
extern const size_t kDefaultScenario_size;

inline std::string default_scenario_text() { return std::string(kDefaultScenario, kDefaultScenario_size); }

}  // namespace tessaro::sim
