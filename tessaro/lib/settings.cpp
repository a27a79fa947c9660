#include "settings.h"

#include <cstdlib>

namespace tessaro::lib {

int call_timeout_ms() {
    const char* text = std::getenv("TESSARO_CALL_TIMEOUT_MS");
    if (text == nullptr || *text == '\0') return kDefaultCallTimeoutMs;
    long value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return kDefaultCallTimeoutMs;
        value = value * 10 + (*p - '0');
        if (value > 600000) return kDefaultCallTimeoutMs;
    }
    return value >= 1 ? static_cast<int>(value) : kDefaultCallTimeoutMs;
}

}  // namespace tessaro::lib
