// The wire codec: field and record round trips, the byte layout, and the
// refusal of truncated, mistyped and hostile input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "protocol/wire.h"

namespace proto = tessaro::proto;
namespace wire = tessaro::wire;
using proto::Op;

namespace {

wire::Writer request(Op op = Op::GetNode, uint32_t seq = 7) {
    return wire::Writer(wire::Kind::Request, seq, static_cast<uint16_t>(op));
}

uint32_t float_bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

proto::NodeInfo sample_node() {
    proto::NodeInfo n;
    n.handle = -9;
    n.nodeid = std::numeric_limits<int64_t>::min();
    n.fullname = "sys.BoardAddr";
    n.name = "BoardAddr";
    n.path = "sys";
    n.value = std::string("a\0b", 3);
    n.priv = "rw";
    n.unit = "";
    n.type = 6;
    n.typestring = "string";
    n.min = -1.25f;
    n.max = 3.25e38f;
    n.index = 0xffffffffu;
    n.flags = 0x12345678u;
    return n;
}

proto::Device sample_device() {
    proto::Device d;
    d.handle = 4;
    d.name = "axis1";
    d.driver = "ecat";
    d.state = 7;
    d.statestring = "activating failure";
    d.staticdevice = 1;
    d.stat_n = -100;
    d.stat_str = "lost";
    d.dependenciesvarname = "dev.axis1.deps";
    d.dependencies = {"axis2", ""};
    d.dependson = {"bus"};
    return d;
}

// Encodes a value as the only content of a reply body.
template <typename T>
std::vector<uint8_t> encode(const T& v) {
    wire::Writer w(wire::Kind::Reply, 1, static_cast<uint16_t>(Op::GetNodeInfo));
    proto::put(w, v);
    return w.body();
}

template <typename T>
bool decode(const std::vector<uint8_t>& body, T& out) {
    wire::Reader r(body);
    return proto::get(r, out) && r.at_end();
}

bool operator==(const proto::NodeInfo& a, const proto::NodeInfo& b) {
    return a.handle == b.handle && a.nodeid == b.nodeid && a.fullname == b.fullname && a.name == b.name &&
           a.path == b.path && a.value == b.value && a.priv == b.priv && a.unit == b.unit && a.type == b.type &&
           a.typestring == b.typestring && float_bits(a.min) == float_bits(b.min) &&
           float_bits(a.max) == float_bits(b.max) && a.index == b.index && a.flags == b.flags;
}

bool operator==(const proto::Device& a, const proto::Device& b) {
    return a.handle == b.handle && a.name == b.name && a.driver == b.driver && a.state == b.state &&
           a.statestring == b.statestring && a.staticdevice == b.staticdevice && a.stat_n == b.stat_n &&
           a.stat_str == b.stat_str && a.dependenciesvarname == b.dependenciesvarname &&
           a.dependencies == b.dependencies && a.dependson == b.dependson;
}

}  // namespace

TEST(Codec, EveryFieldTypeRoundTripsItsExtremes) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::string big(300, 'z');
    const uint8_t raw[] = {0x00, 0xff, 0x80};
    auto w = request(Op::GetNode, 0xfedcba98u);
    w.i32(std::numeric_limits<int32_t>::min()).i32(-1).i32(std::numeric_limits<int32_t>::max());
    w.i64(std::numeric_limits<int64_t>::min()).i64(0x0102030405060708LL).i64(-1);
    w.u32(0).u32(0xffffffffu);
    w.f32(-0.0f).f32(std::numeric_limits<float>::infinity()).f32(nan).f32(1.5f);
    w.str("").str(std::string("n\0ul", 4)).str(big);
    w.bytes(raw, sizeof raw).bytes(nullptr, 0);
    w.count(0).count(0xffffffffu);

    wire::Reader r(w.body());
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.kind(), wire::Kind::Request);
    EXPECT_EQ(r.seq(), 0xfedcba98u);
    EXPECT_EQ(r.op(), static_cast<uint16_t>(Op::GetNode));
    int32_t i[3];
    int64_t q[3];
    uint32_t u[2];
    float f[4];
    std::string s[3];
    std::vector<uint8_t> b[2];
    uint32_t n0 = 1;
    for (auto& x : i) ASSERT_TRUE(r.i32(x));
    for (auto& x : q) ASSERT_TRUE(r.i64(x));
    for (auto& x : u) ASSERT_TRUE(r.u32(x));
    for (auto& x : f) ASSERT_TRUE(r.f32(x));
    for (auto& x : s) ASSERT_TRUE(r.str(x));
    for (auto& x : b) ASSERT_TRUE(r.bytes(x));
    ASSERT_TRUE(r.count(n0));
    EXPECT_EQ(i[0], std::numeric_limits<int32_t>::min());
    EXPECT_EQ(i[1], -1);
    EXPECT_EQ(i[2], std::numeric_limits<int32_t>::max());
    EXPECT_EQ(q[0], std::numeric_limits<int64_t>::min());
    EXPECT_EQ(q[1], 0x0102030405060708LL);
    EXPECT_EQ(q[2], -1);
    EXPECT_EQ(u[0], 0u);
    EXPECT_EQ(u[1], 0xffffffffu);
    EXPECT_EQ(float_bits(f[0]), float_bits(-0.0f));
    EXPECT_TRUE(std::isinf(f[1]));
    EXPECT_EQ(float_bits(f[2]), float_bits(nan));
    EXPECT_EQ(f[3], 1.5f);
    EXPECT_EQ(s[0], "");
    EXPECT_EQ(s[1], std::string("n\0ul", 4));
    EXPECT_EQ(s[2], big);
    EXPECT_EQ(b[0], std::vector<uint8_t>(raw, raw + 3));
    EXPECT_TRUE(b[1].empty());
    EXPECT_EQ(n0, 0u);
    // A count larger than what is left is refused even at the very end.
    uint32_t n1 = 5;
    EXPECT_FALSE(r.count(n1));
    EXPECT_EQ(n1, 5u);
}

