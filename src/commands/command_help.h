// --help and --version of the project's commands. C++11 and POSIX only, so
// that the example programs, built by the older compilers of controller
// makers' SDKs, share it with the host tools.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>

#include "zuna_version.h"

namespace command_help {

// One option in the help: how it is typed (its short form first where it
// has one, then its value's name), and what it does.
struct Option {
    const char* form;
    const char* text;
};

// The usage line, then one line per option, its text in a column of its own
// (beside the longest form, at least 20 wide); on standard output.
template <size_t N>
void print_help(const char* usage, const Option (&options)[N]) {
    int width = 20;
    for (size_t i = 0; i < N; ++i) {
        const int len = static_cast<int>(std::strlen(options[i].form));
        if (len > width) width = len;
    }
    std::printf("%s\n", usage);
    for (size_t i = 0; i < N; ++i) std::printf("  %-*s %s\n", width, options[i].form, options[i].text);
}

// "NAME VERSION" on standard output.
inline void print_version(const char* name) { std::printf("%s %s\n", name, ZUNA_VERSION); }

enum Request { kNone, kHelp, kVersion };

// For commands that parse their short options with getopt(optstring): the
// first --help or --version among the options, found before getopt (which
// knows no long options) sees it. Option values are skipped (a value may be
// "--help"), and so are operands, which getopt also looks past; the search
// ends at "--" and at the first option that getopt would refuse, so that
// getopt reports that one.
inline Request find_request(int argc, char* const argv[], const char* optstring) {
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0) return kNone;
        if (std::strcmp(arg, "--help") == 0) return kHelp;
        if (std::strcmp(arg, "--version") == 0) return kVersion;
        if (arg[0] != '-' || arg[1] == '\0') continue;
        for (const char* c = arg + 1; *c; ++c) {
            const char* known = *c == ':' ? nullptr : std::strchr(optstring, *c);
            if (!known) return kNone;
            if (known[1] == ':') {
                if (c[1] == '\0') ++i;  // the value is the next argument
                break;
            }
        }
    }
    return kNone;
}

}  // namespace command_help
