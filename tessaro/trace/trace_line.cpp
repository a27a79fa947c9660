#include "trace/trace_line.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "protocol/messages.h"
#include "text/json_text.h"
#include "text/json_writer.h"

namespace tessaro::trace {

namespace {

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar, and
// back (H. Hinnant's algorithms: exact for any year, no table).
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    auto yoe = static_cast<unsigned>(y - era * 400);
    unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    auto doe = static_cast<unsigned>(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int64_t>(yoe) + era * 400 + (m <= 2);
}

bool leap(int64_t y) { return y % 4 == 0 && (y % 100 != 0 || y % 400 == 0); }

unsigned days_in_month(int64_t y, unsigned m) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29 : kDays[m - 1];
}

void put_digits(char* at, int64_t v, int width) {
    for (int i = width - 1; i >= 0; --i, v /= 10) at[i] = static_cast<char>('0' + v % 10);
}

// A text as a JSON string, or as {"hex": ...} when it is no UTF-8.
void hex_object(text::JsonWriter& w, std::string_view bytes) { w.object().key("hex").hex(bytes).end(); }

void text_or_hex(text::JsonWriter& w, const std::string& s) {
    if (text::is_utf8(s)) w.str(s);
    else hex_object(w, s);
}

void unsigned_num(text::JsonWriter& w, uint64_t v) {
    char buf[24];
    auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    w.raw(std::string_view(buf, static_cast<size_t>(end - buf)));
}

// The shortest text that reads back as the same float ("-0.0" for negative
// zero, which "-0" would not keep), into `buf`; a non-finite float, which no
// JSON number is, as the string "nan", "inf" or "-inf".
std::string_view real_text(float v, char (&buf)[32]) {
    if (std::isnan(v)) return "\"nan\"";
    if (std::isinf(v)) return v < 0 ? "\"-inf\"" : "\"inf\"";
    auto end = std::to_chars(buf, buf + sizeof buf, v).ptr;
    std::string_view t(buf, static_cast<size_t>(end - buf));
    return t == "-0" ? "-0.0" : t;
}

void real(text::JsonWriter& w, float v) {
    char buf[32];
    w.raw(real_text(v, buf));
}

void texts(text::JsonWriter& w, const std::vector<std::string>& v) {
    w.array();
    for (const auto& s : v) text_or_hex(w, s);
    w.end();
}

// Records: objects with the members of the struct, in its order.
void record(text::JsonWriter& w, const proto::NodeInfo& v) {
    w.object().key("handle").num(v.handle).key("nodeid").num(v.nodeid);
    text_or_hex(w.key("fullname"), v.fullname);
    text_or_hex(w.key("name"), v.name);
    text_or_hex(w.key("path"), v.path);
    text_or_hex(w.key("value"), v.value);
    text_or_hex(w.key("priv"), v.priv);
    text_or_hex(w.key("unit"), v.unit);
    w.key("type").num(v.type);
    text_or_hex(w.key("typestring"), v.typestring);
    real(w.key("min"), v.min);
    real(w.key("max"), v.max);
    w.key("index").num(v.index).key("flags").num(v.flags).end();
}

// The pairs the reply frame carries: as many as the shorter list has.
void record(text::JsonWriter& w, const proto::JobInfo& v) {
    size_t n = std::min(v.fulljobnames.size(), v.jobnames.size());
    w.object().key("jobs").array();
    for (size_t i = 0; i < n; ++i) {
        text_or_hex(w.object().key("fullname"), v.fulljobnames[i]);
        text_or_hex(w.key("name"), v.jobnames[i]);
        w.end();
    }
    text_or_hex(w.end().key("selectednode"), v.selectednode);
    w.end();
}

void record(text::JsonWriter& w, const proto::JobNodeType& v) {
    text_or_hex(w.object().key("fullname"), v.fullname);
    text_or_hex(w.key("name"), v.name);
    w.key("usercreatable").num(v.usercreatable).key("canmakelines").num(v.canmakelines);
    w.key("canpasslines").num(v.canpasslines).key("acceptssubnodes").num(v.acceptssubnodes).end();
}

void record(text::JsonWriter& w, const proto::Driver& v) {
    text_or_hex(w.object().key("name"), v.name);
    text_or_hex(w.key("version"), v.version);
    text_or_hex(w.key("vendor"), v.vendor);
    text_or_hex(w.key("comment"), v.comment);
    w.end();
}

void record(text::JsonWriter& w, const proto::Device& v) {
    w.object().key("handle").num(v.handle);
    text_or_hex(w.key("name"), v.name);
    text_or_hex(w.key("driver"), v.driver);
    w.key("state").num(v.state);
    text_or_hex(w.key("statestring"), v.statestring);
    w.key("staticdevice").num(v.staticdevice).key("stat_n").num(v.stat_n);
    text_or_hex(w.key("stat_str"), v.stat_str);
    text_or_hex(w.key("dependenciesvarname"), v.dependenciesvarname);
    texts(w.key("dependencies"), v.dependencies);
    texts(w.key("dependson"), v.dependson);
    w.end();
}

template <class T>
void record(text::JsonWriter& w, const std::vector<T>& v) {
    w.array();
    for (const T& e : v) record(w, e);
    w.end();
}

void record(text::JsonWriter&, const std::monostate&) {}

// About the bytes a record's line takes beyond its texts, for reserve().
constexpr size_t kRecordBytes = 320;

size_t text_bytes(const std::vector<std::string>& v) {
    size_t n = 0;
    for (const auto& s : v) n += s.size() + 4;
    return n;
}
size_t record_bytes(const std::monostate&) { return 0; }
size_t record_bytes(const proto::NodeInfo& v) {
    return kRecordBytes + v.fullname.size() + v.name.size() + v.path.size() + v.value.size() + v.priv.size() +
           v.unit.size() + v.typestring.size();
}
size_t record_bytes(const proto::JobInfo& v) {
    return kRecordBytes + 24 * v.jobnames.size() + text_bytes(v.fulljobnames) + text_bytes(v.jobnames) +
           v.selectednode.size();
}
size_t record_bytes(const proto::JobNodeType& v) { return kRecordBytes + v.fullname.size() + v.name.size(); }
size_t record_bytes(const proto::Driver& v) {
    return 64 + v.name.size() + v.version.size() + v.vendor.size() + v.comment.size();
}
size_t record_bytes(const proto::Device& v) {
    return kRecordBytes + v.name.size() + v.driver.size() + v.statestring.size() + v.stat_str.size() +
           v.dependenciesvarname.size() + text_bytes(v.dependencies) + text_bytes(v.dependson);
}
template <class T>
size_t record_bytes(const std::vector<T>& v) {
    size_t n = 2;
    for (const T& e : v) n += record_bytes(e);
    return n;
}

// The row of the operation whose reply the line holds, when a reply was
// sent and the operation has one.
const proto::Operation* replied(const TraceLine& l) { return l.result && !l.local ? proto::operation(l.op) : nullptr; }

bool writes_reply(const TraceLine& l, const proto::Operation* o) { return o && *o->reply && !l.reply.empty(); }

bool writes_record(const TraceLine& l, const proto::Operation* o) {
    return o && *l.result == 0 && l.record.index() != 0 && proto::record_kind(l.record) == o->record;
}

// Room for a line of about this size: one allocation for the usual line.
size_t line_bytes(const TraceLine& l, const proto::Operation* o) {
    size_t n = 192 + l.conn.size() + l.node.name.size() + l.newparent.name.size();
    if (l.plc_event) return n;
    for (const Arg& a : l.args) n += a.text ? a.str.size() + 4 : 21;
    if (writes_reply(l, o))
        for (const proto::Field& f : l.reply) n += 2 * f.str.size() + 13;  // hex for bytes
    if (writes_record(l, o)) n += std::visit([](const auto& v) { return record_bytes(v); }, l.record);
    return n;
}

void node_key(text::JsonWriter& w, const char* key, const NodeRef& n) {
    if (n.state == NodeRef::State::Absent) return;
    w.key(key);
    if (n.state == NodeRef::State::Unknown) w.null();
    else text_or_hex(w, n.name);
}

// ---- reading

// A strict reader of the one layout format() writes: no blanks, keys in
// their order, strings escaped as text::append_json_string escapes them,
// integers without leading zeros. Each step either takes exactly what
// format() would have written or fails, naming the column and the key.
class Reader {
public:
    Reader(std::string_view s, std::string& error) : s_(s), error_(error) {}

