// controllerReport: prints what a controller holds, using the wrapper
// helpers: its drivers, devices, jobs (the selected one marked), job node
// types, PLC state, and the children of each node named on the command line.
//
//   controllerReport [-c ADDRESS] [NODE...]
//
// Exit status: 0 when every report could be made, 1 for a usage error, 2 when
// no controller answered or a report failed.

#include <unistd.h>

#include <cstdio>
#include <string>

#include "ControllerWrap.h"
#include "command_help.h"
#include "xal_tessaro.h"

namespace {

const char kOptions[] = "hc:";
const char kUsageLine[] = "usage: controllerReport [-c ADDRESS] [NODE...]";
const command_help::Option kHelp[] = {
    {"-c ADDRESS", "the controller (default: this host, port 1610)"},
    {"-h, --help", "print this help and exit"},
    {"--version", "print the version and exit"}};

void heading(const char* title) {
    printf("== %s\n", title);
    fflush(stdout);
}

}  // namespace

int main(int argc, char* argv[]) {
    std::string address;
    command_help::Request request = command_help::find_request(argc, argv, kOptions);
    opterr = 0;
    int opt;
    while (request == command_help::kNone && (opt = getopt(argc, argv, kOptions)) != -1) {
        if (opt == 'c') {
            address = optarg;
        } else if (opt == 'h') {
            request = command_help::kHelp;
        } else {
            if (opt == '?') fprintf(stderr, "controllerReport: bad option -%c\n", optopt);
            fprintf(stderr, "%s\n", kUsageLine);
            return 1;
        }
    }
    if (request == command_help::kHelp) {
        command_help::print_help(kUsageLine, kHelp);
        return 0;
    }
    if (request == command_help::kVersion) {
        command_help::print_version("controllerReport");
        return 0;
    }

    // At most 60 attempts, half a second apart, as many as the command-line
    // client makes; unlike the client, no pause follows the attempt that
    // connects, so the report starts at once.
    HController HC = -1;
    for (int attempt = 0; attempt < 60 && HC == -1; ++attempt) {
        HC = DetectRemoteController(address.c_str(), 1610);
        if (HC == -1) usleep(500000);
    }
    if (HC == -1) {
        fprintf(stderr, "controllerReport: no controller at \"%s\"\n", address.c_str());
        return 2;
    }

    bool ok = true;
    heading("Drivers");
    ok &= print_driverinfo(HC) == E_OK;
    heading("Devices");
    ok &= print_deviceinfo(HC) == E_OK;
    heading("Jobs");
    ok &= print_jobs(HC) == E_OK;
    heading("Job node types");
    ok &= print_jobnodetypes(HC) == E_OK;
    heading("PLC state");
    getnPrintPLCStates(HC);
    for (int i = optind; i < argc; ++i) {
        printf("== Children of %s\n", argv[i]);
        fflush(stdout);
        ok &= varSubnodes(HC, argv[i]) == 0;
    }
    return ok ? 0 : 2;
}
