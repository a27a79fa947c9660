// The tessaro-sim executable: its command line, its messages and exit
// statuses, the memory a hostile scenario may take.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_process.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using tessaro::ChildProcess;
using tessaro::SimProcess;

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

// Each bad start ends before listening, with one line and status 2: a
// scenario that is a FIFO without a writer at once, and a hostile scenario
// (one array of 4 MiB of zeros) within ten times its size in memory.
TEST(Process, BadStartsEndWithOneLineAndStatusTwo) {
    test::TempDir dir;
    const std::string zeros = dir.path + "/zeros.json", fifo = dir.path + "/fifo.json";
    std::string text = "[" + std::string((4u << 20) + 1, '0') + "]";  // [0,0,...,0]
    for (size_t i = 2; i + 1 < text.size(); i += 2) text[i] = ',';
    test::write_file(zeros, text);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"}, {{"--port"}, "option '--port' needs a value"},
        {{"--port", "65536"}, "invalid port '65536'"}, {{"--scenario", "/"}, "/: Is a directory"},
        {{"--scenario", fifo}, fifo + ": not a regular file"},
        {{"--scenario", zeros}, zeros + ":1:1: expected the scenario (an object), found an array"}};
    for (const auto& [args, says] : cases) {
        SimProcess p(TESSARO_SIM_PATH, args, 50000);  // time for the zeros under a sanitizer
        EXPECT_EQ(p.stop(), 2) << args[0];
        EXPECT_THAT(p.log(), MatchesRegex("tessaro-sim: [^\n]+\n")) << args[0];  // one line: no listening line
        EXPECT_THAT(p.log(), HasSubstr(says));
    }
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // sanitizers keep memory of their own
    rusage usage{};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &usage), 0);
    EXPECT_LT(usage.ru_maxrss, 10 * static_cast<long>(text.size() >> 10) + (16 << 10));  // a baseline of 16 MiB
#endif
}

// tessaro-scenario check: the simulator's loader and its words, status 0 or 2.
TEST(ScenarioTool, CheckLoadsAsTheSimulatorDoes) {
    test::TempDir dir;
    const std::string bad = dir.path + "/bad.json";
    test::write_file(bad, R"({"nodes": [{"name": "s", "type": "VT_SET", "options": ["a", "a,b"]}]})");
    const std::string usage = " (usage: tessaro-scenario check FILE)\n";
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"check", TESSARO_SOURCE_DIR "/tessaro/sim/scenarios/default.json"}, 0, ""},
        {{"check", bad}, 2, "tessaro-scenario: " + bad + ":1:61: invalid option 'a,b'\n"},
        {{"check", dir.path}, 2, "tessaro-scenario: " + dir.path + ": Is a directory\n"},
        {{"check"}, 2, "tessaro-scenario: check takes one FILE" + usage},
        {{"replay", bad}, 2, "tessaro-scenario: unknown command 'replay'" + usage}};
    for (const auto& [args, status, err] : cases) {
        std::vector<std::string> argv = {TESSARO_SCENARIO_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess run(argv);
        EXPECT_EQ(run.wait(20000), status) << args.back();
        EXPECT_EQ(run.err(), err);
        EXPECT_EQ(run.out(), "");
    }
}

}  // namespace
}  // namespace tessaro::sim