    bool fail(size_t at, const std::string& what) {
        error_ = "column " + std::to_string(at + 1) + ": ";
        if (!key_.empty()) error_ += "\"" + std::string(key_) + "\": ";
        error_ += what;
        return false;
    }
    bool fail(const std::string& what) { return fail(pos_, what); }

    bool at_end() const { return pos_ == s_.size(); }
    char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
    size_t pos() const { return pos_; }

    // Exactly `lit` next.
    bool expect(std::string_view lit) {
        if (s_.substr(pos_, lit.size()) != lit) {
            if (pos_ >= s_.size()) return fail("the line ends where " + std::string(lit) + " was expected");
            return fail("expected " + std::string(lit));
        }
        pos_ += lit.size();
        return true;
    }
    bool take(char c) {
        if (peek() != c || at_end()) return false;
        ++pos_;
        return true;
    }

    // `"key":`; the key is then named in the errors that follow.
    bool key(std::string_view& k) {
        size_t start = pos_;
        if (!take('"')) return fail("expected a key");
        size_t end = pos_;
        while (end < s_.size() && ((s_[end] >= 'a' && s_[end] <= 'z') || s_[end] == '_')) ++end;
        if (end == pos_ || end >= s_.size() || s_[end] != '"') return fail(start, "expected a key");
        k = s_.substr(pos_, end - pos_);
        pos_ = end + 1;
        key_ = {};
        if (!expect(":")) return false;
        key_ = k;
        return true;
    }
    // Exactly the key `k`.
    bool key_is(std::string_view k) {
        size_t start = pos_;
        std::string_view got;
        if (!key(got)) return false;
        if (got != k) {
            key_ = {};
            if (got == "seq") return fail(start, "the key \"seq\" out of order: it comes first");
            return fail(start, "expected the key \"" + std::string(k) + "\", not \"" + std::string(got) + "\"");
        }
        return true;
    }
    void no_key() { key_ = {}; }
    void name_key(std::string_view k) { key_ = k; }

