// The tessaro-sim executable: its command line, its messages and exit
// statuses, and a client talking to the real process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "support.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

using proto::Op;
using test::RawClient;
using test::Reply;
using test::SimProcess;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

constexpr int kStartMs = 5000;

std::string temp_file(const std::string& content) {
    char path[] = "/tmp/tessaro-sim-test-XXXXXX";
    int fd = ::mkstemp(path);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    return path;
}

TEST(Process, BadUsageExitsWithTwo) {
    for (auto args : {std::vector<std::string>{"--frobnicate"}, {"--port"}, {"--port", "65536"}, {"--port", "x1"},
                      {"stray"}, {"--bind", "nowhere", "--port", "0"}}) {
        SimProcess p;
        ASSERT_TRUE(p.start(args));
        EXPECT_EQ(p.wait_exit(kStartMs), 2) << args[0];
        std::string out = p.output();
        EXPECT_THAT(out, StartsWith("tessaro-sim: ")) << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
        EXPECT_EQ(out.find("listening"), std::string::npos);
        EXPECT_TRUE(p.stdout_empty());
    }
}

TEST(Process, MalformedScenarioIsRefusedBeforeServing) {
    std::string path = temp_file("{\n  \"nodes\": [\n    {\"name\": \"a\", \"type\": \"VT_NOPE\"}\n  ]\n}\n");
    SimProcess p;
    ASSERT_TRUE(p.start({"--scenario", path, "--port", "0"}));
    EXPECT_EQ(p.wait_exit(kStartMs), 2);
    EXPECT_EQ(p.output(), "tessaro-sim: " + path +
                              ":3:27: unknown type name 'VT_NOPE' (FOLDER, VT_I32 to VT_FILE, VT_JOB or JOBNODE)\n");
    ::unlink(path.c_str());

    SimProcess missing;
    ASSERT_TRUE(missing.start({"--scenario", "/nonexistent.json"}));
    EXPECT_EQ(missing.wait_exit(kStartMs), 2);
    EXPECT_EQ(missing.output(), "tessaro-sim: /nonexistent.json: No such file or directory\n");
}

TEST(Process, ServesUntilSigterm) {
    SimProcess p;
    ASSERT_TRUE(p.start({"--port", "0"}));
    std::string line = p.wait_line("tessaro-sim: listening on ", kStartMs);
    ASSERT_THAT(line, MatchesRegex("tessaro-sim: listening on 127\\.0\\.0\\.1:[0-9]+"));
    uint16_t port = test::port_of(line);
    ASSERT_GT(port, 0);

    RawClient c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.hello());
    auto w = c.request(Op::GetNode);
    w.str("sys.BoardAddr");
    Reply r(c.call(w));
    EXPECT_GT(r.result, 0);

    // A bad frame header on a second connection ends only that one.
    RawClient bad;
    ASSERT_TRUE(bad.connect(port));
    ASSERT_TRUE(bad.hello());
    const uint8_t zero[4] = {0, 0, 0, 0};
    ASSERT_TRUE(bad.send_bytes(zero, 4));
    EXPECT_TRUE(bad.closed_within(2000));
    EXPECT_THAT(p.wait_line("tessaro-sim: connection from 127.0.0.1:", kStartMs), HasSubstr(" opened"));
    EXPECT_NE(p.wait_line("tessaro-sim: connection from", 0), "");
    auto again = c.request(Op::GetNode);
    again.str("jobs.Demo");
    EXPECT_GT(Reply(c.call(again)).result, 0);

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(3000), 0);
    EXPECT_THAT(p.output(), HasSubstr("closed: bad frame header\n"));
    EXPECT_TRUE(p.stdout_empty());
}

TEST(Process, PortInUseExitsWithTwoAndSigintStops) {
    SimProcess first;
    ASSERT_TRUE(first.start({"--port=0", "--bind=127.0.0.1"}));
    uint16_t port = test::port_of(first.wait_line("tessaro-sim: listening on ", kStartMs));
    ASSERT_GT(port, 0);
    SimProcess second;
    ASSERT_TRUE(second.start({"--port", std::to_string(port)}));
    EXPECT_EQ(second.wait_exit(kStartMs), 2);
    EXPECT_THAT(second.output(), StartsWith("tessaro-sim: cannot listen on 127.0.0.1:" + std::to_string(port)));
    first.signal(SIGINT);
    EXPECT_EQ(first.wait_exit(3000), 0);
}

}  // namespace
}  // namespace tessaro::sim
