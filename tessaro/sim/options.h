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
    bool help = false;
};

extern const char kUsage[];

// Parses the command line (getopt_long): --bind ADDR, --port N,
// --scenario FILE, --state FILE, --trace FILE (each also as --opt=VALUE),
// --help or -h. False with a one-line `error` for anything else.
bool parse_options(int argc, char** argv, Options& out, std::string& error);

}  // namespace tessaro::sim