    bool null() {
        if (s_.substr(pos_, 4) != "null") return false;
        pos_ += 4;
        return true;
    }

    // An integer from `min` to `max`, as std::to_chars writes it.
    template <class T>
    bool integer(T min, T max, T& out) {
        size_t start = pos_;
        size_t p = pos_;
        if (p < s_.size() && s_[p] == '-') ++p;
        size_t digits = p;
        while (p < s_.size() && s_[p] >= '0' && s_[p] <= '9') ++p;
        if (p == digits) return fail("expected a number");
        if (s_[digits] == '0' && (p - digits > 1 || digits > start)) return fail(start, "a number as it is never written");
        if (p < s_.size() && (s_[p] == '.' || s_[p] == 'e' || s_[p] == 'E')) return fail(start, "expected a whole number");
        T v{};
        auto [stop, ec] = std::from_chars(s_.data() + start, s_.data() + p, v);
        if (ec != std::errc() || stop != s_.data() + p || v < min || v > max)
            return fail(start, "the number is out of range");
        out = v;
        pos_ = p;
        return true;
    }

    // `"key":N,` when the line has the key next, N from 0 to UINT32_MAX;
    // `out` is reset when it has not.
    bool optional_number(std::string_view k, std::optional<uint32_t>& out) {
        out.reset();
        if (s_.substr(pos_, k.size() + 3) != "\"" + std::string(k) + "\":") return true;
        uint32_t v = 0;
        if (!key_is(k) || !integer<uint32_t>(0, UINT32_MAX, v)) return false;
        out = v;
        no_key();
        return expect(",");
    }

    // A time as utc_text() writes it.
    bool time(int64_t& us) {
        size_t at = pos_;
        std::string t;
        if (!string(t)) return false;
        if (!parse_utc(t, us)) return fail(at, "expected a time as \"2026-12-07T21:03:04.123456Z\"");
        no_key();
        return true;
    }

    // A JSON string whose text is UTF-8 and escaped as format() escapes it.
    bool string(std::string& out) {
        size_t start = pos_;
        if (!take('"')) return fail("expected a string");
        out.clear();
        size_t run = pos_;
        for (;;) {
            if (pos_ >= s_.size()) return fail(start, "the string is not closed");
            auto c = static_cast<unsigned char>(s_[pos_]);
            if (c == '"') break;
            if (c >= 0x20 && c != '\\' && c != 0x7F) {
                ++pos_;
                continue;
            }
            out.append(s_.data() + run, pos_ - run);
            if (c != '\\') return fail("a control character that is not escaped");
            if (!escape(out)) return false;
            run = pos_;
        }
        out.append(s_.data() + run, pos_ - run);
        ++pos_;
        if (!text::is_utf8(out)) return fail(start, "a string that is not UTF-8");
        return true;
    }

    // A text: a string, or {"hex":"..."} for one that is not UTF-8.
    bool text(std::string& out) {
        if (peek() == '"') return string(out);
        if (peek() != '{') return fail("expected a text");
        return hex(out, false);
    }

    // Bytes: always {"hex":"..."}, whatever they hold.
    bool bytes(std::string& out) {
        if (peek() == '"') return fail("bytes are written as {\"hex\": ...}, not as a string");
        if (peek() != '{') return fail("expected {\"hex\": ...}");
        return hex(out, true);
    }

    // A float as real_text() writes it: a number, or "nan", "inf", "-inf".
    bool real(float& out) {
        size_t start = pos_;
        if (peek() == '"') {
            static const std::pair<std::string_view, float> kWords[] = {
                {"\"nan\"", std::numeric_limits<float>::quiet_NaN()},
                {"\"inf\"", std::numeric_limits<float>::infinity()},
                {"\"-inf\"", -std::numeric_limits<float>::infinity()},
            };
            for (const auto& [word, v] : kWords)
                if (s_.substr(pos_, word.size()) == word) {
                    out = v;
                    pos_ += word.size();
                    return true;
                }
            return fail("a float is a number, or \"nan\", \"inf\" or \"-inf\"");
        }
        size_t p = pos_;
        while (p < s_.size() && ((s_[p] >= '0' && s_[p] <= '9') || s_[p] == '-' || s_[p] == '+' || s_[p] == '.' ||
                                 s_[p] == 'e' || s_[p] == 'E'))
            ++p;
        if (p == pos_) return fail("expected a number");
        float v = 0;
        auto [stop, ec] = std::from_chars(s_.data() + start, s_.data() + p, v);
        if (ec == std::errc::result_out_of_range) return fail(start, "the number is out of range of a float");
        char buf[32];
        std::string_view shortest = ec == std::errc() && stop == s_.data() + p ? real_text(v, buf) : "";
        if (shortest != s_.substr(start, p - start)) {
            if (shortest.empty()) return fail(start, "expected a number");
            return fail(start, "a float as it is never written: " + std::string(shortest) + " is its shortest form");
        }
        out = v;
        pos_ = p;
        return true;
    }

