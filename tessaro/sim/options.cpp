#include "options.h"

#include <getopt.h>

#include "command_help.h"
#include "text/decimal.h"

namespace tessaro::sim {

const char kUsage[] = "usage: tessaro-sim [--bind ADDR] [--port N] [--scenario FILE] [--state FILE] [--trace FILE] [--http [ADDR:]PORT] [--replay FILE [--replay-strict] [--replay-report FILE]]";

namespace {

enum Key { kBind = 1, kPort, kScenario, kState, kTrace, kHttp, kReplay, kReplayStrict, kReplayReport, kVersion };

const option kLongOptions[] = {
    {"bind", required_argument, nullptr, kBind},         {"port", required_argument, nullptr, kPort},
    {"scenario", required_argument, nullptr, kScenario}, {"state", required_argument, nullptr, kState},
    {"trace", required_argument, nullptr, kTrace},       {"http", required_argument, nullptr, kHttp},
    {"replay", required_argument, nullptr, kReplay},     {"replay-strict", no_argument, nullptr, kReplayStrict},
    {"replay-report", required_argument, nullptr, kReplayReport},
    {"help", no_argument, nullptr, 'h'},                 {"version", no_argument, nullptr, kVersion},
    {nullptr, 0, nullptr, 0}};

const command_help::Option kHelp[] = {
    {"--bind ADDR", "address to listen on, IPv4 or IPv6 (default 127.0.0.1)"},
    {"--port N", "port to listen on, 0 for a free one (default 1610)"},
    {"--scenario FILE", "the machine to serve, a JSON scenario (default: built-in)"},
    {"--state FILE", "keep the machine in FILE, saved on every change"},
    {"--trace FILE", "record every request and event in FILE as JSON lines"},
    {"--http [ADDR:]PORT", "serve the control API and page, by default on 127.0.0.1"},
    {"--replay FILE", "answer clients from FILE, a recording or a trace with replies"},
    {"--replay-strict", "recorded calls never made fail the replay too"},
    {"--replay-report FILE", "write the replay's outcome to FILE as JSON when stopped"},
    {"-h, --help", "print this help and exit"},
    {"--version", "print the version and exit"}};

std::string name_of(int key) {
    for (const option* o = kLongOptions; o->name; ++o)
        if (o->val == key) return std::string("--") + o->name;
    return "-" + std::string(1, static_cast<char>(key));
}

}  // namespace

bool parse_options(int argc, char** argv, Options& out, std::string& error) {
    Options o;
    opterr = 0;  // errors are reported in the simulator's own words
    optind = 0;  // a full restart of the parser, as tests parse more than once
    int key;
    // '+': the first argument that is no option ends the options (and is refused below).
    while ((key = getopt_long(argc, argv, "+:h", kLongOptions, nullptr)) != -1) {
        const std::string value = optarg ? optarg : "";
        switch (key) {
            case 'h': o.help = true; break;
            case kVersion: o.version = true; break;
            case kBind:
                if (value.empty()) {
                    error = "option '--bind' needs an address";
                    return false;
                }
                o.bind = value;
                break;
            case kPort:
                if (!text::parse_decimal<uint16_t>(value, 0, 65535, o.port)) {
                    error = "invalid port '" + value + "' (0 to 65535)";
                    return false;
                }
                break;
            case kScenario:
            case kState:
            case kTrace:
            case kReplay:
            case kReplayReport:
                if (value.empty()) {
                    error = "option '" + name_of(key) + "' needs a file name";
                    return false;
                }
                (key == kScenario ? o.scenario
                 : key == kState  ? o.state
                 : key == kTrace  ? o.trace
                 : key == kReplay ? o.replay
                                  : o.replay_report) = value;
                break;
            case kReplayStrict: o.replay_strict = true; break;
            case kHttp: {
                // [ADDR:]PORT; an IPv6 address in brackets.
                size_t colon = value.rfind(':');
                bool has_addr = colon != std::string::npos && (value[0] != '[' || value[colon - 1] == ']');
                std::string port = has_addr ? value.substr(colon + 1) : value;
                if (has_addr) o.http_bind = value.substr(0, colon);
                if (!text::parse_decimal<uint16_t>(port, 0, 65535, o.http_port) || (has_addr && o.http_bind.empty())) {
                    error = "invalid --http '" + value + "' ([ADDR:]PORT, PORT 0 to 65535)";
                    return false;
                }
                o.http = true;
                break;
            }
            case ':': error = "option '" + name_of(optopt) + "' needs a value (" + kUsage + ")"; return false;
            default:  // '?'; optopt is a short option, or the key of a long one given a value
                error = "unknown option '" + (optopt > kVersion ? "-" + std::string(1, static_cast<char>(optopt))
                                                                : std::string(argv[optind - 1])) +
                        "' (" + kUsage + ")";
                return false;
        }
    }
    if (optind < argc) {
        error = "unexpected argument '" + std::string(argv[optind]) + "' (" + kUsage + ")";
        return false;
    }
    if (o.replay.empty() && (o.replay_strict || !o.replay_report.empty())) {
        error = std::string("option '") + (o.replay_strict ? "--replay-strict" : "--replay-report") + "' needs --replay FILE";
        return false;
    }
    if (!o.replay.empty() && !o.state.empty()) {
        error = "options '--replay' and '--state' exclude each other: a replay answers from its recording";
        return false;
    }
    out = o;
    return true;
}

void print_help() { command_help::print_help(kUsage, kHelp); }

void print_version() { command_help::print_version("tessaro-sim"); }

}  // namespace tessaro::sim