TEST(Codec, FrameLayoutIsBigEndian) {
    auto w = request(Op::GetNode, 0x01020304u);
    w.str("ab").i32(-2).i64(0x0102030405060708LL).f32(1.0f).u32(0xa0b0c0d0u);
    const std::vector<uint8_t> golden = {
        0x00, 0x00, 0x00, 0x26,                          // body length 38
        0x01,                                            // request
        0x01, 0x02, 0x03, 0x04,                          // seq
        0x00, 0x0a,                                      // op 10, GetNode
        's',  0x00, 0x00, 0x00, 0x02, 'a',  'b',         // string
        'i',  0xff, 0xff, 0xff, 0xfe,                    // i32 -2
        'q',  0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
        'f',  0x3f, 0x80, 0x00, 0x00,                    // 1.0f
        'u',  0xa0, 0xb0, 0xc0, 0xd0,
    };
    EXPECT_EQ(w.frame(), golden);
    EXPECT_EQ(wire::get_be32(golden.data()), 38u);
}

TEST(Codec, RecordsRoundTrip) {
    proto::NodeInfo n;
    ASSERT_TRUE(decode(encode(sample_node()), n));
    EXPECT_TRUE(n == sample_node());

    proto::JobInfo j;
    j.fulljobnames = {"jobs.A", "jobs.B"};
    j.jobnames = {"A", "B"};
    j.selectednode = "jobs.B";
    proto::JobInfo j2;
    ASSERT_TRUE(decode(encode(j), j2));
    EXPECT_EQ(j2.fulljobnames, j.fulljobnames);
    EXPECT_EQ(j2.jobnames, j.jobnames);
    EXPECT_EQ(j2.selectednode, j.selectednode);

    proto::JobNodeType t{"jobs.types.Move", "Move", 1, 0, -1, 7};
    proto::JobNodeType t2;
    ASSERT_TRUE(decode(encode(t), t2));
    EXPECT_EQ(t2.fullname, t.fullname);
    EXPECT_EQ(t2.name, t.name);
    EXPECT_EQ(t2.usercreatable, 1);
    EXPECT_EQ(t2.canmakelines, 0);
    EXPECT_EQ(t2.canpasslines, -1);
    EXPECT_EQ(t2.acceptssubnodes, 7);

    std::vector<proto::Driver> drivers = {{"ecat", "1.0", "Acme", "x"}, {"", "", "", ""}};
    std::vector<proto::Driver> drivers2;
    ASSERT_TRUE(decode(encode(drivers), drivers2));
    ASSERT_EQ(drivers2.size(), 2u);
    EXPECT_EQ(drivers2[0].vendor, "Acme");
    EXPECT_EQ(drivers2[1].name, "");

    proto::Device d;
    ASSERT_TRUE(decode(encode(sample_device()), d));
    EXPECT_TRUE(d == sample_device());
}

TEST(Codec, ListsOfSmallestEntriesAreAccepted) {
    // Entries with every text empty and no sub-lists are as small as entries
    // get; a list of them must not be mistaken for a hostile count.
    std::vector<proto::Device> devices(3);
    std::vector<proto::Device> devices2;
    ASSERT_TRUE(decode(encode(devices), devices2));
    ASSERT_EQ(devices2.size(), 3u);
    EXPECT_TRUE(devices2[2] == proto::Device());

    std::vector<proto::Driver> drivers(4), drivers2;
    ASSERT_TRUE(decode(encode(drivers), drivers2));
    EXPECT_EQ(drivers2.size(), 4u);

    proto::JobInfo j, j2;
    j.fulljobnames = {"", ""};
    j.jobnames = {"", ""};
    ASSERT_TRUE(decode(encode(j), j2));
    EXPECT_EQ(j2.jobnames.size(), 2u);

    std::vector<proto::Device> none;
    ASSERT_TRUE(decode(encode(std::vector<proto::Device>{}), none));
    EXPECT_TRUE(none.empty());
}

