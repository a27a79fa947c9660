// controllerSnapshot: copies what a controller holds into a scenario that
// tessaro-sim serves as it is, so that scripts written against the real
// machine can be tested without it. Reads only; never writes to the
// controller.
//
//   controllerSnapshot [-c ADDRESS] [-o FILE] [NODE...]
//
// Copies the subtrees under the named nodes, every job with its subtree, the
// selected node, the job node types, the drivers, the devices and the PLC
// state word. Whatever cannot be read is reported on standard error and left
// out.
//
// Exit status: 0 complete copy, 1 usage error, 2 no controller answered,
// nothing could be read, the copy is larger than tessaro-sim loads, or the
// output could not be written (nothing is written then, and an existing FILE
// is left as it was), 3 partial copy (written, with what could not
// be read left out).

#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "command_help.h"
#include "machine_copy.h"
#include "output_file.h"
#include "scenario_json.h"
#include "text/scenario_limit.h"
#include "xal_tessaro.h"

namespace {

enum ExitStatus { kComplete = 0, kUsage = 1, kFailed = 2, kPartial = 3 };

const char kOptions[] = "hc:o:";
const char kUsageLine[] = "usage: controllerSnapshot [-c ADDRESS] [-o FILE] [NODE...]";
const command_help::Option kHelp[] = {
    {"-c ADDRESS", "the controller (default: this host, port 1610)"},
    {"-o FILE", "write the scenario to FILE instead of standard output"},
    {"-h, --help", "print this help and exit"},
    {"--version", "print the version and exit"}};

constexpr int kConnectAttempts = 60;
constexpr useconds_t kConnectPauseUs = 500000;

}  // namespace

int main(int argc, char* argv[]) {
    std::string address, output;
    command_help::Request request = command_help::find_request(argc, argv, kOptions);
    opterr = 0;
    int opt;
    while (request == command_help::kNone && (opt = getopt(argc, argv, kOptions)) != -1) {
        if (opt == 'c') {
            address = optarg;
        } else if (opt == 'o') {
            output = optarg;
        } else if (opt == 'h') {
            request = command_help::kHelp;
        } else {
            if (opt == '?') std::fprintf(stderr, "controllerSnapshot: bad option -%c\n", optopt);
            std::fprintf(stderr, "%s\n", kUsageLine);
            return kUsage;
        }
    }
    if (request == command_help::kHelp) {
        command_help::print_help(kUsageLine, kHelp);
        return kComplete;
    }
    if (request == command_help::kVersion) {
        command_help::print_version("controllerSnapshot");
        return kComplete;
    }
    std::vector<std::string> roots(argv + optind, argv + argc);

    // The command-line client's retry: at most 60 attempts, half a second
    // apart. Unlike the client, no pause follows the successful attempt.
    HController HC = -1;
    for (int attempt = 0; attempt < kConnectAttempts && HC == -1; ++attempt) {
        HC = DetectRemoteController(address.c_str(), 1610);
        if (HC == -1) usleep(kConnectPauseUs);
    }
    if (HC == -1) {
        std::fprintf(stderr, "controllerSnapshot: no controller at \"%s\"\n", address.c_str());
        return kFailed;
    }

    snapshot::MachineCopy copy = snapshot::copy_machine(HC, roots, isatty(STDERR_FILENO) == 1);
    if (copy.nodes_read == 0 && copy.records_read == 0) {
        std::fprintf(stderr, "controllerSnapshot: nothing could be read; no snapshot written\n");
        return kFailed;
    }
    std::string text = snapshot::scenario_json(copy);
    // A copy that tessaro-sim would refuse to load is no copy at all.
    if (text.size() > tessaro::text::kMaxScenarioBytes) {
        const size_t limit = tessaro::text::kMaxScenarioBytes;
        std::fprintf(stderr,
                     "controllerSnapshot: the snapshot takes %zu bytes, more than the %zu (%zu MiB) that tessaro-sim "
                     "loads; no snapshot written\n",
                     text.size(), limit, limit >> 20);
        return kFailed;
    }
    std::string error;
    if (!snapshot::write_output(output, text, error)) {
        std::fprintf(stderr, "controllerSnapshot: %s\n", error.c_str());
        return kFailed;
    }
    return copy.left_out == 0 ? kComplete : kPartial;
}
