// The wire codec: frames are big-endian, every field type and record survives
// a round trip, truncated, mistyped and hostile input is refused, and frame
// I/O refuses bad length headers and keeps to its time bounds. Connections
// that break inside a frame are the hostile client test's.
// Decoded values are compared by encoding them again: the encoder is pinned
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

// A body of the fixed part and then `tail`.
std::vector<uint8_t> body_with(std::vector<uint8_t> tail) {
    std::vector<uint8_t> b = wire::Writer(wire::Kind::Request, 7, 10).body();
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

// A length header of `len` and then `body` bytes.
std::vector<uint8_t> header(uint32_t len, size_t body = 0) {
    std::vector<uint8_t> f(4 + body, 0x5a);
    wire::put_be32(f.data(), len);
    return f;
}

}  // namespace

TEST(Codec, FrameLayoutIsBigEndianAndDecodesToWhatWasEncoded) {
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
    wire::Reader r(w.body());
    std::string s;
    int32_t i = 0;
    int64_t q = 0;
    float f = 0;
    uint32_t u = 0, n = 0;
    std::vector<uint8_t> b;
    ASSERT_TRUE(r.str(s) && r.i32(i) && r.i64(q) && r.f32(f) && r.u32(u) && r.count(n) && r.bytes(b) && r.at_end());
    wire::Writer again(r.kind(), r.seq(), r.op());
    EXPECT_EQ(again.str(s).i32(i).i64(q).f32(f).u32(u).count(n).bytes(b.data(), b.size()).frame(), golden);
}

TEST(Codec, RecordsRoundTripAndEveryTruncationIsRefused) {
    check_record(proto::NodeInfo{-9, std::numeric_limits<int64_t>::min(), "sys.BoardAddr", "BoardAddr", "sys",
                                 std::string("a\0b", 3), "rw", "", 6, "string", -1.25f, 3.25e38f, 0xffffffffu, 7u});
    check_record(
        std::vector<proto::Device>{{4, "axis1", "ecat", 7, "failure", 1, -100, "lost", "deps", {"a2", ""}, {"bus"}}});
    check_record(proto::JobInfo{{"jobs.A", "jobs.B"}, {"A", "B"}, "jobs.B"});
    check_record(proto::JobNodeType{"jobs.types.Move", "Move", 1, 0, -1, 7});
    check_record(std::vector<proto::Driver>{{"ecat", "1.0", "Acme", "x"}, {"io", "", "", "y"}});
    // Lists of the smallest possible entries (every text empty, no sub-lists)
    // must not be taken for hostile counts.
    check_record(std::vector<proto::Device>(3));
    check_record(std::vector<proto::Driver>(4));
    check_record(proto::JobInfo{{"", ""}, {"", ""}, ""});
}

TEST(Codec, WrongTagsAndHostileLengthsAndCountsAreRefused) {
    const std::vector<uint8_t> five = wire::Writer(wire::Kind::Reply, 1, 10).i32(5).body();
    wire::Reader r(five);
    std::string s = "keep";
    int32_t i = 0;
    EXPECT_TRUE(!r.str(s) && !r.i32(i) && s == "keep");  // failed for good, even for the right type
    std::vector<uint8_t> b;
    uint32_t n = 9;
    EXPECT_FALSE(wire::Reader(body_with({'s', 0xff, 0xff, 0xff, 0xff, 'a'})).str(s));
    EXPECT_FALSE(wire::Reader(body_with({'b', 0x00, 0x00, 0x00, 0x02, 0x01})).bytes(b));
    // A count of entries that cannot be there, however small each would be.
    EXPECT_FALSE(wire::Reader(body_with({'n', 0x00, 0x00, 0x00, 0x01})).count(n));
    EXPECT_FALSE(wire::Reader(body_with({'n', 0x00, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0})).count(n, 5));
    EXPECT_EQ(n, 9u);
    EXPECT_FALSE(wire::Reader(std::vector<uint8_t>{2, 0, 0, 0, 1, 0}).ok());  // shorter than kind, seq and op
}

TEST(FrameIo, LengthHeaderUpToTheCapAndWaitsAreBounded) {
    int fd[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    std::vector<uint8_t> body;
    for (uint32_t len : {0u, wire::kMaxFrame + 1}) {
        ASSERT_EQ(::send(fd[1], header(len).data(), 4, 0), 4);
        EXPECT_EQ(wire::read_frame(fd[0], body, 1000), wire::IoStatus::BadFrame) << len;
    }
    const std::vector<uint8_t> frame = header(wire::kMaxFrame, wire::kMaxFrame);  // exactly the cap
    std::thread t([&] { EXPECT_EQ(wire::write_frame(fd[1], frame, 5000), wire::IoStatus::Ok); });
    EXPECT_EQ(wire::read_frame(fd[0], body, 5000), wire::IoStatus::Ok);
    t.join();
    EXPECT_EQ(body, std::vector<uint8_t>(frame.begin() + 4, frame.end()));
    EXPECT_EQ(wire::read_frame(fd[0], body, 150), wire::IoStatus::Timeout);
    // A frame that stops halfway times out as well,
    ASSERT_EQ(::send(fd[1], header(10, 1).data(), 5, 0), 5);
    EXPECT_EQ(wire::read_frame(fd[0], body, 150), wire::IoStatus::Timeout);
    // and so does writing to a peer that does not read.
    EXPECT_EQ(wire::write_frame(fd[1], frame, 200), wire::IoStatus::Timeout);
    ::close(fd[0]);
    ::close(fd[1]);
}
