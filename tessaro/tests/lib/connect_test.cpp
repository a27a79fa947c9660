// DetectRemoteController: address forms, the Hello exchange and its time
// bound; and where the library's diagnostics go.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "scripted_peer.h"

using namespace peer;

// A port in the address wins over the argument, even an invalid one; without
// one the argument counts, and no host is 127.0.0.1. A bare IPv6 literal has
// no port part. One address per rule of the parser.
TEST(Connect, AddressFormsReachTheControllerAndMalformedOnesFailWithoutTraffic) {
    ScriptedPeer p;
    const std::string port = std::to_string(p.port());
    const std::pair<std::string, int> forms[] = {
        {"localhost:" + port, 0}, {"127.0.0.1:0" + port, -1}, {":" + port, 1610}, {"127.0.0.1", p.port()}};
    for (const auto& [address, port_arg] : forms)
        EXPECT_GE(DetectRemoteController(address.c_str(), port_arg), 0) << address;
    EXPECT_GE(DetectRemoteController(nullptr, p.port()), 0);

    const std::string bad[] = {
        "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:999999", "127.0.0.1:" + port + "x", "[::1", "[::1]x" + port,
        "::1]", "[]:" + port, "[[::1]]", "bad host:" + port, "999.1.1.1:" + port, "1:2:3:4:5:6:7:8:9",
    };
    for (const std::string& a : bad) EXPECT_EQ(DetectRemoteController(a.c_str(), p.port()), -1) << a;
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 0), -1);
    EXPECT_EQ(DetectRemoteController("127.0.0.1", 65536), -1);
    EXPECT_EQ(p.requests(Op::Hello), 5u);
}

// A controller that refuses the Hello, speaks another version or stays silent
// gives -1 in time, without a second try; a reply frame of no bytes breaks the
// connection at once. The library writes its diagnostics
// only to the file named by TESSARO_LOG, one line each (the programs' runs
// show standard output and error free of them).
TEST(Connect, FailuresGiveMinusOneInTimeAndGoToTheLogFile) {
    char log_path[] = "/tmp/tessaro-log-XXXXXX";
    ::close(::mkstemp(log_path));
    ::setenv("TESSARO_LOG", log_path, 1);
    ::setenv("TESSARO_CALL_TIMEOUT_MS", "200", 1);
    ScriptedPeer refusing({}, Hello::Refuse), other_version({}, Hello::WrongVersion), silent({}, Hello::Silent);
    ScriptedPeer p([](Session&, const Request&) {});  // answers the Hello alone
    // A reply of no bytes: its header alone, with nothing after it to wait for.
    ScriptedPeer empty([](Session& s, const Request&) { s.send_raw({0, 0, 0, 0}); });

    EXPECT_EQ(DetectRemoteController("[::1", 1610), -1);
    EXPECT_EQ(DetectRemoteController("[::1]x", 1610), -1);
    EXPECT_EQ(refusing.connect(), -1);
    EXPECT_EQ(other_version.connect(), -1);
    EXPECT_EQ(ReadNode(p.connect(), 1), E_TIMEOUT);
    EXPECT_EQ(ReadNode(empty.connect(), 1), E_UNAVAIL);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(silent.connect(), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
    ::unsetenv("TESSARO_LOG");
    EXPECT_EQ(refusing.requests() + other_version.requests() + silent.requests(), 3u);
    std::stringstream text;
    text << std::ifstream(log_path).rdbuf();
    ::unlink(log_path);
    for (const char* event : {"'[::1' failed: malformed address", "'[::1]x' failed: malformed address",
                              "connected to 127.0.0.1:", "no reply within 200 ms", "connection closed: bad frame length header"})
        EXPECT_NE(text.str().find(event), std::string::npos) << event << " not in:\n" << text.str();
    for (std::string line; std::getline(text, line);) EXPECT_EQ(line.find(" tessaro["), 24u) << line;
}
