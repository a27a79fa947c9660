// The simulator's command line.
#pragma once

#include <cstdint>
#include <string>

namespace tessaro::sim {

struct Options {
    std::string bind = "127.0.0.1";
    uint16_t port = 1610;
    std::string scenario;  // empty: the embedded default machine
    std::string state;     // --state: the machine is kept in this file
    std::string trace;     // --trace: every request and event is recorded here
    bool http = false;     // --http [ADDR:]PORT: the control API and the live page
    std::string http_bind = "127.0.0.1";
    uint16_t http_port = 0;
    std::string replay;         // --replay: clients are answered from this recording
    bool replay_strict = false;  // --replay-strict: unused recorded calls fail the replay
    std::string replay_report;  // --replay-report: the replay's outcome as JSON, written when stopped
    bool help = false;
    bool version = false;
};

extern const char kUsage[];

// Parses the command line (getopt_long): --bind ADDR, --port N,
// --scenario FILE, --state FILE, --trace FILE,
// --http [ADDR:]PORT, --replay FILE, --replay-strict, --replay-report FILE
// (each also as --opt=VALUE),
// --help or -h, --version. False with a one-line `error` for anything else.
bool parse_options(int argc, char** argv, Options& out, std::string& error);

// The usage line and one line per option; the name and the version. Both on
// standard output.
void print_help();
void print_version();

}  // namespace tessaro::sim
