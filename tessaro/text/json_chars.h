// The two rules every JSON text of this system follows, in C++11 so that the
// recording library on the controller shares them with the simulator: which
// texts a JSON string may carry (well-formed UTF-8), and how a byte of one is
// escaped. Readers that take texts back byte for byte depend on both.
#pragma once

#include <stddef.h>

namespace tessaro {
namespace text {

// True when the `n` bytes at `s` are well-formed UTF-8: no overlong forms,
// surrogates or code points above U+10FFFF.
inline bool is_utf8(const char* s, size_t n) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
    for (size_t i = 0; i < n;) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len = 0;
        unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c == 0xE0) len = 3, lo = 0xA0;
        else if (c == 0xED) len = 3, hi = 0x9F;  // no surrogates
        else if (c >= 0xE1 && c <= 0xEF) len = 3;
        else if (c == 0xF0) len = 4, lo = 0x90;
        else if (c == 0xF4) len = 4, hi = 0x8F;  // nothing above U+10FFFF
        else if (c >= 0xF1 && c <= 0xF3) len = 4;
        else return false;
        if (i + len > n || p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; ++k)
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        i += len;
    }
    return true;
}

// The escape of byte `c` inside a JSON string, written to `out` (room for
// 6 bytes): quotes, backslashes, control characters and DEL are escaped,
// every other byte stands for itself (0 returned).
inline size_t json_escape(unsigned char c, char* out) {
    if (c >= 0x20 && c != '"' && c != '\\' && c != 0x7F) return 0;
    out[0] = '\\';
    switch (c) {
        case '"': out[1] = '"'; return 2;
        case '\\': out[1] = '\\'; return 2;
        case '\n': out[1] = 'n'; return 2;
        case '\r': out[1] = 'r'; return 2;
        case '\t': out[1] = 't'; return 2;
        default: {
            static const char kHex[] = "0123456789ABCDEF";
            out[1] = 'u', out[2] = '0', out[3] = '0', out[4] = kHex[c >> 4], out[5] = kHex[c & 15];
            return 6;
        }
    }
}

}  // namespace text
}  // namespace tessaro
