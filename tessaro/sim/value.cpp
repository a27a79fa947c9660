#include "value.h"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

const char* const kTypeNames[] = {
    "VT_INV", "VT_I32", "VT_I64",  "VT_R32",  "VT_R64",  "VT_BOOLEAN", "VT_STR",
    "VT_SEL", "VT_SET", "VT_BIN",  "VT_TEXT", "VT_FILE", "VT_JOB",
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool lower_equals(const std::string& s, const char* word) {
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= s.size()) return false;
        char c = s[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i]) return false;
    }
    return i == s.size();
}

// Decimal integer: an optional sign and at least one digit, nothing else.
int parse_integer(const VarDef& def, const std::string& t, int64_t lo, int64_t hi, Value& out) {
    size_t i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
    if (i == t.size()) return E_INVALID;
    for (size_t j = i; j < t.size(); ++j)
        if (!is_digit(t[j])) return E_INVALID;
    // Accumulate the magnitude; anything beyond 2^63 is out of every range.
    const uint64_t limit = uint64_t(1) << 63;
    uint64_t mag = 0;
    for (; i < t.size(); ++i) {
        uint64_t d = static_cast<uint64_t>(t[i] - '0');
        if (mag > (limit - d) / 10) return E_RANGE;
        mag = mag * 10 + d;
    }
    if (!negative && mag == limit) return E_RANGE;
    int64_t v = negative ? static_cast<int64_t>(0 - mag) : static_cast<int64_t>(mag);
    if (v < lo || v > hi) return E_RANGE;
    if (def.has_limits() && (double(v) < double(def.min) || double(v) > double(def.max))) return E_RANGE;
    out.text = std::to_string(v);
    out.bytes.clear();
    return E_OK;
}

