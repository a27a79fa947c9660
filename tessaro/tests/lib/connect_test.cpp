// DetectRemoteController: address forms, the Hello exchange and its time
// bound.
#include <gtest/gtest.h>

#include "scripted_peer.h"

using namespace peer;

// A port in the address wins over the argument, even an invalid one; without
// one the argument counts, and no host is 127.0.0.1. A bare IPv6 literal has
// no port part.
TEST(Connect, AddressFormsReachTheControllerAndMalformedOnesFailWithoutTraffic) {
    ScriptedPeer p, p6({}, Hello::Accept, true);
    const std::string port = std::to_string(p.port()), port6 = std::to_string(p6.port());
    std::vector<std::pair<std::string, int>> forms = {
        {"127.0.0.1:" + port, 0}, {"localhost:" + port, 1610}, {"127.0.0.1:0" + port, -1},
        {":" + port, 1610},       {"127.0.0.1", p.port()},     {"", p.port()},
    };
    if (p6.port() != 0)  // else no IPv6 loopback on this machine
        forms.insert(forms.end(), {{"[::1]:" + port6, 1}, {"[::1]", p6.port()}, {"::1", p6.port()},
                                   {"0:0:0:0:0:0:0:1", p6.port()}});
    for (const auto& [address, port_arg] : forms)
        EXPECT_GE(DetectRemoteController(address.c_str(), port_arg), 0) << address;
    EXPECT_GE(DetectRemoteController(nullptr, p.port()), 0);

    const std::string bad[] = {
        "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:999999999999", "127.0.0.1:" + port + "x",
        "[::1", "[::1]x" + port6, "[::1]:", "::1]", "[]:" + port, "[[::1]]", "[127.0.0.1]:" + port,
        "999.1.1.1:" + port, "bad host:" + port, "host\n:" + port, "1:2:3:4:5:6:7:8:9", "127.0.0.1:12:" + port,
    };
    for (const std::string& a : bad) EXPECT_EQ(DetectRemoteController(a.c_str(), p.port()), -1) << a;
    // The port argument counts only without a port in the address.
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 0), -1);
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 65536), -1);
    EXPECT_EQ(p.requests(Op::Hello), 7u);
}

TEST(Connect, RefusedOrSilentControllerGivesMinusOneInTime) {
    for (Hello hello : {Hello::Refuse, Hello::WrongVersion, Hello::Silent}) {
        ScriptedPeer p({}, hello);
        Stopwatch sw;
        EXPECT_EQ(p.connect(), -1) << static_cast<int>(hello);
        EXPECT_LT(sw.ms(), 2500);
        EXPECT_EQ(p.requests(Op::Hello), 1u);
    }
}
