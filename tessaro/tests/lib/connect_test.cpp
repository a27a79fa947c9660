// DetectRemoteController: address forms, the Hello exchange and its bounds.
#include <gtest/gtest.h>

#include <string>

#include "scripted_peer.h"
#include "test_util.h"
#include "xal_tessaro.h"

using peer::Hello;
using peer::ScriptedPeer;
using testutil::Stopwatch;

namespace {

std::string port_text(const ScriptedPeer& p) { return std::to_string(p.port()); }

}  // namespace

TEST(Connect, AddressFormsReachTheController) {
    ScriptedPeer p;
    ASSERT_TRUE(p.listening());
    const std::string port = port_text(p);
    // The port in the address wins over the argument, even an invalid one.
    EXPECT_GE(DetectRemoteController(("127.0.0.1:" + port).c_str(), 0), 0);
    EXPECT_GE(DetectRemoteController(("localhost:" + port).c_str(), 1610), 0);
    EXPECT_GE(DetectRemoteController(("127.0.0.1:0" + port).c_str(), 1610), 0);  // leading zero
    // Without a port in the address the argument is used; "" is 127.0.0.1.
    EXPECT_GE(DetectRemoteController("127.0.0.1", p.port()), 0);
    EXPECT_GE(DetectRemoteController("", p.port()), 0);
    EXPECT_GE(DetectRemoteController(nullptr, p.port()), 0);
    EXPECT_EQ(p.accepted(), 6u);
    EXPECT_EQ(p.hello_magic(), "TSRO");
    EXPECT_EQ(p.hello_version(), 1u);
}

TEST(Connect, HandlesAreDistinctAndIncreasing) {
    ScriptedPeer p;
    HController a = testutil::connect_to(p);
    HController b = testutil::connect_to(p);
    ASSERT_GE(a, 0);
    EXPECT_EQ(b, a + 1);
}

TEST(Connect, Ipv6LoopbackForms) {
    ScriptedPeer p({}, Hello::Accept, AF_INET6);
    if (!p.listening()) GTEST_SKIP() << "no IPv6 loopback on this machine";
    const std::string port = port_text(p);
    EXPECT_GE(DetectRemoteController(("[::1]:" + port).c_str(), 1), 0);
    EXPECT_GE(DetectRemoteController("[::1]", p.port()), 0);
    EXPECT_GE(DetectRemoteController("::1", p.port()), 0);  // bare literal: no port part
    EXPECT_GE(DetectRemoteController("0:0:0:0:0:0:0:1", p.port()), 0);
    EXPECT_EQ(p.accepted(), 4u);
}

TEST(Connect, MalformedAddressesFailAtOnceWithoutTraffic) {
    ScriptedPeer p;
    const std::string port = port_text(p);
    const std::string bad[] = {
        "127.0.0.1:",        "127.0.0.1:abc",       "127.0.0.1:0",        "127.0.0.1:65536",
        "127.0.0.1:-1",      "127.0.0.1: " + port,  "127.0.0.1:" + port + "x", "127.0.0.1:999999999999",
        "[::1",              "[::1]x",              "[::1]:",             "::1]",
        "[]:" + port,        "[[::1]]",             "[127.0.0.1]:" + port, "999.1.1.1:" + port,
        "bad host:" + port,  "host\n:" + port,      "1:2:3:4:5:6:7:8:9",  "127.0.0.1:12:" + port,
    };
    Stopwatch sw;
    for (const std::string& a : bad) EXPECT_EQ(DetectRemoteController(a.c_str(), p.port()), -1) << a;
    // The port argument counts only without a port in the address.
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 0), -1);
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 65536), -1);
    EXPECT_EQ(DetectRemoteController("[::1]", -5), -1);
    EXPECT_LT(sw.ms(), 500);
    EXPECT_EQ(p.accepted(), 0u);
}

TEST(Connect, RefusedPortFailsQuickly) {
    uint16_t port = peer::unused_port();
    Stopwatch sw;
    EXPECT_EQ(DetectRemoteController("127.0.0.1", port), -1);
    EXPECT_LT(sw.ms(), 500);
}

TEST(Connect, HandshakeRefusedOrWrongVersionFails) {
    for (Hello mode : {Hello::Refuse, Hello::WrongVersion}) {
        ScriptedPeer p({}, mode);
        Stopwatch sw;
        EXPECT_EQ(testutil::connect_to(p), -1);
        EXPECT_LT(sw.ms(), 500);
        EXPECT_EQ(p.accepted(), 1u);
    }
}

TEST(Connect, SilentControllerIsGivenUpAfterAboutOneSecond) {
    ScriptedPeer p({}, Hello::Silent);
    Stopwatch sw;
    EXPECT_EQ(testutil::connect_to(p), -1);
    EXPECT_GE(sw.ms(), 900);
    EXPECT_LT(sw.ms(), 2000);
}

TEST(Connect, FailedAttemptsDoNotUseUpHandles) {
    ScriptedPeer good;
    ScriptedPeer refusing({}, Hello::Refuse);
    HController a = testutil::connect_to(good);
    ASSERT_GE(a, 0);
    EXPECT_EQ(testutil::connect_to(refusing), -1);
    EXPECT_EQ(DetectRemoteController("[oops", 1610), -1);
    EXPECT_EQ(testutil::connect_to(good), a + 1);
}
