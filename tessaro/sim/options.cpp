#include "options.h"

namespace tessaro::sim {

const char kUsage[] = "usage: tessaro-sim [--bind ADDR] [--port N] [--scenario FILE] [--state FILE] [--trace FILE] [--http [ADDR:]PORT]";

namespace {

bool parse_port(const std::string& text, uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    uint32_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint32_t>(c - '0');
    }
    if (v > 65535) return false;
    port = static_cast<uint16_t>(v);
    return true;
}

}  // namespace

bool parse_options(const std::vector<std::string>& args, Options& out, std::string& error) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string arg = args[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            continue;
        }
        std::string value;
        bool inline_value = false;
        size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            inline_value = true;
        }
        if (arg != "--bind" && arg != "--port" && arg != "--scenario" && arg != "--state" && arg != "--trace" &&
            arg != "--http") {
            error = (arg.rfind("-", 0) == 0 ? "unknown option '" + args[i] + "'" : "unexpected argument '" + args[i] + "'") +
                    " (" + kUsage + ")";
            return false;
        }
        if (!inline_value) {
            if (i + 1 >= args.size()) {
                error = "option '" + arg + "' needs a value (" + kUsage + ")";
                return false;
            }
            value = args[++i];
        }
        if (arg == "--bind") {
            if (value.empty()) {
                error = "option '--bind' needs an address";
                return false;
            }
            o.bind = value;
        } else if (arg == "--port") {
            if (!parse_port(value, o.port)) {
                error = "invalid port '" + value + "' (0 to 65535)";
                return false;
            }
        } else if (arg == "--http") {
            // [ADDR:]PORT; an IPv6 address in brackets.
            size_t colon = value.rfind(':');
            bool has_addr = colon != std::string::npos && (value[0] != '[' || value[colon - 1] == ']');
            std::string port = has_addr ? value.substr(colon + 1) : value;
            if (has_addr) o.http_bind = value.substr(0, colon);
            if (!parse_port(port, o.http_port) || (has_addr && o.http_bind.empty())) {
                error = "invalid --http '" + value + "' ([ADDR:]PORT, PORT 0 to 65535)";
                return false;
            }
            o.http = true;
        } else {
            if (value.empty()) {
                error = "option '" + arg + "' needs a file name";
                return false;
            }
            (arg == "--scenario" ? o.scenario : arg == "--state" ? o.state : o.trace) = value;
        }
    }
    out = o;
    return true;
}

}  // namespace tessaro::sim
