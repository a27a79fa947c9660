// The control API's request bodies: any text is taken or refused with a
// reason, never a crash, and what is taken is within bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "control/api_json.h"
#include "scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaro::sim;
    std::string error;
    auto body = parse_json_body(std::string(reinterpret_cast<const char*>(data), size), error);
    if (!body) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    dump(*body);  // as the trace writes it
    if (!body->is_object()) return 0;
    Fault fault;
    uint32_t set = 0, clear = 0;
    std::optional<JobOutcome> outcome;
    std::optional<int64_t> duration;
    if (!parse_fault(*body, fault, error) && error.empty()) __builtin_trap();
    error.clear();
    if (parse_plc(*body, set, clear, error) ? ((set | clear) >> 18) != 0 : error.empty()) __builtin_trap();
    error.clear();
    if (parse_job(*body, outcome, duration, error) ? duration && (*duration < 0 || *duration > kMaxDurationMs)
                                                  : error.empty())
        __builtin_trap();
    return 0;
}
