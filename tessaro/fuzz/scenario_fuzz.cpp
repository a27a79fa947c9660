// The scenario loader: any text is either loaded or refused with one line
// that names its position, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tessaro::sim::MachineConfig cfg;
    std::string error;
    if (!tessaro::sim::load_scenario_text(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json", cfg,
                                          error) &&
        (error.empty() || error.find('\n') != std::string::npos))
        __builtin_trap();  // a refusal is exactly one line
    return 0;
}