    // Appends to the error, once set.
    void add_to_error(std::string_view what) { error_ += what; }

private:
    // {"hex":"..."}: bytes of any value (`any`), or a text that is not UTF-8.
    bool hex(std::string& out, bool any) {
        size_t start = pos_;
        if (!take('{')) return fail("expected {");
        std::string_view outer = key_;
        std::string_view k;
        if (!key(k)) return false;
        if (k != "hex") {
            key_ = outer;
            if (any) return fail(start + 1, "bytes are {\"hex\": ...}, not an object with \"" + std::string(k) + "\"");
            return fail(start + 1, "a text is a string or {\"hex\": ...}, not an object with \"" + std::string(k) + "\"");
        }
        size_t digits = pos_;
        if (!take('"')) return fail("expected a string of hex digits");
        out.clear();
        while (pos_ + 1 < s_.size() && s_[pos_] != '"') {
            int hi = hex_digit(s_[pos_]), lo = hex_digit(s_[pos_ + 1]);
            if (hi < 0 || lo < 0) return fail("expected two upper-case hex digits");
            out += static_cast<char>(hi << 4 | lo);
            pos_ += 2;
        }
        if (!take('"')) return fail(pos_ < s_.size() ? "expected two upper-case hex digits" : "the string is not closed");
        if (!any && text::is_utf8(out)) return fail(digits, "a UTF-8 text is written as a string, not in hex");
        key_ = outer;
        return expect("}");
    }

    static int hex_digit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    // After the backslash at pos_: what append_json_string writes for a
    // character it escapes, and nothing else.
    bool escape(std::string& out) {
        size_t start = pos_;
        char e = pos_ + 1 < s_.size() ? s_[pos_ + 1] : '\0';
        switch (e) {
            case '"': out += '"'; pos_ += 2; return true;
            case '\\': out += '\\'; pos_ += 2; return true;
            case 'n': out += '\n'; pos_ += 2; return true;
            case 'r': out += '\r'; pos_ += 2; return true;
            case 't': out += '\t'; pos_ += 2; return true;
            case 'u': break;
            default: return fail(start, "an escape that is never written");
        }
        // \u00XX, upper-case, for the other control characters and DEL.
        if (s_.size() - pos_ < 6 || s_[pos_ + 2] != '0' || s_[pos_ + 3] != '0')
            return fail(start, "an escape that is never written");
        int hi = hex_digit(s_[pos_ + 4]), lo = hex_digit(s_[pos_ + 5]);
        if (hi < 0 || lo < 0) return fail(start, "an escape that is never written");
        int c = hi << 4 | lo;
        if ((c >= 0x20 && c != 0x7F) || c == '\n' || c == '\r' || c == '\t')
            return fail(start, "an escape that is never written");
        out += static_cast<char>(c);
        pos_ += 6;
        return true;
    }

