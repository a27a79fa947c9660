// Whole unsigned decimal numbers from text (ports, time bounds): digits only,
// no sign, blanks or trailing characters, within [min, max].
#pragma once

#include <charconv>
#include <string_view>
#include <type_traits>

namespace tessaro::text {

// True, with `out` set, when all of `text` is a decimal number from `min` to
// `max`; `out` is left alone otherwise (also on overflow of T).
template <class T>
bool parse_decimal(std::string_view text, T min, T max, T& out) {
    static_assert(std::is_unsigned_v<T>, "a sign is never accepted");
    const char* end = text.data() + text.size();
    T value{};
    auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || stop != end || value < min || value > max) return false;
    out = value;
    return true;
}

}  // namespace tessaro::text
