// The one writer of JSON text: the trace, the state file, the scenarios the
// simulator writes and the snapshot example's all come from it. Members are
// written in the order given, with a separator style per document and, per
// container, either all on one line or one member per line at an indent,
// so that each document keeps its layout byte for byte. Floats take the
// shortest text that reads back as the same float.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::text {

class JsonWriter {
public:
    struct Style {
        const char* colon;  // between a key and its value
        const char* comma;  // between the members of a container on one line
        bool pad_objects;   // "{ ... }" rather than "{...}" for objects on one line
    };
    static constexpr Style kCompact{":", ",", false};
    static constexpr Style kSpaced{": ", ", ", false};
    static constexpr Style kPadded{": ", ", ", true};
    // For object() and array(): the members on the container's own line.
    static constexpr int kInline = -1;

    explicit JsonWriter(Style style = kCompact) : style_(style) {}

    // Opens a container. With `indent` >= 0 each member goes on a line of
    // its own, indented by `indent` + 2 spaces, and the closing bracket on a
    // line indented by `indent` (an empty container stays "[]" or "{}").
    JsonWriter& object(int indent = kInline);
    JsonWriter& array(int indent = kInline);
    // Closes the innermost open container.
    JsonWriter& end();

    // The key of the next member of the open object.
    JsonWriter& key(std::string_view k);
    // `s` must be UTF-8 (see is_utf8); quotes, backslashes and control
    // characters are escaped.
    JsonWriter& str(std::string_view s);
    JsonWriter& num(long long v);
    JsonWriter& real(float v);
    JsonWriter& boolean(bool v);
    JsonWriter& null();
    // A value that is JSON text already.
    JsonWriter& raw(std::string_view json);
    // A string of the upper-case hex digits of `bytes`, two per byte (as
    // hex_text writes them), without a copy of its own.
    JsonWriter& hex(std::string_view bytes);

    // Room for `n` bytes of text, so that a document of about that size
    // is written without growing its buffer.
    JsonWriter& reserve(size_t n) {
        out_.reserve(n);
        return *this;
    }

    const std::string& text() const { return out_; }
    std::string take() { return std::move(out_); }

    // The shortest text that reads back as exactly `v` (finite); "-0.0" for
    // negative zero, which "-0" would not keep.
    static std::string real_text(float v);

private:
    struct Level {
        bool object;
        int indent;
        bool empty = true;
        bool block_last = false;  // the last member ended with a multi-line container
    };
    void before_value();
    JsonWriter& open(bool object, int indent);

    Style style_;
    std::string out_;
    std::vector<Level> levels_;
    bool after_key_ = false;
};

}  // namespace tessaro::text