    std::string_view s_;
    std::string& error_;
    size_t pos_ = 0;
    std::string_view key_;  // the key whose value is being read
};

bool read_node(Reader& r, NodeRef& n) {
    if (r.null()) {
        n.state = NodeRef::State::Unknown;
        n.name.clear();
        return true;
    }
    n.state = NodeRef::State::Named;
    return r.text(n.name);
}

bool read_op(Reader& r, TraceLine& l) {
    if (r.peek() == '"') {
        size_t start = r.pos();
        std::string name;
        proto::Op op{};
        if (!r.string(name)) return false;
        l.local = !proto::op_from_name(name, op);
        if (!l.local) l.op = static_cast<uint16_t>(op);
        else if (!proto::local_op_from_name(name, l.op))
            return r.fail(start, "no request operation is named \"" + name + "\"");
        return true;
    }
    size_t start = r.pos();
    uint16_t op = 0;
    if (!r.integer<uint16_t>(0, UINT16_MAX, op)) return false;
    if (proto::request_op_name(static_cast<proto::Op>(op)))
        return r.fail(start, "operation " + std::to_string(op) + " is written by its name");
    l.op = op;
    l.local = false;
    return true;
}

bool read_args(Reader& r, TraceLine& l) {
    if (r.null()) {
        l.decoded = false;
        l.args.clear();
        return true;
    }
    l.decoded = true;
    size_t n = 0;
    if (!r.expect("[")) return false;
    if (!r.take(']')) {
        do {
            if (n == l.args.size()) l.args.emplace_back();
            Arg& a = l.args[n++];
            char c = r.peek();
            a.text = c == '"' || c == '{';
            if (a.text) {
                if (!r.text(a.str)) return false;
            } else {
                a.str.clear();
                if (!r.integer<int64_t>(INT64_MIN, INT64_MAX, a.num)) return false;
            }
        } while (r.take(','));
        if (!r.expect("]")) return false;
    }
    l.args.resize(n);
    return true;
}

bool read_result(Reader& r, TraceLine& l) {
    if (r.null()) {
        l.result.reset();
        return true;
    }
    int32_t v = 0;
    if (!r.integer<int32_t>(INT32_MIN, INT32_MAX, v)) return false;
    l.result = v;
    return true;
}

// The name of an operation in errors: its name, or its number.
std::string op_text(const TraceLine& l) {
    if (l.local) return proto::local_op_name(l.op);
    const proto::Operation* o = proto::operation(l.op);
    return o ? o->name : "operation " + std::to_string(l.op);
}

std::string fields_text(size_t n) { return n == 1 ? "1 field" : std::to_string(n) + " fields"; }

bool read_reply(Reader& r, TraceLine& l) {
    const proto::Operation* o = replied(l);
    if (!l.result) return r.fail("no reply was sent (the result is null)");
    if (!o || !*o->reply) return r.fail("the reply of " + op_text(l) + " has no fields besides its result");
    const size_t want = std::strlen(o->reply);
    auto wrong_count = [&] {
        return r.fail("the reply of " + op_text(l) + " has " + fields_text(want) + " besides its result");
    };
    if (!r.expect("[")) return false;
    l.reply.resize(want);  // the buffers of a line read before are kept
    for (size_t i = 0; i < want; ++i) {
        if (r.peek() == ']') return wrong_count();
        if (i > 0 && !r.expect(",")) return false;
        proto::Field& f = l.reply[i];
        switch (o->reply[i]) {
            case 'i': {
                int32_t v = 0;
                if (!r.integer<int32_t>(INT32_MIN, INT32_MAX, v)) return false;
                f.num = v, f.str.clear();
                break;
            }
            case 'u': {
                uint32_t v = 0;
                if (!r.integer<uint32_t>(0, UINT32_MAX, v)) return false;
                f.num = v, f.str.clear();
                break;
            }
            case 's':
                f.num = 0;
                if (!r.text(f.str)) return false;
                break;
            default:  // 'b'
                f.num = 0;
                if (!r.bytes(f.str)) return false;
                break;
        }
    }
    if (r.peek() == ',') return wrong_count();
    return r.expect("]");
}

// Records, read into the values a line read before left where they are of
// the same kind, so that their buffers are kept.
bool next_key(Reader& r, const char* k) { return r.expect(",") && r.key_is(k); }

template <class T>
bool whole(Reader& r, T& v) {
    return r.integer<T>(std::numeric_limits<T>::min(), std::numeric_limits<T>::max(), v);
}

template <class T, class Read>
bool read_list(Reader& r, std::vector<T>& v, Read read) {
    if (!r.expect("[")) return false;
    size_t n = 0;
    if (!r.take(']')) {
        do {
            if (n == v.size()) v.emplace_back();
            if (!read(r, v[n++])) return false;
        } while (r.take(','));
        if (!r.expect("]")) return false;
    }
    v.resize(n);
    return true;
}

bool read_text(Reader& r, std::string& s) { return r.text(s); }

bool read_record(Reader& r, proto::NodeInfo& v) {
    return r.expect("{") && r.key_is("handle") && whole(r, v.handle) && next_key(r, "nodeid") && whole(r, v.nodeid) &&
           next_key(r, "fullname") && r.text(v.fullname) && next_key(r, "name") && r.text(v.name) &&
           next_key(r, "path") && r.text(v.path) && next_key(r, "value") && r.text(v.value) && next_key(r, "priv") &&
           r.text(v.priv) && next_key(r, "unit") && r.text(v.unit) && next_key(r, "type") && whole(r, v.type) &&
           next_key(r, "typestring") && r.text(v.typestring) && next_key(r, "min") && r.real(v.min) &&
           next_key(r, "max") && r.real(v.max) && next_key(r, "index") && whole(r, v.index) &&
           next_key(r, "flags") && whole(r, v.flags) && r.expect("}");
}

bool read_record(Reader& r, proto::JobInfo& v) {
    if (!r.expect("{") || !r.key_is("jobs") || !r.expect("[")) return false;
    size_t n = 0;
    if (!r.take(']')) {
        do {
            if (v.fulljobnames.size() <= n) v.fulljobnames.resize(n + 1);
            if (v.jobnames.size() <= n) v.jobnames.resize(n + 1);
            if (!r.expect("{") || !r.key_is("fullname") || !r.text(v.fulljobnames[n]) || !next_key(r, "name") ||
                !r.text(v.jobnames[n]) || !r.expect("}"))
                return false;
            ++n;
        } while (r.take(','));
        r.name_key("jobs");
        if (!r.expect("]")) return false;
    }
    v.fulljobnames.resize(n);
    v.jobnames.resize(n);
    return next_key(r, "selectednode") && r.text(v.selectednode) && r.expect("}");
}

bool read_record(Reader& r, proto::JobNodeType& v) {
    return r.expect("{") && r.key_is("fullname") && r.text(v.fullname) && next_key(r, "name") && r.text(v.name) &&
           next_key(r, "usercreatable") && whole(r, v.usercreatable) && next_key(r, "canmakelines") &&
           whole(r, v.canmakelines) && next_key(r, "canpasslines") && whole(r, v.canpasslines) &&
           next_key(r, "acceptssubnodes") && whole(r, v.acceptssubnodes) && r.expect("}");
}

bool read_record(Reader& r, proto::Driver& v) {
    return r.expect("{") && r.key_is("name") && r.text(v.name) && next_key(r, "version") && r.text(v.version) &&
           next_key(r, "vendor") && r.text(v.vendor) && next_key(r, "comment") && r.text(v.comment) &&
           r.expect("}");
}

bool read_record(Reader& r, proto::Device& v) {
    return r.expect("{") && r.key_is("handle") && whole(r, v.handle) && next_key(r, "name") && r.text(v.name) &&
           next_key(r, "driver") && r.text(v.driver) && next_key(r, "state") && whole(r, v.state) &&
           next_key(r, "statestring") && r.text(v.statestring) && next_key(r, "staticdevice") &&
           whole(r, v.staticdevice) && next_key(r, "stat_n") && whole(r, v.stat_n) && next_key(r, "stat_str") &&
           r.text(v.stat_str) && next_key(r, "dependenciesvarname") && r.text(v.dependenciesvarname) &&
           next_key(r, "dependencies") && read_list(r, v.dependencies, read_text) && next_key(r, "dependson") &&
           read_list(r, v.dependson, read_text) && r.expect("}");
}

template <class T>
bool read_record(Reader& r, std::vector<T>& v) {
    return read_list(r, v, [](Reader& rr, T& e) { return read_record(rr, e); });
}

template <class T>
bool read_record_as(Reader& r, proto::Record& rec) {
    if (!std::holds_alternative<T>(rec)) rec.template emplace<T>();
    return read_record(r, std::get<T>(rec));
}

const char* record_kind_name(proto::RecordKind k) {
    switch (k) {
        case proto::RecordKind::None: break;
        case proto::RecordKind::NodeInfo: return "a NodeInfo";
        case proto::RecordKind::JobInfo: return "a JobInfo";
        case proto::RecordKind::JobNodeType: return "a JobNodeType";
        case proto::RecordKind::DriverList: return "a list of drivers";
        case proto::RecordKind::Device: return "a Device";
        case proto::RecordKind::DeviceList: return "a list of devices";
    }
    return "none";
}

bool read_record(Reader& r, TraceLine& l) {
    const proto::Operation* o = replied(l);
    if (!l.result || *l.result != 0) return r.fail("a record follows only a result of 0");
    if (!o || o->record == proto::RecordKind::None)
        return r.fail("the reply of " + op_text(l) + " carries no record");
    bool ok = false;
    switch (o->record) {
        case proto::RecordKind::None: break;
        case proto::RecordKind::NodeInfo: ok = read_record_as<proto::NodeInfo>(r, l.record); break;
        case proto::RecordKind::JobInfo: ok = read_record_as<proto::JobInfo>(r, l.record); break;
        case proto::RecordKind::JobNodeType: ok = read_record_as<proto::JobNodeType>(r, l.record); break;
        case proto::RecordKind::DriverList: ok = read_record_as<std::vector<proto::Driver>>(r, l.record); break;
        case proto::RecordKind::Device: ok = read_record_as<proto::Device>(r, l.record); break;
        case proto::RecordKind::DeviceList: ok = read_record_as<std::vector<proto::Device>>(r, l.record); break;
    }
    if (!ok) r.add_to_error(std::string(" (the record of ") + o->name + " is " + record_kind_name(o->record) + ")");
    return ok;
}

bool read_fault(Reader& r, TraceLine& l) {
    FaultRef f;
    if (!r.expect("{") || !r.key_is("index") || !r.integer<uint64_t>(0, UINT64_MAX, f.index) || !r.expect(",") ||
        !r.key_is("kind"))
        return false;
    size_t start = r.pos();
    std::string kind;
    if (!r.string(kind)) return false;
    static const FaultKind kKinds[] = {FaultKind::Result, FaultKind::Silent, FaultKind::Close, FaultKind::Delay};
    bool known = false;
    for (FaultKind k : kKinds)
        if (kind == fault_kind_name(k)) f.kind = k, known = true;
    if (!known) return r.fail(start, "no fault kind is named \"" + kind + "\"");
    r.no_key();
    if (!r.expect("}")) return false;
    l.fault = f;
    return true;
}

// The members of a request after "conn", in the order format() writes them.
// A key added later goes in its place here, optional, and lines without it
// read as before (as "reply" and "record" were added).
// An optional member that the line leaves out is set as absent; a member
// that it has is read over what a line read before left, whose buffers are
// kept.
struct Member {
    const char* key;
    bool (*read)(Reader&, TraceLine&);
    void (*absent)(TraceLine&);  // null: required
};
void no_node(NodeRef& n) {
    n.state = NodeRef::State::Absent;
    n.name.clear();
}
const Member kRequestMembers[] = {
    {"op", read_op, nullptr},
    {"args", read_args, nullptr},
    {"node", [](Reader& r, TraceLine& l) { return read_node(r, l.node); }, [](TraceLine& l) { no_node(l.node); }},
    {"newparent", [](Reader& r, TraceLine& l) { return read_node(r, l.newparent); },
     [](TraceLine& l) { no_node(l.newparent); }},
    {"result", read_result, nullptr},
    {"reply", read_reply, [](TraceLine& l) { l.reply.clear(); }},
    {"record", [](Reader& r, TraceLine& l) { return read_record(r, l); },
     [](TraceLine& l) { l.record = std::monostate(); }},
    {"fault", read_fault, [](TraceLine& l) { l.fault.reset(); }},
    {"divergence", [](Reader& r, TraceLine& l) {
         return r.string(l.divergence) && (!l.divergence.empty() || r.fail("a divergence says what it found"));
     }, [](TraceLine& l) { l.divergence.clear(); }},
};

bool read_request(Reader& r, TraceLine& l) {
    l.plc_event.reset();
    const size_t count = sizeof kRequestMembers / sizeof kRequestMembers[0];
    size_t next = 0;  // members before it are read or skipped
    do {
        size_t start = r.pos();
        r.no_key();
        std::string_view k;
        if (!r.key(k)) return false;
        size_t i = next;
        while (i < count && k != kRequestMembers[i].key) ++i;
        r.no_key();
        if (i == count) {
            if (k == "seq") return r.fail(start, "the key \"seq\" out of order: it comes first");
            for (size_t j = 0; j < next; ++j)
                if (k == kRequestMembers[j].key) return r.fail(start, "the key \"" + std::string(k) + "\" out of order");
            return r.fail(start, "an unknown key \"" + std::string(k) + "\"");
        }
        for (size_t j = next; j < i; ++j) {
            if (!kRequestMembers[j].absent)
                return r.fail(start, "the key \"" + std::string(kRequestMembers[j].key) + "\" is missing");
            kRequestMembers[j].absent(l);
        }
        r.name_key(k);
        if (!kRequestMembers[i].read(r, l)) return false;
        next = i + 1;
    } while (r.take(','));
    r.no_key();
    for (size_t j = next; j < count; ++j) {
        if (!kRequestMembers[j].absent)
            return r.fail("the key \"" + std::string(kRequestMembers[j].key) + "\" is missing");
        kRequestMembers[j].absent(l);
    }
    return true;
}

}  // namespace

