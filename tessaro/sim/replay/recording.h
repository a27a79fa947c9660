// A recording loaded for replay (tessaro-sim --replay, docs/record.md): the
// file's text as it was read, and an index of its calls by the connection
// that made them. A call's line is parsed again only when it answers a
// request, so the index stays small beside the text: a few dozen bytes a
// call.
//
// Both kinds of file load: a recording written by zuna-record (its calls
// grouped by process and connection handle) and a simulator trace that
// carries replies (grouped by the client's address). The handshake, the
// control API's requests, the library's local calls and calls it refused
// without sending them are left out: the wire never carries them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/operations.h"
#include "protocol/reply.h"
#include "trace/trace_line.h"

namespace tessaro::sim::replay {

// A call whose answer is taken in order (it changes the machine or what the
// connection holds, starts a job, or registers for events), and not by when
// it was asked.
bool is_action(const proto::Operation& op);

// What a call is matched by: its operation and its fields, as one number.
// Equal calls have equal keys; unequal ones almost never do (a match is
// confirmed against the fields).
uint64_t call_key(uint16_t op, const std::vector<trace::Arg>& args);
uint64_t call_key(uint16_t op, const char* tags, const std::vector<proto::Field>& args);

struct RecordedCall {
    enum class Kind : uint8_t { Read, Action, Event };
    uint64_t offset = 0;  // of its line in the text
    uint32_t length = 0;
    uint32_t line = 0;    // from 1
    Kind kind = Kind::Read;
    uint16_t op = 0;
    uint32_t plc_word = 0;  // an event's
    int64_t begin_us = 0;   // when it was asked (a trace line's time)
    int64_t time_us = 0;    // when it was answered
    uint64_t key = 0;
};

// The calls one connection made, in the order it made them.
struct RecordedSession {
    std::string name;  // "process 4242 hc=0", or the client's address
    std::vector<RecordedCall> calls;
    std::vector<uint32_t> actions;                     // positions in `calls`
    std::vector<std::pair<uint64_t, uint32_t>> reads;  // (key, position), sorted
};

class Recording {
public:
    // Reads and checks the whole file before anything is served. False with
    // `error` ("FILE:LINE: what is wrong", or "FILE: ...") for a file that
    // cannot be read, is empty or cut short, holds a line that is no trace
    // line, mixes recordings and traces, or lacks the replies to answer with.
    bool load(const std::string& path, std::string& error);
    // The same for text already in memory; `name` stands for the file.
    bool load_text(std::string text, const std::string& name, std::string& error);

    const std::vector<RecordedSession>& sessions() const { return sessions_; }
    size_t calls() const { return calls_; }
    // The whole file, every line of which parsed.
    std::string_view whole_text() const { return text_; }
    std::string_view text(const RecordedCall& c) const { return std::string_view(text_).substr(c.offset, c.length); }
    // The call's line as a value (it parsed when loaded).
    trace::TraceLine line(const RecordedCall& c) const;
    // Bytes held: the text and the index.
    size_t footprint() const;

private:
    std::string text_;
    std::vector<RecordedSession> sessions_;
    size_t calls_ = 0;
};

}  // namespace tessaro::sim::replay
