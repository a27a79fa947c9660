#include "settings.h"

#include <cstdlib>

#include "text/decimal.h"

namespace tessaro::lib {

int call_timeout_ms() {
    const char* env = std::getenv("TESSARO_CALL_TIMEOUT_MS");
    unsigned value = 0;
    bool given = env != nullptr && text::parse_decimal(std::string_view(env), 1u, 600000u, value);
    return given ? static_cast<int>(value) : kDefaultCallTimeoutMs;
}

}  // namespace tessaro::lib