const char* fault_kind_name(FaultKind k) {
    switch (k) {
        case FaultKind::Result: return "result";
        case FaultKind::Silent: return "silent";
        case FaultKind::Close: return "close";
        case FaultKind::Delay: return "delay";
    }
    return "?";
}

std::string_view utc_text(int64_t us, char (&out)[kTimeTextSize + 1]) {
    us = us < kMinTime ? kMinTime : us > kMaxTime ? kMaxTime : us;
    int64_t secs = us / 1000000, micros = us % 1000000;
    if (micros < 0) micros += 1000000, secs -= 1;
    // Date and time of day change once a second: each thread formats them
    // then, and only the microseconds for every line.
    constexpr size_t kPrefix = 20;  // "2026-12-07T21:03:04."
    thread_local int64_t formatted = INT64_MIN;
    thread_local char prefix[kPrefix] = {};
    if (secs != formatted) {
        int64_t days = secs / 86400, rest = secs % 86400;
        if (rest < 0) rest += 86400, days -= 1;
        int64_t y = 0;
        unsigned m = 0, d = 0;
        civil_from_days(days, y, m, d);
        std::memcpy(prefix, "0000-00-00T00:00:00.", kPrefix);
        put_digits(prefix, y, 4);
        put_digits(prefix + 5, m, 2);
        put_digits(prefix + 8, d, 2);
        put_digits(prefix + 11, rest / 3600, 2);
        put_digits(prefix + 14, rest / 60 % 60, 2);
        put_digits(prefix + 17, rest % 60, 2);
        formatted = secs;
    }
    std::memcpy(out, prefix, kPrefix);
    put_digits(out + kPrefix, micros, 6);
    out[kTimeTextSize - 1] = 'Z';
    out[kTimeTextSize] = '\0';
    return std::string_view(out, kTimeTextSize);
}

