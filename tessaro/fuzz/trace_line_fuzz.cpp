// The trace line reader: any input is either refused with a reason or is a
// line that formats back to exactly the same bytes. It is read twice: into a
// new line, and into one that earlier inputs left filled, as the simulator
// reuses its lines (reply fields, records and the number included); both
// give the same answer.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "trace/trace_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string error, reused_error;
    tessaro::trace::TraceLine line;
    static tessaro::trace::TraceLine reused;
    bool ok = tessaro::trace::parse(input, line, error);
    bool reused_ok = tessaro::trace::parse(input, reused, reused_error);
    if (ok != reused_ok || error != reused_error) __builtin_trap();
    if (!ok) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    if (tessaro::trace::format(line) != input || tessaro::trace::format(reused) != input) __builtin_trap();
    return 0;
}
