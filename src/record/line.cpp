#include "line.h"

#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "text/json_chars.h"

namespace zuna {
namespace record {

namespace {

const char kHex[] = "0123456789ABCDEF";

// The float that `text` reads back as.
float read_back(const char* text) { return strtof(text, 0); }

// The `p` significant digits of |v| rounded to nearest, and the decimal
// exponent of the first one: |v| is about 0.D x 10^(exp + 1).
void digits_of(float v, int p, char* digits, int& exp) {
    char buf[48];
    snprintf(buf, sizeof buf, "%.*e", p - 1, fabs(static_cast<double>(v)));
    int n = 0;
    const char* s = buf;
    for (; *s && *s != 'e'; ++s)
        if (*s >= '0' && *s <= '9') digits[n++] = *s;
    digits[n] = '\0';
    exp = atoi(s + 1);
}

// The text of v's sign, digits and exponent in the form std::to_chars
// picks: fixed or scientific, whichever is shorter, fixed on a tie.
size_t shortest_form(float v, const char* digits, int exp, char* out) {
    size_t n = strlen(digits);
    char fixed[64], sci[32];
    size_t f = 0, e = 0;
    if (v < 0) fixed[f++] = '-', sci[e++] = '-';
    // Fixed: digits split by the point, or a whole number. A whole number
    // wider than the digits is written exactly, which is no longer and
    // nearer than padding the digits with zeros.
    if (exp >= static_cast<int>(n)) {
        f += static_cast<size_t>(snprintf(fixed + f, sizeof fixed - f, "%.0f", fabs(static_cast<double>(v))));
    } else if (exp >= 0) {
        for (int i = 0; i <= exp || i < static_cast<int>(n); ++i) {
            if (i == exp + 1) fixed[f++] = '.';
            fixed[f++] = i < static_cast<int>(n) ? digits[i] : '0';
        }
    } else {
        fixed[f++] = '0', fixed[f++] = '.';
        for (int i = -1; i > exp; --i) fixed[f++] = '0';
        for (size_t i = 0; i < n; ++i) fixed[f++] = digits[i];
    }
    // Scientific: d[.ddd]e±XX, at least two digits of exponent.
    sci[e++] = digits[0];
    if (n > 1) {
        sci[e++] = '.';
        for (size_t i = 1; i < n; ++i) sci[e++] = digits[i];
    }
    e += static_cast<size_t>(snprintf(sci + e, sizeof sci - e, "e%c%02d", exp < 0 ? '-' : '+', exp < 0 ? -exp : exp));
    const char* pick = f <= e ? fixed : sci;
    size_t len = f <= e ? f : e;
    memcpy(out, pick, len);
    out[len] = '\0';
    return len;
}

// Adds `delta` (+1 or -1) to the last of the digits; false when that would
// change their count.
bool step_last(char* digits, int delta) {
    for (int i = static_cast<int>(strlen(digits)) - 1; i >= 0; --i) {
        int d = digits[i] - '0' + delta;
        if (d >= 0 && d <= 9) {
            digits[i] = static_cast<char>('0' + d);
            return i > 0 || d > 0;
        }
        digits[i] = delta > 0 ? '0' : '9';
    }
    return false;
}

}  // namespace

size_t real_text(float v, char* out) {
    const char* special = 0;
    if (isnan(v)) special = "\"nan\"";
    else if (isinf(v)) special = v < 0 ? "\"-inf\"" : "\"inf\"";
    else if (v == 0) special = signbit(v) ? "-0.0" : "0";
    if (special) {
        strcpy(out, special);
        return strlen(out);
    }
    // The fewest digits that read back as v; of those, the nearest. The
    // nearest digits of a length may miss where the float's interval is
    // lopsided (at a power of two) while a neighbour reads back.
    for (int p = 1; p <= 9; ++p) {
        char digits[16];
        int exp = 0;
        digits_of(v, p, digits, exp);
        char candidate[32];
        shortest_form(v, digits, exp, candidate);
        if (read_back(candidate) == v) return shortest_form(v, digits, exp, out);
        for (int delta = -1; delta <= 1; delta += 2) {
            char other[16];
            strcpy(other, digits);
            if (!step_last(other, delta)) continue;
            shortest_form(v, other, exp, candidate);
            if (read_back(candidate) == v) return shortest_form(v, other, exp, out);
        }
    }
    return static_cast<size_t>(snprintf(out, 32, "%.9g", static_cast<double>(v)));  // not reached
}

Line::Line() : buf_(small_), len_(0), cap_(sizeof small_), failed_(false), depth_(0), after_key_(false) {
    small_[0] = '\0';
}

Line::~Line() {
    if (buf_ != small_) free(buf_);
}

bool Line::grow(size_t n) {
    if (failed_) return false;
    size_t cap = cap_;
    while (len_ + n + 1 > cap) cap *= 2;
    char* grown = static_cast<char*>(buf_ == small_ ? malloc(cap) : realloc(buf_, cap));
    if (!grown) {
        failed_ = true;
        return false;
    }
    if (buf_ == small_) memcpy(grown, small_, len_ + 1);
    buf_ = grown, cap_ = cap;
    return true;
}

void Line::value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (depth_ == 0) return;
    if (filled_[depth_ - 1]) put(',');
    filled_[depth_ - 1] = true;
}

Line& Line::key(const char* k) {
    if (depth_ > 0 && filled_[depth_ - 1]) put(',');
    if (depth_ > 0) filled_[depth_ - 1] = true;
    size_t n = strlen(k);
    if (len_ + n + 4 > cap_ && !grow(n + 3)) return *this;
    buf_[len_] = '"';
    memcpy(buf_ + len_ + 1, k, n);
    memcpy(buf_ + len_ + 1 + n, "\":", 3);  // with the terminator
    len_ += n + 3;
    after_key_ = true;
    return *this;
}

Line& Line::object() {
    value();
    put('{');
    if (depth_ < kMaxDepth) close_[depth_] = '}', filled_[depth_] = false;
    ++depth_;
    return *this;
}

Line& Line::array() {
    value();
    put('[');
    if (depth_ < kMaxDepth) close_[depth_] = ']', filled_[depth_] = false;
    ++depth_;
    return *this;
}

Line& Line::end() {
    if (depth_ > 0 && --depth_ < kMaxDepth) put(close_[depth_]);
    return *this;
}

Line& Line::finish() {
    put('\n');
    return *this;
}

namespace {

// The decimal digits of `v`, ending at `end`; the first is returned.
char* digits_before(char* end, uint64_t v) {
    do *--end = static_cast<char>('0' + v % 10);
    while (v /= 10);
    return end;
}

}  // namespace

Line& Line::num(int64_t v) {
    value();
    char buf[24];
    char* end = buf + sizeof buf;
    char* start = digits_before(end, v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v));
    if (v < 0) *--start = '-';
    put(start, static_cast<size_t>(end - start));
    return *this;
}