bool parse_utc(std::string_view t, int64_t& us) {
    static const char kShape[] = "dddd-dd-ddTdd:dd:dd.ddddddZ";
    if (t.size() != kTimeTextSize) return false;
    for (size_t i = 0; i < kTimeTextSize; ++i) {
        bool digit = t[i] >= '0' && t[i] <= '9';
        if (kShape[i] == 'd' ? !digit : t[i] != kShape[i]) return false;
    }
    auto num = [&](size_t at, size_t n) {
        int64_t v = 0;
        for (size_t i = at; i < at + n; ++i) v = v * 10 + (t[i] - '0');
        return v;
    };
    int64_t y = num(0, 4), mo = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2), s = num(17, 2);
    if (mo < 1 || mo > 12 || d < 1 || d > days_in_month(y, static_cast<unsigned>(mo)) || h > 23 || mi > 59 || s > 59)
        return false;
    int64_t days = days_from_civil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
    us = ((days * 86400 + h * 3600 + mi * 60 + s) * 1000000) + num(20, 6);
    return true;
}

std::string format(const TraceLine& l) {
    const proto::Operation* o = replied(l);
    text::JsonWriter w;
    char time[kTimeTextSize + 1];
    w.reserve(line_bytes(l, o)).object();
    if (l.seq) unsigned_num(w.key("seq"), *l.seq);
    if (l.pid) w.key("pid").num(*l.pid);
    if (l.tid) w.key("tid").num(*l.tid);
    if (l.begin_us) w.key("begin").str(utc_text(*l.begin_us, time));
    w.key("time").str(utc_text(l.time_us, time)).key("conn").str(l.conn);
    if (l.plc_event) return w.key("event").str("PlcChanged").key("state").num(*l.plc_event).end().take();
    w.key("op");
    if (const char* name = l.local ? proto::local_op_name(l.op) : proto::request_op_name(static_cast<proto::Op>(l.op)))
        w.str(name);
    else w.num(l.op);
    w.key("args");
    if (l.decoded) {
        w.array();
        for (const Arg& a : l.args) {
            if (a.text) text_or_hex(w, a.str);
            else w.num(a.num);
        }
        w.end();
    } else {
        w.null();
    }
    node_key(w, "node", l.node);
    node_key(w, "newparent", l.newparent);
    w.key("result");
    if (l.result) w.num(*l.result);
    else w.null();
    if (writes_reply(l, o)) {
        static const proto::Field kEmpty;
        w.key("reply").array();
        size_t i = 0;
        for (const char* t = o->reply; *t; ++t, ++i) {
            const proto::Field& f = i < l.reply.size() ? l.reply[i] : kEmpty;
            switch (*t) {
                case 'i': w.num(f.i()); break;
                case 'u': w.num(f.u()); break;
                case 's': text_or_hex(w, f.str); break;
                default: hex_object(w, f.str); break;  // 'b'
            }
        }
        w.end();
    }
    if (writes_record(l, o)) {
        w.key("record");
        std::visit([&](const auto& v) { record(w, v); }, l.record);
    }
    if (l.fault) {
        unsigned_num(w.key("fault").object().key("index"), l.fault->index);
        w.key("kind").str(fault_kind_name(l.fault->kind)).end();
    }
    if (!l.divergence.empty()) w.key("divergence").str(l.divergence);
    return w.end().take();
}

