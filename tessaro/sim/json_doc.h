// A JSON document that remembers where each value stands in the source text,
// so that the scenario loader can point at the value that is wrong. Parsing
// goes through nlohmann-json's SAX interface with an input iterator that
// tracks how far the parser has read.
//
// The document is kept compact, since a scenario may be any JSON up to the
// size cap: every value is one 16-byte slot in one array, in source order. An
// array's items and an object's keys and values follow its slot, and a
// string's bytes follow its own slot, so a value needs no pointers and the
// whole document never takes more than about eight bytes per byte of text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::sim {

class JsonValue {
public:
    enum class Type : uint8_t { Null, Boolean, Integer, Real, String, Array, Object };

    Type type = Type::Null;
    // Byte offset of the value's first character (of the opening quote, for
    // an object's key).
    uint32_t offset = 0;

    bool is_number() const { return type == Type::Integer || type == Type::Real; }
    bool boolean() const { return u_.boolean; }
    int64_t integer() const { return u_.integer; }
    double real() const { return type == Type::Integer ? static_cast<double>(u_.integer) : u_.real; }
    std::string text() const;  // a string's (or key's) text

    // The slots that follow this value's own: its items, members or bytes.
    const JsonValue* next() const { return this + span(); }

    // An array's items, in order.
    class Items {
    public:
        class iterator {
        public:
            explicit iterator(const JsonValue* p) : p_(p) {}
            const JsonValue& operator*() const { return *p_; }
            iterator& operator++() {
                p_ = p_->next();
                return *this;
            }
            bool operator!=(const iterator& o) const { return p_ != o.p_; }

        private:
            const JsonValue* p_;
        };
        explicit Items(const JsonValue& v) : v_(v) {}
        iterator begin() const { return iterator(&v_ + 1); }
        iterator end() const { return iterator(v_.next()); }

    private:
        const JsonValue& v_;
    };
    Items items() const { return Items(*this); }

    // An object's members, in source order: each key (a string) is followed
    // by its value.
    struct Member {
        const JsonValue& key;
        const JsonValue& value;
    };
    class Members {
    public:
        class iterator {
        public:
            explicit iterator(const JsonValue* key) : key_(key) {}
            Member operator*() const { return Member{*key_, *key_->next()}; }
            iterator& operator++() {
                key_ = key_->next()->next();
                return *this;
            }
            bool operator!=(const iterator& o) const { return key_ != o.key_; }

        private:
            const JsonValue* key_;
        };
        explicit Members(const JsonValue& v) : v_(v) {}
        iterator begin() const { return iterator(&v_ + 1); }
        iterator end() const { return iterator(v_.next()); }

    private:
        const JsonValue& v_;
    };
    Members members() const { return Members(*this); }

private:
    friend class JsonBuilder;
    uint32_t span() const { return type >= Type::String && type <= Type::Object ? u_.c.span : 1; }

    union {
        bool boolean;
        int64_t integer;
        double real;
        struct {
            uint32_t count;  // items, members or bytes
            uint32_t span;   // slots from this one to the next value
        } c;
    } u_{};
};

static_assert(sizeof(JsonValue) == 16, "a JSON value is one 16-byte slot");

class JsonDoc {
public:
    // The top-level value (only after a successful parse).
    const JsonValue& root() const { return slots_.front(); }

private:
    friend bool parse_json(const std::string&, JsonDoc&, size_t&, std::string&);
    std::vector<JsonValue> slots_;
};

// Parses `text`; on a syntax error returns false with the offset of the
// offending character and nlohmann's description of the error. Running out
// of memory throws std::bad_alloc.
bool parse_json(const std::string& text, JsonDoc& out, size_t& error_offset, std::string& error);

// Line and column (both from 1; the column counts UTF-8 characters) of a byte
// offset; an offset at the end of the text is the position after its last
// character.
void line_column(const std::string& text, size_t offset, size_t& line, size_t& column);

// The name of a JSON type for messages ("a string", "an object").
const char* json_type_name(JsonValue::Type t);

}  // namespace tessaro::sim
