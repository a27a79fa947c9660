// The simulator process against clients that break the protocol or flood it
// with connections: it drops them, says why, and keeps serving the others.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <map>

#include "scripted_peer.h"
#include "sim_process.h"
#include "support.h"

namespace {

using tessaro::sim::test::RawClient;

// True when the log holds `n` lines containing `part` in time.
bool logged(const tessaro::SimProcess& sim, const std::string& part, size_t n) {
    return peer::eventually([&] {
        std::string log = sim.log();
        size_t found = 0;
        for (size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++found;
        return found >= n;
    }, 10000);
}

TEST(HostileClient, BrokenFramesAndFloodsCloseOnlyTheirOwnConnections) {
    const std::string http = "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
    const std::tuple<const char*, std::vector<uint8_t>, bool, const char*> cases[] = {
        // what, the bytes, whether the client then hangs up, the reason logged
        {"garbage", {http.begin(), http.end()}, false, "bad frame header"},
        {"over the cap of 4 MiB", {0x00, 0x40, 0x00, 0x01}, false, "bad frame header"},
        {"empty frame", {0, 0, 0, 0}, false, "bad frame header"},
        {"shorter than a frame's fixed part", {0, 0, 0, 3, 1, 0, 0}, false, "malformed frame"},
        {"truncated, then closed", {0, 0, 0, 20, 1, 0, 0, 0, 9}, true, "connection error"},
    };
    tessaro::SimProcess sim(TESSARO_SIM, {"--http", "0"});  // its trace kept for the API all along
    ASSERT_TRUE(sim.listening());
    RawClient good;
    ASSERT_TRUE(good.connect(sim.port()) && good.hello());
    std::map<std::string, size_t> closes;  // by reason, so far
    for (const auto& [what, bytes, hang_up, reason] : cases) {
        for (bool after_hello : {false, true}) {
            RawClient bad;
            ASSERT_TRUE(bad.connect(sim.port()) && (!after_hello || bad.hello())) << what;
            ASSERT_TRUE(bad.send(bytes));
            if (hang_up) ::shutdown(bad.fd(), SHUT_WR);
            EXPECT_TRUE(bad.closed_within(2000)) << what;
            EXPECT_GT(good.get_node("sys.BoardAddr"), 0) << what;
        }
        EXPECT_TRUE(logged(sim, std::string("closed: ") + reason, closes[reason] += 2)) << what;
    }

    // Past 256 connections the simulator closes new ones at once; those it
    // has keep being served, and room comes back as the flood goes away.
    constexpr int kFlood = 300, kCap = 256;
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
}

}  // namespace
