// A request's fields and a reply as values, with their encoding: the one
// place that turns a reply or a pushed event into a frame and back. The
// simulator carries replies as these values from the machine to the
// connection, the trace and in-process callers; only the connection
// encodes them.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "messages.h"
#include "operations.h"
#include "wire.h"

namespace tessaro::proto {

// One field of a request or a reply; its tag comes from the operation's row
// ('i', 'u': `num`; 's', 'b': `str`, any bytes).
struct Field {
    int64_t num = 0;
    std::string str;

    int32_t i() const { return static_cast<int32_t>(num); }
    uint32_t u() const { return static_cast<uint32_t>(num); }
    bool operator==(const Field& o) const { return num == o.num && str == o.str; }
    bool operator!=(const Field& o) const { return !(*this == o); }
};

// The record of a reply, in the order of RecordKind.
using Record = std::variant<std::monostate, NodeInfo, JobInfo, JobNodeType, std::vector<Driver>, Device,
                            std::vector<Device>>;
RecordKind record_kind(const Record& r);

struct Reply {
    int32_t result = 0;
    // The fields the operation's row lists after the result, in order.
    std::vector<Field> fields;
    // Only after a result of 0, of the operation's record kind.
    Record record;

};

// The reply frame (length header included) to a request of operation
// number `op` with sequence number `seq`. Fields missing from `r.fields` go
// out empty or zero; for a number that no operation has, only the result.
std::vector<uint8_t> encode_reply(uint16_t op, uint32_t seq, const Reply& r);
// The size of that frame's body, without building it.
size_t reply_body_size(const Operation& op, const Reply& r);

// Reads the rest of a reply frame (after its kind, seq and op) as `op`
// lays it out; false when a field is missing, of the wrong type, of another
// record, or when anything follows.
bool decode_reply(const Operation& op, wire::Reader& r, Reply& out);

// Decodes the fields of a request as `op` lays them out; false when a field
// is missing, of the wrong type, or when anything follows the last one.
bool decode_request(const Operation& op, wire::Reader& r, std::vector<Field>& out);

// The pushed PlcChanged event: the new state word (and a reserved word, 0).
std::vector<uint8_t> encode_plc_event(uint32_t word);
bool decode_plc_event(wire::Reader& r, uint32_t& word, uint32_t& reserved);

}  // namespace tessaro::proto