bool parse(std::string_view text, TraceLine& out, std::string& error) {
    Reader r(text, error);
    if (!r.expect("{")) return false;
    if (text.substr(r.pos(), 6) == "\"seq\":") {
        uint64_t seq = 0;
        if (!r.key_is("seq") || !r.integer<uint64_t>(0, UINT64_MAX, seq)) return false;
        out.seq = seq;
        r.no_key();
        if (!r.expect(",")) return false;
    } else {
        out.seq.reset();
    }
    if (!r.optional_number("pid", out.pid) || !r.optional_number("tid", out.tid)) return false;
    out.begin_us.reset();
    if (text.substr(r.pos(), 8) == "\"begin\":") {
        int64_t begin = 0;
        if (!r.key_is("begin") || !r.time(begin) || !r.expect(",")) return false;
        out.begin_us = begin;
    }
    if (!r.key_is("time") || !r.time(out.time_us)) return false;
    if (!r.expect(",") || !r.key_is("conn") || !r.string(out.conn)) return false;
    r.no_key();
    if (!r.expect(",")) return false;
    if (text.substr(r.pos(), 8) == "\"event\":") {
        if (!r.key_is("event") || !r.expect("\"PlcChanged\"")) return false;
        uint32_t state = 0;
        if (!r.expect(",") || !r.key_is("state") || !r.integer<uint32_t>(0, UINT32_MAX, state)) return false;
        out.plc_event = state;
        r.no_key();
    } else if (!read_request(r, out)) {
        return false;
    }
    if (!r.expect("}")) return false;
    if (!r.at_end()) return r.fail("bytes after the line's object");
    return true;
}

std::optional<TraceLine> parse(std::string_view text, std::string& error) {
    TraceLine line;
    if (!parse(text, line, error)) return std::nullopt;
    return line;
}

}  // namespace tessaro::trace
