// One line of the simulator's trace (docs/trace.md) as a value: what the
// line says, written by format() and read back by parse(). The simulator
// writes its trace file and the lines of its HTTP API with format(); a
// recording of a controller's conversation is read with parse(). The two
// agree byte for byte: parse() accepts exactly the lines format() writes
// (format(parse(line)) == line), and refuses any other with the column and
// the key where it went wrong.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/reply.h"

namespace tessaro::trace {

// One field of a request: a number, or a text of any bytes (written as a
// JSON string when it is UTF-8, as {"hex": "..."} otherwise).
struct Arg {
    bool text = false;
    int64_t num = 0;  // when !text
    std::string str;  // when text
};

// A node a request names or addresses, by full name.
struct NodeRef {
    enum class State : uint8_t {
        Absent,   // the key is not written: the request is about no such node
        Unknown,  // null: an unknown handle
        Named,    // `name`, any bytes (hex when not UTF-8)
    };
    State state = State::Absent;
    std::string name;
};

enum class FaultKind : uint8_t { Result, Silent, Close, Delay };

// The scenario fault that hit a request: its position in the scenario's
// faults, from 0, and what it did.
struct FaultRef {
    uint64_t index = 0;
    FaultKind kind = FaultKind::Result;
};

struct TraceLine {
    // The line's number among those the simulator's HTTP API serves
    // (docs/control.md, GET /api/trace); written first, as "seq", when set.
    // The trace file's lines have none. parse sets or clears it for every
    // line, an event's included.
    std::optional<uint64_t> seq;
    // A recording's line (docs/record.md): the process and thread that made
    // the call, and when the call began (`time_us` is when it returned).
    // Each is written when set, in this order, after "seq".
    std::optional<uint32_t> pid, tid;
    std::optional<int64_t> begin_us;
    // Since the epoch, UTC; written within kMinTime..kMaxTime (years 0000 to
    // 9999), a time outside as the nearer bound.
    int64_t time_us = 0;
    std::string conn;     // "127.0.0.1:48858", "http 127.0.0.1:8080"; UTF-8

    // A pushed PlcChanged event with this state word. The request's members
    // below (`reply` and `record` among them) are then not written (nor
    // cleared by parse, which keeps their buffers for a later line).
    std::optional<uint32_t> plc_event;

    // Otherwise a request. Its operation number: written by the name of the
    // request operation that has it, as the number when none has.
    uint16_t op = 0;
    // A recording's call of an operation the library answers itself
    // (proto::local_op_name(op), always written by name): it has no reply
    // or record.
    bool local = false;
    // Whether the fields decoded: `args` then holds them in order; the line
    // has null for them otherwise.
    bool decoded = false;
    std::vector<Arg> args;
    NodeRef node;       // "node": the node the request names or addresses
    NodeRef newparent;  // "newparent": a move's new parent
    std::optional<int32_t> result;  // null: no reply was sent
    // What the reply carried after its result: the fields the operation's
    // row lists (proto::Operation::reply), in order. Written as "reply" when
    // a reply was sent, the operation has a row that lists reply fields, and
    // this is not empty (empty: not recorded, as in lines written before
    // replies were): exactly the row's fields, as the reply frame carries
    // them ('i' and 'u' cut to 32 bits, missing ones empty or zero, extra
    // ones left out). 's' is a text like the args; 'b' always
    // {"hex": "..."}. parse fills one element per field of the row.
    std::vector<proto::Field> reply;
    // The record that followed a result of 0 (monostate: none). Written as
    // "record" only after a result of 0 and when it is of the kind the
    // operation's row lists; a record of another kind is not written. A
    // JobInfo's names go in pairs, as many as the shorter list has (as in
    // the reply frame); floats in their shortest form, a non-finite one as
    // "nan", "inf" or "-inf" (any NaN reads back as the quiet NaN).
    proto::Record record;
    std::optional<FaultRef> fault;
    // A replay's request that no recorded call matched: what it found
    // (written as "divergence" when not empty; UTF-8).
    std::string divergence;
};

// The line, without its line end. `conn` must be UTF-8.
std::string format(const TraceLine& line);

// Reads one line (without its line end) into `out`; false with `error` set,
// naming the column (from 1) and the key, when it is not a line format()
// writes. `out` is then unspecified. Takes time linear in the line's size.
bool parse(std::string_view text, TraceLine& out, std::string& error);
std::optional<TraceLine> parse(std::string_view text, std::string& error);

// A time as the lines have it: "2026-12-07T21:03:04.123456Z".
constexpr size_t kTimeTextSize = 27;
constexpr int64_t kMinTime = -62167219200LL * 1000000;            // 0000-01-01T00:00:00.000000Z
constexpr int64_t kMaxTime = 253402300799LL * 1000000 + 999999;  // 9999-12-31T23:59:59.999999Z
// Writes `us` (since the epoch) into `out`; the text it returns is `out`'s.
// Date and time of day are formatted once a second per thread, the
// microseconds for every call.
std::string_view utc_text(int64_t us, char (&out)[kTimeTextSize + 1]);
// Reads such a text back; false when it is not one utc_text() writes.
bool parse_utc(std::string_view text, int64_t& us);

const char* fault_kind_name(FaultKind k);

}  // namespace tessaro::trace
