#include "text/json_text.h"

namespace tessaro::text {

bool is_utf8(const std::string& s) { return is_utf8(s.data(), s.size()); }

void append_json_string(std::string& out, std::string_view s) {
    out.reserve(out.size() + s.size() + 2);
    out += '"';
    // Runs of characters that need no escape are appended whole.
    size_t run = 0;
    char esc[6];
    for (size_t i = 0; i < s.size(); ++i) {
        size_t n = json_escape(static_cast<unsigned char>(s[i]), esc);
        if (n == 0) continue;
        out.append(s.data() + run, i - run);
        out.append(esc, n);
        run = i + 1;
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
}

std::string hex_text(const uint8_t* data, size_t len) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(len * 2);
    for (size_t i = 0; i < len; ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 15];
    }
    return out;
}

}  // namespace tessaro::text
