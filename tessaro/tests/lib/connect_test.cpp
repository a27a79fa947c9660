// DetectRemoteController: address forms, the Hello exchange and its time
// bound.
#include <gtest/gtest.h>

#include <tuple>
#include <utility>

#include "scripted_peer.h"

using namespace peer;

TEST(Connect, AddressFormsReachTheController) {
    ScriptedPeer p;
    ASSERT_NE(p.port(), 0);
    const std::string port = std::to_string(p.port());
    // A port in the address wins over the argument, even an invalid one;
    // without one the argument counts, and no host is 127.0.0.1.
    const std::pair<std::string, int> forms[] = {
        {"127.0.0.1:" + port, 0}, {"localhost:" + port, 1610}, {"127.0.0.1:0" + port, -1},
        {":" + port, 1610},       {"127.0.0.1", p.port()},     {"", p.port()},
    };
    for (const auto& [address, port_arg] : forms)
        EXPECT_GE(DetectRemoteController(address.c_str(), port_arg), 0) << address;
    EXPECT_GE(DetectRemoteController(nullptr, p.port()), 0);
    EXPECT_EQ(p.requests(Op::Hello), 7u);
}

TEST(Connect, Ipv6LoopbackForms) {
    ScriptedPeer p({}, Hello::Accept, AF_INET6);
    if (p.port() == 0) GTEST_SKIP() << "no IPv6 loopback on this machine";
    const std::pair<std::string, int> forms[] = {
        {"[::1]:" + std::to_string(p.port()), 1}, {"[::1]", p.port()},
        {"::1", p.port()},  // a bare literal has no port part
        {"0:0:0:0:0:0:0:1", p.port()},
    };
    for (const auto& [address, port_arg] : forms)
        EXPECT_GE(DetectRemoteController(address.c_str(), port_arg), 0) << address;
    EXPECT_EQ(DetectRemoteController(("[::1]x" + std::to_string(p.port())).c_str(), p.port()), -1);
    EXPECT_EQ(p.requests(Op::Hello), 4u);
}

TEST(Connect, MalformedAddressesFailAtOnceWithoutTraffic) {
    ScriptedPeer p;
    const std::string port = std::to_string(p.port());
    const std::string bad[] = {
        "127.0.0.1:",       "127.0.0.1:abc",      "127.0.0.1:0",       "127.0.0.1:65536",
        "127.0.0.1:-1",     "127.0.0.1: " + port, "127.0.0.1:" + port + "x", "127.0.0.1:999999999999",
        "[::1",             "[::1]x",             "[::1]:",            "::1]",
        "[]:" + port,       "[[::1]]",            "[127.0.0.1]:" + port, "999.1.1.1:" + port,
        "bad host:" + port, "host\n:" + port,     "1:2:3:4:5:6:7:8:9", "127.0.0.1:12:" + port,
    };
    for (const std::string& a : bad) EXPECT_EQ(DetectRemoteController(a.c_str(), p.port()), -1) << a;
    // The port argument counts only without a port in the address.
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 0), -1);
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 65536), -1);
    EXPECT_EQ(DetectRemoteController("[::1]", -5), -1);
    EXPECT_EQ(p.requests(Op::Hello), 0u);
}

TEST(Connect, RefusedOrSilentControllerGivesMinusOne) {
    for (Hello hello : {Hello::Refuse, Hello::WrongVersion, Hello::Silent}) {
        ScriptedPeer p({}, hello);
        EXPECT_EQ(p.connect(), -1) << static_cast<int>(hello);
        EXPECT_EQ(p.requests(Op::Hello), 1u);
    }
    const uint16_t closed_port = ScriptedPeer().port();  // nothing listens there any more
    EXPECT_EQ(DetectRemoteController("127.0.0.1", closed_port), -1);
}
