#include "options.h"

#include <getopt.h>

#include "text/decimal.h"

namespace tessaro::sim {

const char kUsage[] = "usage: tessaro-sim [--bind ADDR] [--port N] [--scenario FILE] [--state FILE] [--trace FILE]";

namespace {

enum Key { kBind = 1, kPort, kScenario, kState, kTrace };

const option kLongOptions[] = {
    {"bind", required_argument, nullptr, kBind},         {"port", required_argument, nullptr, kPort},
    {"scenario", required_argument, nullptr, kScenario}, {"state", required_argument, nullptr, kState},
    {"trace", required_argument, nullptr, kTrace},       {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0}};

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
                if (value.empty()) {
                    error = "option '" + name_of(key) + "' needs a file name";
                    return false;
                }
                (key == kScenario ? o.scenario : key == kState ? o.state : o.trace) = value;
                break;
            case ':': error = "option '" + name_of(optopt) + "' needs a value (" + kUsage + ")"; return false;
            default:  // '?'
                error = "unknown option '" + (optopt ? "-" + std::string(1, static_cast<char>(optopt))
                                                     : std::string(argv[optind - 1])) +
                        "' (" + kUsage + ")";
                return false;
        }
    }
    if (optind < argc) {
        error = "unexpected argument '" + std::string(argv[optind]) + "' (" + kUsage + ")";
        return false;
    }
    out = o;
    return true;
}

}  // namespace tessaro::sim
