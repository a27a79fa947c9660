// A JSON document that remembers where each value stands in the source text,
// so that the scenario loader can point at the value that is wrong. Parsing
// goes through nlohmann-json's SAX interface with an input iterator that
// tracks how far the parser has read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessaro::sim {

struct JsonValue {
    enum class Type { Null, Boolean, Integer, Real, String, Array, Object };

    Type type = Type::Null;
    bool boolean = false;
    int64_t integer = 0;
    double real = 0.0;  // also set for integers
    std::string string;
    std::vector<JsonValue> items;      // arrays
    std::vector<std::string> keys;     // objects, in source order
    std::vector<size_t> key_offsets;   // where each key's opening quote stands
    std::vector<JsonValue> values;     // objects: the value of keys[i]
    // Byte offset of the value's first character.
    size_t offset = 0;

    bool is_number() const { return type == Type::Integer || type == Type::Real; }
};

// Parses `text`; on a syntax error returns false with the offset of the
// offending character and nlohmann's description of the error.
bool parse_json(const std::string& text, JsonValue& out, size_t& error_offset, std::string& error);

// Line and column (both from 1; the column counts UTF-8 characters) of a byte
// offset; an offset at the end of the text is the position after its last
// character.
void line_column(const std::string& text, size_t offset, size_t& line, size_t& column);

// The name of a JSON type for messages ("a string", "an object").
const char* json_type_name(JsonValue::Type t);

}  // namespace tessaro::sim
