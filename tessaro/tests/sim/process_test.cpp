// The tessaro-sim executable: its command line, its messages and exit
// statuses, the memory a hostile scenario may take.
#include <sys/resource.h>
#include <sys/stat.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_process.h"
#include "support.h"
#include "zuna_version.h"

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
        {{"--frobnicate"}, "unknown option '--frobnicate'"}, {{"--version=1"}, "unknown option '--version=1'"},
        {{"--port"}, "option '--port' needs a value"},
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
    const std::string usage = " (usage: tessaro-scenario check FILE | from-recording FILE [-o OUT])\n";
    const std::tuple<std::vector<std::string>, int, std::string> cases[] = {
        {{"check", TESSARO_SOURCE_DIR "/tessaro/sim/scenarios/default.json"}, 0, ""},
        {{"check", bad}, 2, "tessaro-scenario: " + bad + ":1:61: invalid option 'a,b'\n"},
        {{"check"}, 2, "tessaro-scenario: check takes one FILE" + usage},
        {{"replay", bad}, 2, "tessaro-scenario: unknown command 'replay'" + usage},
        {{"from-recording", bad}, 2, "tessaro-scenario: " + bad + ":1: the last line is cut short\n"},
        {{"from-recording", bad, "-o"}, 2, "tessaro-scenario: option '-o' needs a value" + usage},
        {{"from-recording", "-x"}, 2, "tessaro-scenario: unknown option '-x'" + usage}};
    for (const auto& [args, status, err] : cases) {
        std::vector<std::string> argv = {TESSARO_SCENARIO_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess run(argv);
        EXPECT_EQ(run.wait(20000), status) << args.back();
        EXPECT_EQ(run.err(), err);
        EXPECT_EQ(run.out(), "");
    }
}

// --help and --version answer on standard output, with status 0.
TEST(Process, HelpAndVersion) {
    const std::tuple<const char*, const char*, std::string> cases[] = {
        {TESSARO_SIM_PATH, "--help",
         "usage: tessaro-sim [--bind ADDR] [--port N] [--scenario FILE] [--state FILE] [--trace FILE] "
         "[--http [ADDR:]PORT] [--replay FILE [--replay-strict] [--replay-report FILE]]\n"
         "  --bind ADDR          address to listen on, IPv4 or IPv6 (default 127.0.0.1)\n"
         "  --port N             port to listen on, 0 for a free one (default 1610)\n"
         "  --scenario FILE      the machine to serve, a JSON scenario (default: built-in)\n"
         "  --state FILE         keep the machine in FILE, saved on every change\n"
         "  --trace FILE         record every request and event in FILE as JSON lines\n"
         "  --http [ADDR:]PORT   serve the control API and page, by default on 127.0.0.1\n"
         "  --replay FILE        answer clients from FILE, a recording or a trace with replies\n"
         "  --replay-strict      recorded calls never made fail the replay too\n"
         "  --replay-report FILE write the replay's outcome to FILE as JSON when stopped\n"
         "  -h, --help           print this help and exit\n"
         "  --version            print the version and exit\n"},
        {TESSARO_SIM_PATH, "--version", "tessaro-sim " ZUNA_VERSION "\n"},
        {TESSARO_SCENARIO_PATH, "--help",
         "usage: tessaro-scenario check FILE | from-recording FILE [-o OUT]\n"
         "  check FILE                   load FILE as tessaro-sim --scenario would; print its error\n"
         "  from-recording FILE [-o OUT] write the machine a recording saw as a scenario (into OUT)\n"
         "  -h, --help                   print this help and exit\n"
         "  --version                    print the version and exit\n"},
        {TESSARO_SCENARIO_PATH, "--version", "tessaro-scenario " ZUNA_VERSION "\n"}};
    for (const auto& [exe, arg, says] : cases) {
        ChildProcess p({exe, arg});
        EXPECT_EQ(p.wait(20000), 0) << arg;
        EXPECT_EQ(p.out(), says);
        EXPECT_EQ(p.err(), "") << arg;
    }
}

}  // namespace
}  // namespace tessaro::sim