// Decimal real: [+-] digits [. digits] [e [+-] digits], or with the digits
// only after the point. No blanks, no "inf" or "nan", no hex floats.
bool real_syntax(const std::string& t) {
    size_t i = 0, n = t.size();
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    size_t digits = 0;
    while (i < n && is_digit(t[i])) ++i, ++digits;
    if (i < n && t[i] == '.') {
        ++i;
        while (i < n && is_digit(t[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
        size_t exp = 0;
        while (i < n && is_digit(t[i])) ++i, ++exp;
        if (exp == 0) return false;
    }
    return i == n;
}

// The shortest text that reads back as the same value: "%g" with the least
// precision that round-trips, written without exponent where that is
// reasonable (so 1000 rather than 1e+03).
std::string shortest(double v, bool single) {
    if (v == 0.0) return "0";  // also turns -0 into 0
    auto same = [single, v](const char* text) {
        return single ? std::strtof(text, nullptr) == static_cast<float>(v) : std::strtod(text, nullptr) == v;
    };
    char buf[400];
    int prec = 1;
    for (; prec <= 17; ++prec) {
        std::snprintf(buf, sizeof buf, "%.*g", prec, v);
        if (same(buf)) break;
    }
    if (std::strchr(buf, 'e')) {
        int exp10 = static_cast<int>(std::floor(std::log10(std::fabs(v))));
        if (exp10 >= -5 && exp10 < 17) {
            char fixed[400];
            std::snprintf(fixed, sizeof fixed, "%.*f", std::max(0, prec - 1 - exp10), v);
            if (same(fixed)) return fixed;
        }
    }
    return buf;
}

int parse_real(const VarDef& def, const std::string& t, bool single, Value& out) {
    if (!real_syntax(t)) return E_INVALID;
    errno = 0;
    double v = std::strtod(t.c_str(), nullptr);
    if (errno == ERANGE && std::isinf(v)) return E_RANGE;
    if (single) {
        if (std::fabs(v) > double(FLT_MAX)) return E_RANGE;
        v = static_cast<float>(v);
    }
    if (def.has_limits() && (v < double(def.min) || v > double(def.max))) return E_RANGE;
    out.text = shortest(v, single);
    out.bytes.clear();
    return E_OK;
}

int parse_text(const std::string& t, bool multiline, Value& out) {
    if (t.size() > kMaxValueText) return E_RANGE;
    for (char c : t)
        if (c == '\0' || (!multiline && (c == '\n' || c == '\r'))) return E_INVALID;
    out.text = t;
    out.bytes.clear();
    return E_OK;
}

std::string trim_blanks(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

int parse_set(const VarDef& def, const std::string& t, Value& out) {
    std::vector<bool> chosen(def.options.size(), false);
    if (!trim_blanks(t).empty()) {
        size_t start = 0;
        while (true) {
            size_t comma = t.find(',', start);
            std::string item = trim_blanks(t.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
            if (item.empty()) return E_INVALID;
            size_t k = 0;
            while (k < def.options.size() && def.options[k] != item) ++k;
            if (k == def.options.size()) return E_RANGE;
            chosen[k] = true;
            if (comma == std::string::npos) break;
            start = comma + 1;
        }
    }
    std::string text;
    for (size_t k = 0; k < chosen.size(); ++k)
        if (chosen[k]) text += (text.empty() ? "" : ",") + def.options[k];
    out.text = text;
    out.bytes.clear();
    return E_OK;
}

int parse_bin(const std::string& t, Value& out) {
    // Pairs of hex digits; white space may stand between pairs only.
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < t.size();) {
        char c = t[i];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
            ++i;
            continue;
        }
        if (i + 1 >= t.size() || hex_digit(c) < 0 || hex_digit(t[i + 1]) < 0) return E_INVALID;
        if (bytes.size() == kMaxBinBytes) return E_RANGE;
        bytes.push_back(static_cast<uint8_t>(hex_digit(c) * 16 + hex_digit(t[i + 1])));
        i += 2;
    }
    out.text.clear();
    out.bytes = std::move(bytes);
    return E_OK;
}

}  // namespace

bool is_variable_type(int32_t type) { return type >= VT_I32 && type <= VT_FILE; }

const char* type_name(int32_t type) {
    if (type < VT_INV || type > VT_JOB) return "";
    return kTypeNames[type];
}

bool type_from_name(const std::string& name, int32_t& type) {
    for (int32_t t = VT_I32; t <= VT_FILE; ++t)
        if (name == kTypeNames[t]) {
            type = t;
            return true;
        }
    return false;
}

int parse_value(const VarDef& def, const std::string& text, Value& out) {
    switch (def.type) {
        case VT_I32: return parse_integer(def, text, INT32_MIN, INT32_MAX, out);
        case VT_I64: return parse_integer(def, text, INT64_MIN, INT64_MAX, out);
        case VT_R32: return parse_real(def, text, true, out);
        case VT_R64: return parse_real(def, text, false, out);
        case VT_BOOLEAN:
            if (lower_equals(text, "true") || text == "1") out.text = "true";
            else if (lower_equals(text, "false") || text == "0") out.text = "false";
            else return E_INVALID;
            out.bytes.clear();
            return E_OK;
        case VT_STR:
        case VT_FILE: return parse_text(text, false, out);
        case VT_TEXT: return parse_text(text, true, out);
        case VT_SEL:
            for (const auto& o : def.options)
                if (o == text) {
                    out.text = text;
                    out.bytes.clear();
                    return E_OK;
                }
            return E_RANGE;
        case VT_SET: return parse_set(def, text, out);
        case VT_BIN: return parse_bin(text, out);
        default: return E_INVALID;
    }
}

Value default_value(const VarDef& def) {
    Value v;
    switch (def.type) {
        case VT_I32:
        case VT_I64: {
            double d = 0.0;
            if (def.has_limits()) {
                if (d < double(def.min)) d = std::ceil(double(def.min));
                if (d > double(def.max)) d = std::floor(double(def.max));
            }
            // Limits far outside the type's range leave no valid default;
            // whoever checks the value against the def finds that out.
            if (d < -9.2e18 || d > 9.2e18) d = 0.0;
            v.text = std::to_string(static_cast<int64_t>(d));
            break;
        }
        case VT_R32:
        case VT_R64: {
            double d = 0.0;
            if (def.has_limits()) {
                if (d < double(def.min)) d = double(def.min);
                if (d > double(def.max)) d = double(def.max);
            }
            v.text = shortest(d, def.type == VT_R32);
            break;
        }
        case VT_BOOLEAN: v.text = "false"; break;
        case VT_SEL:
            if (!def.options.empty()) v.text = def.options.front();
            break;
        default: break;
    }
    return v;
}

std::string render(const VarDef& def, const Value& v) {
    if (def.type != VT_BIN) return v.text;
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(v.bytes.size() * 2);
    for (uint8_t b : v.bytes) {
        out += kHex[b >> 4];
        out += kHex[b & 15];
    }
    return out;
}

std::vector<uint8_t> raw_bytes(const VarDef& def, const Value& v) {
    if (def.type == VT_BIN) return v.bytes;
    return std::vector<uint8_t>(v.text.begin(), v.text.end());
}

}  // namespace tessaro::sim