Line& Line::unum(uint64_t v) {
    value();
    char buf[24];
    char* end = buf + sizeof buf;
    char* start = digits_before(end, v);
    put(start, static_cast<size_t>(end - start));
    return *this;
}

Line& Line::text(const char* s) { return s ? text(s, strlen(s)) : text("", 0); }

Line& Line::text(const char* s, size_t n) {
    if (!tessaro::text::is_utf8(s, n)) return hex(s, n);
    value();
    put('"');
    size_t run = 0;
    char esc[6];
    for (size_t i = 0; i < n; ++i) {
        size_t k = tessaro::text::json_escape(static_cast<unsigned char>(s[i]), esc);
        if (k == 0) continue;
        put(s + run, i - run);
        put(esc, k);
        run = i + 1;
    }
    put(s + run, n - run);
    put('"');
    return *this;
}

Line& Line::hex(const void* bytes, size_t n) {
    object().key("hex");
    value();
    put('"');
    const unsigned char* b = static_cast<const unsigned char*>(bytes);
    char pair[2];
    for (size_t i = 0; i < n; ++i) {
        pair[0] = kHex[b[i] >> 4], pair[1] = kHex[b[i] & 15];
        put(pair, 2);
    }
    put('"');
    return end();
}

Line& Line::real(float v) {
    value();
    char buf[32];
    put(buf, real_text(v, buf));
    return *this;
}

Line& Line::time(int64_t us) {
    value();
    time_t secs = static_cast<time_t>(us / 1000000);
    long micros = static_cast<long>(us % 1000000);
    if (micros < 0) micros += 1000000, secs -= 1;
    // Date and time of day change once a second: each thread formats them
    // then, and only the microseconds for every line.
    static __thread time_t formatted = -1;
    static __thread char prefix[64];  // "2026-12-07T21:03:04."
    if (secs != formatted || formatted == -1) {
        struct tm t;
        if (!gmtime_r(&secs, &t)) memset(&t, 0, sizeof t);
        snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                 t.tm_hour, t.tm_min, t.tm_sec);
        formatted = secs;
    }
    char buf[30];
    buf[0] = '"';
    memcpy(buf + 1, prefix, 20);
    for (int i = 26; i >= 21; --i, micros /= 10) buf[i] = static_cast<char>('0' + micros % 10);
    buf[27] = 'Z', buf[28] = '"';
    put(buf, 29);
    return *this;
}

Line& Line::null() {
    value();
    put("null", 4);
    return *this;
}

Line& Line::raw(const char* s) {
    value();
    put(s, strlen(s));
    return *this;
}

}  // namespace record
}  // namespace zuna
