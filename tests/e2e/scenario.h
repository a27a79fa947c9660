// Scenarios for the end-to-end tests: the simulator's default machine, with
// faults added for the failure paths.
#pragma once

#include <string>

#include "process.h"

namespace e2e {

// The default machine's scenario text with `faults` (a JSON array) added.
inline std::string default_with_faults(const std::string& faults) {
    std::string text = read_file(DEFAULT_SCENARIO);
    auto end = text.rfind('}');
    return text.substr(0, end) + ",\n  \"faults\": " + faults + "\n}\n";
}

// A simulator with its scenario file, both living as long as the object.
struct Machine {
    explicit Machine(const std::string& scenario_text) : file(scenario_text), sim(file.path()) {}
    TempFile file;
    Simulator sim;
};

inline std::string link_path(const std::string& name) { return Environment::get().bin_dir + "/" + name; }

}  // namespace e2e
