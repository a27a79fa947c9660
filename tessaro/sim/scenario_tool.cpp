// tessaro-scenario: works on scenario files without a simulator.
//
//   tessaro-scenario check FILE
//
// `check` loads FILE as tessaro-sim --scenario loads it and prints the
// error it finds, as FILE:LINE:COLUMN and what is wrong, on standard error.
// Status 0 when FILE loads, 2 when it does not or on a usage error.
#include <cstdio>
#include <cstring>
#include <string>

#include "command_help.h"
#include "scenario.h"

namespace {

const char kUsage[] = "usage: tessaro-scenario check FILE";
const command_help::Option kCommands[] = {
    {"check FILE", "load FILE as tessaro-sim --scenario would; print its error"},
    {"-h, --help", "print this help and exit"},
    {"--version", "print the version and exit"}};

int usage_error(const std::string& what) {
    std::fprintf(stderr, "tessaro-scenario: %s (%s)\n", what.c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        command_help::print_help(kUsage, kCommands);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        command_help::print_version("tessaro-scenario");
        return 0;
    }
    if (argc < 2) return usage_error("no command");
    if (std::strcmp(argv[1], "check") != 0) return usage_error(std::string("unknown command '") + argv[1] + "'");
    if (argc != 3) return usage_error("check takes one FILE");
    tessaro::sim::MachineConfig cfg;
    std::string error;
    if (tessaro::sim::load_scenario_file(argv[2], cfg, error)) return 0;
    std::fprintf(stderr, "tessaro-scenario: %s\n", error.c_str());
    return 2;
}
