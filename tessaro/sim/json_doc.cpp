#include "json_doc.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <iterator>

namespace tessaro::sim {

namespace {

constexpr size_t kMaxNesting = 128;

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

class Builder : public nlohmann::json_sax<json> {
    enum class Token { Literal, Number, String };

public:
    Builder(const char* begin, const char** cursor, JsonValue& root) : begin_(begin), cursor_(cursor), root_(root) {}

    bool null() override { return scalar(JsonValue{}, Token::Literal, 4); }
    bool boolean(bool v) override {
        JsonValue j;
        j.type = JsonValue::Type::Boolean;
        j.boolean = v;
        return scalar(std::move(j), Token::Literal, v ? 4 : 5);
    }
    bool number_integer(number_integer_t v) override {
        JsonValue j;
        j.type = JsonValue::Type::Integer;
        j.integer = v;
        j.real = static_cast<double>(v);
        return scalar(std::move(j), Token::Number);
    }
    bool number_unsigned(number_unsigned_t v) override {
        JsonValue j;
        // Beyond int64 no scenario field can use it; keep it as a real.
        j.type = v <= static_cast<uint64_t>(INT64_MAX) ? JsonValue::Type::Integer : JsonValue::Type::Real;
        j.integer = static_cast<int64_t>(v <= static_cast<uint64_t>(INT64_MAX) ? v : 0);
        j.real = static_cast<double>(v);
        return scalar(std::move(j), Token::Number);
    }
    bool number_float(number_float_t v, const string_t&) override {
        JsonValue j;
        j.type = JsonValue::Type::Real;
        j.real = v;
        return scalar(std::move(j), Token::Number);
    }
    bool string(string_t& v) override {
        JsonValue j;
        j.type = JsonValue::Type::String;
        j.string = std::move(v);
        return scalar(std::move(j), Token::String);
    }
    bool binary(binary_t&) override { return false; }  // not produced by the JSON reader
    bool start_object(std::size_t) override { return open(JsonValue::Type::Object); }
    bool key(string_t& k) override {
        JsonValue* obj = stack_.back();
        obj->keys.push_back(std::move(k));
        obj->key_offsets.push_back(token_start(Token::String, 0));
        return true;
    }
    bool end_object() override {
        stack_.pop_back();
        return true;
    }
    bool start_array(std::size_t) override { return open(JsonValue::Type::Array); }
    bool end_array() override {
        stack_.pop_back();
        return true;
    }
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

    JsonValue* place(JsonValue&& v) {
        if (stack_.empty()) {
            root_ = std::move(v);
            return &root_;
        }
        JsonValue* parent = stack_.back();
        auto& list = parent->type == JsonValue::Type::Array ? parent->items : parent->values;
        list.push_back(std::move(v));
        return &list.back();
    }

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

    bool scalar(JsonValue&& v, Token t, size_t literal_length = 0) {
        v.offset = token_start(t, literal_length);
        place(std::move(v));
        return true;
    }

    bool open(JsonValue::Type t) {
        if (stack_.size() >= kMaxNesting) {
            error_offset = last_offset(false);
            error = "nesting deeper than " + std::to_string(kMaxNesting) + " levels";
            return false;
        }
        JsonValue v;
        v.type = t;
        v.offset = last_offset(false);
        stack_.push_back(place(std::move(v)));
        return true;
    }

    const char* begin_;
    const char** cursor_;
    JsonValue& root_;
    std::vector<JsonValue*> stack_;  // the open arrays and objects
};

}  // namespace

bool parse_json(const std::string& text, JsonValue& out, size_t& error_offset, std::string& error) {
    const char* cursor = text.data();
    TrackingIterator first{text.data(), &cursor};
    TrackingIterator last{text.data() + text.size(), &cursor};
    JsonValue root;
    Builder b(text.data(), &cursor, root);
    if (!json::sax_parse(first, last, &b)) {
        error_offset = b.error_offset;
        error = b.error.empty() ? "syntax error" : b.error;
        return false;
    }
    out = std::move(root);
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
