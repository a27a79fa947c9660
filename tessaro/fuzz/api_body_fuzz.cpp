// The control API's request bodies: any text is taken or refused with a
// reason, never a crash, and what is taken is within bounds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "control/api_json.h"
#include "scenario.h"
#include "scenario_writer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace tessaro::sim;
    std::string input(reinterpret_cast<const char*>(data), size), error;
    // A fault taken reads back the same from the text the trace shows of it.
    Fault fault, again;
    if (parse_fault(input, fault, error)) {
        tessaro::text::JsonWriter w, w_again;
        write_fault(w, fault);
        if (!parse_fault(w.text(), again, error)) __builtin_trap();
        write_fault(w_again, again);
        if (w.text() != w_again.text()) __builtin_trap();
    } else if (error.empty()) {
        __builtin_trap();
    }
    error.clear();
    auto body = parse_json_body(input, error);
    if (!body) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    dump(*body);
    if (!body->is_object()) return 0;
    uint32_t set = 0, clear = 0;
    std::optional<JobOutcome> outcome;
    std::optional<int64_t> duration;
    if (parse_plc(*body, set, clear, error) ? ((set | clear) >> 18) != 0 : error.empty()) __builtin_trap();
    error.clear();
    if (parse_job(*body, outcome, duration, error) ? duration && (*duration < 0 || *duration > kMaxDurationMs)
                                                  : error.empty())
        __builtin_trap();
    return 0;
}
