// The wire codec: frames are big-endian and laid out byte for byte as
// documented; a record survives a round trip, every truncation of it is
// refused, and lists of the smallest entries are no hostile count. Broken
// frames on a connection are the hostile client test's; mistyped fields,
// impossible counts, time bounds and oversized frames the hostile controller
// test's; hostile lengths the fuzzers'.
// Decoded records are compared by encoding them again: the encoder is pinned
// down byte for byte by the layout test, and a value decoded wrongly (or not
// at all) encodes differently.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "protocol/wire.h"

namespace proto = tessaro::proto;
namespace wire = tessaro::wire;

namespace {

// A value as the only content of a reply body.
template <typename T>
std::vector<uint8_t> encode(const T& v) {
    wire::Writer w(wire::Kind::Reply, 1, static_cast<uint16_t>(proto::Op::GetNodeInfo));
    proto::put(w, v);
    return w.body();
}

// A record survives a round trip, and every cut of its encoding inside the
// fields is refused and leaves the output as it was.
template <typename T>
void check_record(const T& v) {
    const std::vector<uint8_t> body = encode(v), untouched = encode(T{});
    wire::Reader r(body);
    T out{};
    EXPECT_TRUE(proto::get(r, out) && r.at_end());
    EXPECT_EQ(encode(out), body);
    for (size_t len = 7; len < body.size(); ++len) {
        wire::Reader cut(body.data(), len);
        T part{};
        EXPECT_FALSE(proto::get(cut, part)) << "cut to " << len << " of " << body.size();
        EXPECT_EQ(encode(part), untouched) << "cut to " << len;
    }
}

}  // namespace

TEST(Codec, FrameLayoutIsBigEndian) {
    wire::Writer w(wire::Kind::Request, 0x01020304u, static_cast<uint16_t>(proto::Op::GetNode));
    w.str("ab").i32(-2).i64(0x0102030405060708LL).f32(1.0f).u32(0xa0b0c0d0u).count(3).bytes("\x7f", 1);
    const std::vector<uint8_t> golden = {
        0x00, 0x00, 0x00, 0x31,                                // body length 49
        0x01, 0x01, 0x02, 0x03, 0x04, 0x00, 0x0a,              // request, seq, op 10
        's',  0x00, 0x00, 0x00, 0x02, 'a',  'b',               // string
        'i',  0xff, 0xff, 0xff, 0xfe,                          // i32 -2
        'q',  0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // i64
        'f',  0x3f, 0x80, 0x00, 0x00,                          // f32 1.0
        'u',  0xa0, 0xb0, 0xc0, 0xd0,                          // u32
        'n',  0x00, 0x00, 0x00, 0x03,                          // count 3
        'b',  0x00, 0x00, 0x00, 0x01, 0x7f,                    // bytes
    };
    EXPECT_EQ(w.frame(), golden);
}

TEST(Codec, RecordsRoundTripAndEveryTruncationIsRefused) {
    check_record(proto::NodeInfo{-9, std::numeric_limits<int64_t>::min(), "sys.BoardAddr", "BoardAddr", "sys",
                                 std::string("a\0b", 3), "rw", "", 6, "string", -1.25f, 3.25e38f, 0xffffffffu, 7u});
    check_record(
        std::vector<proto::Device>{{4, "axis1", "ecat", 7, "failure", 1, -100, "lost", "deps", {"a2", ""}, {"bus"}}});
    check_record(proto::JobInfo{{"jobs.A", "jobs.B"}, {"A", "B"}, "jobs.B"});
    // Lists of the smallest possible entries (every text empty, no sub-lists)
    // must not be taken for hostile counts.
    check_record(std::vector<proto::Device>(3));
    check_record(std::vector<proto::Driver>(4));
    check_record(proto::JobInfo{{"", ""}, {"", ""}, ""});
}
