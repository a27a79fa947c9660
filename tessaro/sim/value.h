// Variable values: the value types of the controller, how a value is parsed
// from text and rendered back to text, and the limits a value must keep.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::sim {

// Longest value text a variable accepts. A VT_BIN value holds up to 1 MiB;
// rendered as text (two hex digits per byte) it still fits one frame.
constexpr size_t kMaxValueText = 65536;
constexpr size_t kMaxBinBytes = 1u << 20;

// What a variable's value must conform to: its VAR_TYPE, its limits and, for
// VT_SEL and VT_SET, the option names.
struct VarDef {
    int32_t type = 0;
    float min = 0.0f, max = 0.0f;  // enforced for numeric types when min < max
    std::vector<std::string> options;

    bool has_limits() const { return min < max; }
};

// A variable's value in canonical form: the rendered text for every type but
// VT_BIN, whose value is its bytes.
struct Value {
    std::string text;
    std::vector<uint8_t> bytes;

    bool operator==(const Value& o) const { return text == o.text && bytes == o.bytes; }
};

// True for the types a variable may have (VT_I32 to VT_FILE).
bool is_variable_type(int32_t type);
// "VT_I32" and so on for the variable types and VT_JOB; "" for any other.
const char* type_name(int32_t type);
// The type of a variable type name ("VT_I32" ...); false for any other text.
bool type_from_name(const std::string& name, int32_t& type);

// Parses `text` as a value of `def` into `out`. Returns E_OK, E_INVALID for
// text that is not a value of the type, or E_RANGE for a value outside the
// type's range, the limits or the options. `out` is changed only on success.
int parse_value(const VarDef& def, const std::string& text, Value& out);

// The value of a new variable: 0, false, the empty text, no option, no bytes;
// a numeric default outside the limits is moved to the nearest limit, and a
// VT_SEL takes its first option.
Value default_value(const VarDef& def);

// The value as text.
std::string render(const VarDef& def, const Value& v);
// The value as raw bytes: the bytes of a VT_BIN, the text's bytes otherwise.
std::vector<uint8_t> raw_bytes(const VarDef& def, const Value& v);

}  // namespace tessaro::sim
