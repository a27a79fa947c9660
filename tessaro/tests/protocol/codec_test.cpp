// The wire codec: frames are big-endian and laid out byte for byte as
// documented; a record survives a round trip and every truncation of it is
// refused; mistyped fields and counts of entries that cannot be there are
// refused; the frame reader takes a frame of the cap's length. Broken frames
// on a connection are the hostile client test's, time bounds the hostile
// controller test's, and hostile lengths the fuzzers'.
// Decoded records are compared by encoding them again: the encoder is pinned
// down byte for byte by the layout test, and a value decoded wrongly (or not
// at all) encodes differently.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame_io.h"
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

TEST(Codec, WrongTagsAndImpossibleCountsAreRefused) {
    const std::vector<uint8_t> five = wire::Writer(wire::Kind::Reply, 1, 10).i32(5).body();
    wire::Reader r(five);
    std::string s = "keep";
    int32_t i = 0;
    EXPECT_TRUE(!r.str(s) && !r.i32(i) && s == "keep");  // failed for good, even for the right type
    // A count of entries that cannot be there, however small each would be.
    const std::vector<uint8_t> two = wire::Writer(wire::Kind::Reply, 1, 10).count(2).u32(0).u32(0).body();
    uint32_t n = 0;
    EXPECT_TRUE(wire::Reader(two).count(n, 5) && n == 2);  // two entries of 5 bytes
    EXPECT_FALSE(wire::Reader(two).count(n, 6));
    EXPECT_FALSE(wire::Reader(wire::Writer(wire::Kind::Reply, 1, 10).count(1).body()).count(n));
    EXPECT_EQ(n, 2u);
}

TEST(FrameIo, FrameOfTheCapsLengthIsRead) {
    int fd[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    std::vector<uint8_t> body, frame(4 + wire::kMaxFrame, 0x5a);  // exactly the cap
    wire::put_be32(frame.data(), wire::kMaxFrame);
    std::thread t([&] { EXPECT_EQ(wire::write_frame(fd[1], frame, 5000), wire::IoStatus::Ok); });
    EXPECT_EQ(wire::read_frame(fd[0], body, 5000), wire::IoStatus::Ok);
    t.join();
    EXPECT_EQ(body, std::vector<uint8_t>(frame.begin() + 4, frame.end()));
    ::close(fd[0]);
    ::close(fd[1]);
}
