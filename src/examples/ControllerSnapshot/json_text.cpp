#include "json_text.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace snapshot {

std::string quoted(const std::string& s) {
    std::string out;
    tessaro::text::append_json_string(out, s);
    return out;
}

std::string single(float f) {
    char buf[64];
    int digits = 1;
    for (; digits < 9; ++digits) {
        std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(f));
        if (std::strtof(buf, nullptr) == f) break;
    }
    std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(f));
    // The same digits without an exponent where that stays short: 10000
    // rather than 1e+04.
    if (const char* e = std::strchr(buf, 'e')) {
        int exponent = std::atoi(e + 1);
        if (exponent > -7 && exponent < 21)
            std::snprintf(buf, sizeof buf, "%.*f", std::max(0, digits - 1 - exponent), static_cast<double>(f));
    }
    std::string out = buf;
    // "-0" would read back as the integer 0 and lose its sign.
    if (out == "-0") out = "-0.0";
    return out;
}

}  // namespace snapshot
