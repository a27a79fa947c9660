// One line of a recording, built in memory and written whole: a JSON object
// in the layout of the simulator's trace (docs/trace.md), so that the trace's
// reader takes it back byte for byte. C++11 with the C library only: the
// recording runs on the controller, inside the program it records.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace zuna {
namespace record {

class Line {
public:
    Line();
    ~Line();

    // `"key":` after a comma where one is due; the value follows.
    Line& key(const char* k);
    Line& num(int64_t v);
    Line& unum(uint64_t v);
    // A text: a JSON string when it is UTF-8, {"hex": "..."} otherwise.
    Line& text(const char* s, size_t n);
    Line& text(const char* s);  // null as ""
    Line& hex(const void* bytes, size_t n);  // always {"hex": "..."}
    Line& real(float v);
    Line& time(int64_t us);  // "2026-12-07T21:02:33.723983Z", UTC
    Line& null();
    Line& raw(const char* s);  // as it is
    Line& object();
    Line& array();
    Line& end();  // of the innermost object or array
    Line& finish();  // the line end, after the outermost object

    // The line; null when memory ran out while it was made.
    const char* data() const { return failed_ ? 0 : buf_; }
    size_t size() const { return len_; }

private:
    Line(const Line&);
    Line& operator=(const Line&);
    // Appends, keeping a terminator after the text.
    void put(const char* s, size_t n) {
        if (len_ + n + 1 > cap_ && !grow(n)) return;
        memcpy(buf_ + len_, s, n);
        len_ += n;
        buf_[len_] = '\0';
    }
    void put(char c) { put(&c, 1); }
    bool grow(size_t n);  // room for n more bytes and the terminator
    void value();  // a comma before a value that follows another in a list

    char* buf_;  // small_, or from the heap when a line outgrows it
    size_t len_, cap_;
    char small_[512];
    bool failed_;
    // The open objects and arrays, innermost last ('}' or ']' closes each),
    // whether each holds something yet, and whether a key awaits its value.
    enum { kMaxDepth = 16 };
    char close_[kMaxDepth];
    bool filled_[kMaxDepth];
    int depth_;
    bool after_key_;
};

// The shortest text that reads back as the same float, as C++17's
// std::to_chars writes it ("0.1", "3.4028235e+38", "1e-45", "-0.0" for
// negative zero); a non-finite float as the string "nan", "inf" or "-inf".
// `out` holds at least 32 bytes; the length is returned.
size_t real_text(float v, char* out);

}  // namespace record
}  // namespace zuna
