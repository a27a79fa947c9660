// The trace line reader: any input is either refused with a reason or is a
// line that formats back to exactly the same bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "trace/trace_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string error;
    tessaro::trace::TraceLine line;
    if (!tessaro::trace::parse(input, line, error)) {
        if (error.empty()) __builtin_trap();
        return 0;
    }
    if (tessaro::trace::format(line) != input) __builtin_trap();
    return 0;
}
