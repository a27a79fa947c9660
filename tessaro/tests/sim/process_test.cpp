// The tessaro-sim executable: its command line, its messages and exit
// statuses, and clients talking to the real process.
#include <sys/resource.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_process.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using tessaro::SimProcess;

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

TEST(Process, RefusesBadStartsWithOneLineAndStatusTwo) {
    char path[] = "/tmp/tessaro-sim-test-XXXXXX";
    int fd = ::mkstemp(path);
    const std::string text = "{\n  \"nodes\": [\n    {\"name\": \"a\", \"type\": \"VT_NOPE\"}\n  ]\n}\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    const std::string malformed = "tessaro-sim: " + std::string(path) +
                                  ":3:27: unknown type name 'VT_NOPE' (FOLDER, VT_I32 to VT_FILE, VT_JOB or JOBNODE)\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, ""}, {{"--port"}, ""}, {{"--port", "65536"}, ""}, {{"--port", "x1"}, ""}, {{"stray"}, ""},
        {{"--bind", "nowhere", "--port", "0"}, ""}, {{"--scenario", path, "--port", "0"}, malformed}};
    for (const auto& [args, says] : cases) {
        SimProcess p(TESSARO_SIM_PATH, args);
        EXPECT_EQ(p.stop(), 2) << args[0];
        EXPECT_THAT(p.log(), MatchesRegex("tessaro-sim: [^\n]+\n")) << args[0];  // one line: no listening line
        EXPECT_TRUE(says.empty() || p.log() == says) << p.log();
    }
    ::unlink(path);
}

// Whatever its shape, a scenario is refused within a small multiple of its
// size: one array of 4 MiB of zeros, within ten times that.
TEST(Process, LoadingStaysWithinTenTimesTheFileSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers keep memory of their own";
#endif
    char path[] = "/tmp/tessaro-sim-test-XXXXXX";
    int fd = ::mkstemp(path);
    std::string text = "[" + std::string((4u << 20) + 1, '0') + "]";  // [0,0,...,0]
    for (size_t i = 2; i + 1 < text.size(); i += 2) text[i] = ',';
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    SimProcess p(TESSARO_SIM_PATH, {"--scenario", path});
    EXPECT_EQ(p.stop(), 2);
    EXPECT_THAT(p.log(), HasSubstr("expected the scenario (an object), found an array"));
    rusage usage{};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    const long baseline_kib = 16 << 10;
    EXPECT_LT(usage.ru_maxrss, 10 * static_cast<long>(text.size() >> 10) + baseline_kib);
    ::unlink(path);
}

TEST(Process, ServesClientsUntilSigterm) {
    SimProcess p(TESSARO_SIM_PATH);
    ASSERT_TRUE(p.listening()) << p.log();
    EXPECT_THAT(p.address(), MatchesRegex("127\\.0\\.0\\.1:[0-9]+"));
    uint16_t port = static_cast<uint16_t>(p.port());

    test::RawClient c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.hello());
    EXPECT_GT(c.get_node("sys.BoardAddr"), 0);

    // A header announcing an empty or an oversized body ends only its own connection.
    for (std::vector<uint8_t> header : {std::vector<uint8_t>{0, 0, 0, 0}, {0x00, 0x40, 0x00, 0x01}}) {
        test::RawClient bad;
        ASSERT_TRUE(bad.connect(port) && bad.hello());
        ASSERT_TRUE(bad.send(header));
        EXPECT_TRUE(bad.closed_within(2000));
    }
    EXPECT_GT(c.get_node("jobs.Demo"), 0);

    SimProcess second(TESSARO_SIM_PATH, {"--port", std::to_string(port)});  // the port is taken
    EXPECT_EQ(second.stop(), 2);
    EXPECT_THAT(second.log(), StartsWith("tessaro-sim: cannot listen on 127.0.0.1:" + std::to_string(port)));

    EXPECT_EQ(p.stop(), 0);
    EXPECT_THAT(p.log(), HasSubstr("closed: bad frame header\n"));
}

}  // namespace
}  // namespace tessaro::sim