TEST(Codec, EveryTruncationOfARecordIsRefusedAndLeavesTheOutputAlone) {
    std::vector<proto::Device> list = {sample_device(), sample_device()};
    const std::vector<std::vector<uint8_t>> bodies = {encode(sample_node()), encode(sample_device()), encode(list)};
    for (size_t which = 0; which < bodies.size(); ++which) {
        const auto& full = bodies[which];
        for (size_t len = 7; len < full.size(); ++len) {
            std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<long>(len));
            wire::Reader r(cut);
            bool ok = true;
            if (which == 0) {
                proto::NodeInfo n;
                n.name = "untouched";
                ok = proto::get(r, n);
                EXPECT_EQ(n.name, "untouched");
            } else if (which == 1) {
                proto::Device d;
                d.name = "untouched";
                ok = proto::get(r, d);
                EXPECT_EQ(d.name, "untouched");
            } else {
                std::vector<proto::Device> v(1);
                ok = proto::get(r, v);
                EXPECT_EQ(v.size(), 1u);
            }
            EXPECT_FALSE(ok) << "record " << which << " cut to " << len << " bytes";
            EXPECT_FALSE(r.ok());
        }
    }
}

TEST(Codec, WrongTagFailsAndTheReaderStaysFailed) {
    auto w = request();
    w.i32(5).str("x");
    wire::Reader r(w.body());
    uint32_t u = 77;
    EXPECT_FALSE(r.u32(u));  // an i32 is no u32
    EXPECT_EQ(u, 77u);
    int32_t i = 0;
    EXPECT_FALSE(r.i32(i));  // sticky, even for the right type
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(r.at_end());
    EXPECT_EQ(r.remaining(), 0u);

    std::string s = "keep";
    int64_t q = 0;
    float f = 0;
    std::vector<uint8_t> b;
    uint32_t n = 0;
    EXPECT_FALSE(wire::Reader(w.body()).str(s));
    EXPECT_FALSE(wire::Reader(w.body()).i64(q));
    EXPECT_FALSE(wire::Reader(w.body()).f32(f));
    EXPECT_FALSE(wire::Reader(w.body()).bytes(b));
    EXPECT_FALSE(wire::Reader(w.body()).count(n));
    EXPECT_EQ(s, "keep");
}

TEST(Codec, HostileLengthsAndCountsAreRefused) {
    auto body_with = [](std::vector<uint8_t> tail) {
        auto body = request().body();
        body.insert(body.end(), tail.begin(), tail.end());
        return body;
    };
    std::string s;
    std::vector<uint8_t> b;
    uint32_t n = 0;
    // Lengths far past the body.
    EXPECT_FALSE(wire::Reader(body_with({'s', 0xff, 0xff, 0xff, 0xff, 'a'})).str(s));
    EXPECT_FALSE(wire::Reader(body_with({'b', 0x00, 0x00, 0x00, 0x02, 0x01})).bytes(b));
    EXPECT_FALSE(wire::Reader(body_with({'s', 0x00, 0x00})).str(s));  // cut inside the length
    // A count of entries that cannot be there, however small each would be.
    EXPECT_FALSE(wire::Reader(body_with({'n', 0x00, 0x00, 0x00, 0x02, 0x00})).count(n));
    EXPECT_FALSE(wire::Reader(body_with({'n', 0x00, 0x00, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0})).count(n, 5));
    proto::JobInfo j;
    EXPECT_FALSE(decode(body_with({'n', 0x7f, 0xff, 0xff, 0xff}), j));
    std::vector<proto::Device> devices;
    EXPECT_FALSE(decode(body_with({'n', 0xff, 0xff, 0xff, 0xff}), devices));
    std::vector<proto::Driver> drivers;
    EXPECT_FALSE(decode(body_with({'n', 0x00, 0x01, 0x00, 0x00}), drivers));
}

TEST(Codec, BodyShorterThanItsFixedPartIsRefused) {
    const std::vector<uint8_t> six = {2, 0, 0, 0, 1, 0};
    wire::Reader r(six);
    EXPECT_FALSE(r.ok());
    int32_t v = 0;
    EXPECT_FALSE(r.i32(v));
    EXPECT_FALSE(wire::Reader(nullptr, 0).ok());
    const std::vector<uint8_t> seven = {2, 0, 0, 0, 1, 0, 10};
    EXPECT_TRUE(wire::Reader(seven).at_end());
}
