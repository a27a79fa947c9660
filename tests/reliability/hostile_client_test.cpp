// The simulator process against clients that break the protocol or flood it
// with connections: it drops them, says why, and keeps serving the others.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include "scripted_peer.h"
#include "program.h"
#include "sim_process.h"
#include "support.h"

namespace {

using tessaro::sim::test::RawClient;
namespace wire = tessaro::wire;

std::vector<uint8_t> be32(uint32_t v) {
    std::vector<uint8_t> b(4);
    wire::put_be32(b.data(), v);
    return b;
}

// Lines of the simulator's log that contain `part`.
size_t lines_with(const tessaro::SimProcess& sim, const std::string& part) {
    std::string log = sim.log();
    size_t n = 0;
    for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
    return n;
}
// True when the log holds `n` such lines in time.
bool logged(const tessaro::SimProcess& sim, const std::string& part, size_t n = 1) {
    return peer::eventually([&] { return lines_with(sim, part) >= n; }, 10000);
}

TEST(HostileClient, BrokenFramesCloseOnlyTheirOwnConnection) {
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        bool hang_up;  // the client closes after sending
        const char* reason;
    };
    std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const Case cases[] = {
        {"garbage", {http.begin(), http.end()}, false, "bad frame header"},
        {"over the cap", be32(wire::kMaxFrame + 1), false, "bad frame header"},
        {"empty frame", be32(0), false, "bad frame header"},
        {"shorter than a frame's fixed part", {0, 0, 0, 3, 1, 0, 0}, false, "malformed frame"},
        {"truncated, then closed", {0, 0, 0, 20, 1, 0, 0, 0, 9}, true, "connection error"},
    };
    tessaro::SimProcess sim(TESSARO_SIM);
    ASSERT_TRUE(sim.listening());
    RawClient good;
    ASSERT_TRUE(good.connect(sim.port()) && good.hello());
    for (const Case& c : cases) {
        const std::string line = std::string("closed: ") + c.reason;
        const size_t before = lines_with(sim, line);
        for (bool after_hello : {false, true}) {
            RawClient bad;
            ASSERT_TRUE(bad.connect(sim.port()) && (!after_hello || bad.hello())) << c.what;
            ASSERT_TRUE(bad.send(c.bytes));
            if (c.hang_up) ::shutdown(bad.fd(), SHUT_WR);
            EXPECT_TRUE(bad.closed_within(2000)) << c.what;
            EXPECT_GT(good.get_node("sys.BoardAddr"), 0) << c.what;
        }
        EXPECT_TRUE(logged(sim, line, before + 2)) << c.what;
    }
    // A frame that stalls halfway holds up nobody else.
    RawClient stalled;
    ASSERT_TRUE(stalled.connect(sim.port()) && stalled.hello());
    ASSERT_TRUE(stalled.send({0, 0, 0, 20, 1}));
    EXPECT_GT(good.get_node("sys.BoardAddr"), 0);
}

TEST(HostileClient, FramesTrickledOneByteAtATimeAreServed) {
    tessaro::SimProcess sim(TESSARO_SIM);
    ASSERT_TRUE(sim.listening());
    RawClient slow;
    ASSERT_TRUE(slow.connect(sim.port()));
    std::vector<uint8_t> bytes = slow.request(tessaro::proto::Op::Hello).str(wire::kMagic).u32(1).frame();
    auto get = slow.request(tessaro::proto::Op::GetNode).str("sys.BoardAddr").frame();
    bytes.insert(bytes.end(), get.begin(), get.end());
    for (uint8_t b : bytes) {
        ASSERT_TRUE(slow.send({b}));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::vector<uint8_t> body;
    int32_t hello = -1, handle = -1;
    ASSERT_EQ(slow.read(body, 3000), wire::IoStatus::Ok);
    EXPECT_TRUE(wire::Reader(body).i32(hello) && hello == 0);
    ASSERT_EQ(slow.read(body, 3000), wire::IoStatus::Ok);
    EXPECT_TRUE(wire::Reader(body).i32(handle) && handle > 0);
}

// Past 256 connections the simulator closes new ones at once; those it has
// keep being served, and room comes back as the flood goes away.
TEST(HostileClient, ConnectionFloodBeyondTheCap) {
    constexpr int kFlood = 300, kCap = 256;
    tessaro::SimProcess sim(TESSARO_SIM);
    ASSERT_TRUE(sim.listening());
    RawClient good;
    ASSERT_TRUE(good.connect(sim.port()) && good.hello());
    {
        // Each completes its handshake (or is refused), so none of them
        // expires while the flood builds up.
        std::vector<RawClient> flood(kFlood);
        int refused = 0;
        for (auto& c : flood) refused += c.connect(sim.port()) && c.hello() ? 0 : 1;
        EXPECT_EQ(refused, kFlood - (kCap - 1));  // `good` holds one place
        EXPECT_TRUE(logged(sim, "refused: too many connections", kFlood - (kCap - 1)));
        EXPECT_GT(good.get_node("sys.BoardAddr"), 0);
    }
    RawClient later;
    EXPECT_TRUE(peer::eventually([&] { return later.connect(sim.port()) && later.hello(); }, 10000));
    EXPECT_GT(later.get_node("sys.BoardAddr"), 0);
}

}  // namespace
