#include "json_doc.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace tessaro::sim {

namespace {

// Deep enough for the deepest node tree (64 levels, each an object and its
// children array, under the top object and its node list) with room to
// spare, so that a tree too deep is reported as such by the loader.
constexpr size_t kMaxNesting = 160;

// An input iterator over the text that publishes, through `cursor`, how far
// the parser has read, so that each SAX event can tell where its token ends.
struct TrackingIterator {
    using iterator_category = std::input_iterator_tag;
    using value_type = char;
    using difference_type = std::ptrdiff_t;
    using pointer = const char*;
    using reference = const char&;

    const char* p = nullptr;
    const char** cursor = nullptr;

    reference operator*() const { return *p; }
    TrackingIterator& operator++() {
        *cursor = ++p;
        return *this;
    }
    TrackingIterator operator++(int) {
        TrackingIterator old = *this;
        ++*this;
        return old;
    }
    bool operator==(const TrackingIterator& o) const { return p == o.p; }
    bool operator!=(const TrackingIterator& o) const { return p != o.p; }
};

using json = nlohmann::json;

}  // namespace

// Appends one slot per value (and the byte chunks of strings) as the SAX
// events arrive; a container's span is filled in when it closes.
class JsonBuilder : public nlohmann::json_sax<json> {
    enum class Token { Literal, Number, String };

public:
    JsonBuilder(const char* begin, const char** cursor, std::vector<JsonValue>& slots)
        : begin_(begin), cursor_(cursor), slots_(slots) {}

    bool null() override { return scalar(JsonValue{}, Token::Literal, 4); }
    bool boolean(bool v) override {
        JsonValue j;
        j.type = JsonValue::Type::Boolean;
        j.u_.boolean = v;
        return scalar(j, Token::Literal, v ? 4 : 5);
    }
    bool number_integer(number_integer_t v) override {
        JsonValue j;
        j.type = JsonValue::Type::Integer;
        j.u_.integer = v;
        return scalar(j, Token::Number);
    }
    bool number_unsigned(number_unsigned_t v) override {
        JsonValue j;
        // Beyond int64 no scenario field can use it; keep it as a real.
        if (v <= static_cast<uint64_t>(INT64_MAX)) {
            j.type = JsonValue::Type::Integer;
            j.u_.integer = static_cast<int64_t>(v);
        } else {
            j.type = JsonValue::Type::Real;
            j.u_.real = static_cast<double>(v);
        }
        return scalar(j, Token::Number);
    }
    bool number_float(number_float_t v, const string_t&) override {
        JsonValue j;
        j.type = JsonValue::Type::Real;
        j.u_.real = v;
        return scalar(j, Token::Number);
    }
    bool string(string_t& v) override {
        counted();
        put_string(v, token_start(Token::String, 0));
        return true;
    }
    bool binary(binary_t&) override { return false; }  // not produced by the JSON reader
    bool start_object(std::size_t) override { return open(JsonValue::Type::Object); }
    bool key(string_t& k) override {
        ++slots_[stack_.back()].u_.c.count;
        put_string(k, token_start(Token::String, 0));
        return true;
    }
    bool end_object() override { return close(); }
    bool start_array(std::size_t) override { return open(JsonValue::Type::Array); }
    bool end_array() override { return close(); }
    bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& ex) override {
        error_offset = position > 0 ? position - 1 : 0;
        // nlohmann's text reads "[json.exception.parse_error.101] parse error
        // at line 1, column 2: syntax error ..."; keep what follows the position.
        std::string what = ex.what();
        size_t col = what.find("column ");
        size_t colon = col == std::string::npos ? std::string::npos : what.find(": ", col);
        error = colon == std::string::npos ? what : what.substr(colon + 2);
        return false;
    }

    size_t error_offset = 0;
    std::string error;

