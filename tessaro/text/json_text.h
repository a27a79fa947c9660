// Writing JSON text, for the simulator and the snapshot example alike:
// strings escaped so that any JSON reader takes them back byte for byte,
// which needs them to be UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "text/json_chars.h"

namespace tessaro::text {

// True when `s` is well-formed UTF-8 (json_chars.h): exactly the texts a
// JSON string can carry.
bool is_utf8(const std::string& s);

// Appends `s` as a quoted JSON string; quotes, backslashes and control
// characters are escaped. `s` should be UTF-8 (see is_utf8).
void append_json_string(std::string& out, std::string_view s);

// Upper-case hex digits of `data`, two per byte.
std::string hex_text(const uint8_t* data, size_t len);

}  // namespace tessaro::text
