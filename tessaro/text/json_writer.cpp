#include "text/json_writer.h"

#include <charconv>

#include "text/json_text.h"

namespace tessaro::text {

void JsonWriter::before_value() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (levels_.empty()) return;
    Level& l = levels_.back();
    if (l.indent >= 0) {
        out_ += l.empty ? "\n" : ",\n";
        out_.append(static_cast<size_t>(l.indent) + 2, ' ');
    } else if (!l.empty) {
        out_ += style_.comma;
    } else if (l.object && style_.pad_objects) {
        out_ += ' ';
    }
    l.empty = false;
    l.block_last = false;
}

JsonWriter& JsonWriter::open(bool object, int indent) {
    before_value();
    out_ += object ? '{' : '[';
    levels_.push_back(Level{object, indent});
    return *this;
}

JsonWriter& JsonWriter::object(int indent) { return open(true, indent); }
JsonWriter& JsonWriter::array(int indent) { return open(false, indent); }

JsonWriter& JsonWriter::end() {
    Level l = levels_.back();
    levels_.pop_back();
    if (l.indent >= 0 && !l.empty) {
        out_ += '\n';
        out_.append(static_cast<size_t>(l.indent), ' ');
    } else if (l.object && style_.pad_objects && !l.empty && !l.block_last) {
        out_ += ' ';
    }
    out_ += l.object ? '}' : ']';
    if (!levels_.empty()) levels_.back().block_last = l.indent >= 0 && !l.empty;
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view k) {
    before_value();
    append_json_string(out_, k);
    out_ += style_.colon;
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::str(std::string_view s) {
    before_value();
    append_json_string(out_, s);
    return *this;
}

JsonWriter& JsonWriter::num(long long v) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    return raw(std::string_view(buf, static_cast<size_t>((ec == std::errc() ? end : buf) - buf)));
}
JsonWriter& JsonWriter::real(float v) { return raw(real_text(v)); }
JsonWriter& JsonWriter::boolean(bool v) { return raw(v ? "true" : "false"); }
JsonWriter& JsonWriter::null() { return raw("null"); }

JsonWriter& JsonWriter::raw(std::string_view json) {
    before_value();
    out_ += json;
    return *this;
}

JsonWriter& JsonWriter::hex(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    before_value();
    size_t at = out_.size() + 1;  // after the opening quote
    out_.resize(at + 2 * bytes.size() + 1, '"');
    for (unsigned char b : bytes) {
        out_[at++] = kHex[b >> 4];
        out_[at++] = kHex[b & 15];
    }
    return *this;
}

std::string JsonWriter::real_text(float v) {
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    std::string out(buf, ec == std::errc() ? end : buf);
    return out == "-0" ? "-0.0" : out;
}

}  // namespace tessaro::text