private:
    // Offset of the last character of the token just read. A number is only
    // known to end once the character after it has been read.
    size_t last_offset(bool number) const {
        const char* end = *cursor_;
        if (number && end > begin_ && !number_char(end[-1])) --end;
        return end > begin_ ? static_cast<size_t>(end - begin_) - 1 : 0;
    }

    static bool number_char(char c) { return c != '\0' && std::strchr("0123456789.eE+-", c) != nullptr; }

    // Offset of the first character of the token just read.
    size_t token_start(Token t, size_t literal_length) const {
        size_t end = last_offset(t == Token::Number);
        switch (t) {
            case Token::Literal: return end + 1 >= literal_length ? end + 1 - literal_length : 0;
            case Token::Number: {
                size_t i = end;
                while (i > 0 && number_char(begin_[i - 1])) --i;
                return i;
            }
            case Token::String:
                // Back to the opening quote: the first quote not escaped by
                // an odd number of backslashes.
                for (size_t i = end; i-- > 0;) {
                    if (begin_[i] != '"') continue;
                    size_t slashes = 0;
                    while (slashes < i && begin_[i - 1 - slashes] == '\\') ++slashes;
                    if (slashes % 2 == 0) return i;
                }
                return 0;
        }
        return end;
    }

    // One more item in the array that is open (members are counted by key).
    void counted() {
        if (!stack_.empty() && slots_[stack_.back()].type == JsonValue::Type::Array) ++slots_[stack_.back()].u_.c.count;
    }

    bool scalar(JsonValue v, Token t, size_t literal_length = 0) {
        counted();
        v.offset = static_cast<uint32_t>(token_start(t, literal_length));
        slots_.push_back(v);
        return true;
    }

    // A string slot, then its bytes in whole slots.
    void put_string(const std::string& s, size_t offset) {
        constexpr size_t kChunk = sizeof(JsonValue);
        JsonValue head;
        head.type = JsonValue::Type::String;
        head.offset = static_cast<uint32_t>(offset);
        head.u_.c.count = static_cast<uint32_t>(s.size());
        head.u_.c.span = static_cast<uint32_t>(1 + (s.size() + kChunk - 1) / kChunk);
        slots_.push_back(head);
        for (size_t i = 0; i < s.size(); i += kChunk) {
            JsonValue chunk;  // raw bytes: never read as a value
            std::memcpy(static_cast<void*>(&chunk), s.data() + i, std::min(kChunk, s.size() - i));
            slots_.push_back(chunk);
        }
    }

    bool open(JsonValue::Type t) {
        if (stack_.size() >= kMaxNesting) {
            error_offset = last_offset(false);
            error = "nesting deeper than " + std::to_string(kMaxNesting) + " levels";
            return false;
        }
        counted();
        JsonValue v;
        v.type = t;
        v.offset = static_cast<uint32_t>(last_offset(false));
        stack_.push_back(slots_.size());
        slots_.push_back(v);
        return true;
    }

    bool close() {
        size_t at = stack_.back();
        stack_.pop_back();
        slots_[at].u_.c.span = static_cast<uint32_t>(slots_.size() - at);
        return true;
    }

    const char* begin_;
    const char** cursor_;
    std::vector<JsonValue>& slots_;
    std::vector<size_t> stack_;  // slots of the open arrays and objects
};

std::string JsonValue::text() const {
    // The bytes stand in the slots that follow, read as bytes.
    return std::string(reinterpret_cast<const char*>(this + 1), u_.c.count);
}

bool parse_json(const std::string& text, JsonDoc& out, size_t& error_offset, std::string& error) {
    if (text.size() >= UINT32_MAX) {
        error_offset = 0;
        error = "text too large";
        return false;
    }
    std::vector<JsonValue> slots;
    // Every value takes at least two bytes of text per slot (a one-byte
    // number needs a separator; a string has its quotes), so this is enough
    // and the array never has to move. Untouched capacity costs no memory.
    slots.reserve(text.size() / 2 + 2);
    const char* cursor = text.data();
    TrackingIterator first{text.data(), &cursor};
    TrackingIterator last{text.data() + text.size(), &cursor};
    JsonBuilder b(text.data(), &cursor, slots);
    if (!json::sax_parse(first, last, &b)) {
        error_offset = b.error_offset;
        error = b.error.empty() ? "syntax error" : b.error;
        return false;
    }
    out.slots_ = std::move(slots);
    return true;
}

void line_column(const std::string& text, size_t offset, size_t& line, size_t& column) {
    line = 1;
    column = 1;
    if (offset > text.size()) offset = text.size();
    for (size_t i = 0; i < offset; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') {
            ++line;
            column = 1;
        } else if ((c & 0xC0) != 0x80) {
            ++column;
        }
    }
}

const char* json_type_name(JsonValue::Type t) {
    switch (t) {
        case JsonValue::Type::Null: return "null";
        case JsonValue::Type::Boolean: return "a boolean";
        case JsonValue::Type::Integer: return "an integer";
        case JsonValue::Type::Real: return "a number";
        case JsonValue::Type::String: return "a string";
        case JsonValue::Type::Array: return "an array";
        case JsonValue::Type::Object: return "an object";
    }
    return "?";
}

}  // namespace tessaro::sim
