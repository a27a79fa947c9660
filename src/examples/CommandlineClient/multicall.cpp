// multicall: one program, seven commands. The command is the name under which
// the program was invoked (zunaReadVar, zunaReadStr, zunaWriteStr,
// zunaCreateVar, zunaSelectJob, zunaStartJob, zunaRunJob). A run takes its
// name from the invocation path, reads its options, connects to the
// controller with a bounded retry and runs exactly one mode; the outcome is
// the exit status, messages go to standard error.

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "ControllerWrap.h"
#include "xal_tessaro.h"

// Exit statuses of the program. There is no status 3.
enum ExitStatus {
    kExitOk = 0,            // success; also after an unknown invocation name
    kExitOptionError = 1,   // unknown option, or an option without its argument
    kExitFailed = 2,        // no connection, or the mode's main operation failed
    kExitStartFailed = 4,   // RunJob: the job could not be started
    kExitWaitFailed = 5,    // RunJob: a wait for a PLC state did not succeed, or the
                            // final state could not be read: no verdict
    kExitJobFailed = 6,     // RunJob: the job ended and the PLC reports it failed
};

VAR_TYPE vartypeFromStr(std::string strType);
int selectJob(HController HC, std::string jobname);
int waitForPlcState(HController HC, unsigned int setMask, unsigned int clearMask, double timeout);
int plcChangeCallback(HController HC, unsigned int value, unsigned int reserved);

namespace {

// The condition of the wait in progress, and its latched result. The masks
// are written before the handler is registered and only read by it; the hit
// flag is set by the handler on the library's thread and polled by the wait.
unsigned int g_setMask = 0;
unsigned int g_clearMask = 0;
std::atomic<bool> g_plcHit{false};

// PLC state masks of the job modes (state n is bit n).
constexpr unsigned int kReadyMask = 1u << PLC_JOB_READY;
constexpr unsigned int kActiveMask = 1u << PLC_JOB_ACTIVE;
constexpr unsigned int kFailedMask = 1u << PLC_JOB_FAILED;
constexpr unsigned int kEmptyMask = 0;

// What one run works with once options and connection are settled.
struct Invocation {
    HController HC = -1;
    std::string variableFullPath;  // -n: variable or job name
    std::string variableValue;     // -v
    std::string variableType;      // -t
};

// The helpers take the names as char*; they only read them. &s[0] is the
// string's own zero-terminated buffer (an empty string's too).
int modeReadVar(Invocation& inv) {
    char* tmp = nullptr;
    if (readVar(inv.HC, &inv.variableFullPath[0], &tmp) != 0) {
        std::cerr << "Failed to read variable " << inv.variableFullPath << "!" << std::endl;
        return kExitFailed;
    }
    return kExitOk;
}

int modeReadStr(Invocation& inv) {
    char* varValue = nullptr;
    if (readStr(inv.HC, inv.variableFullPath.c_str(), &varValue) != 0) {
        // A failed copy still hands over its buffer.
        free(varValue);
        std::cerr << "Failed to read variable " << inv.variableFullPath << " as a string!" << std::endl;
        return kExitFailed;
    }
    if (varValue != nullptr) {
        std::cout << varValue << std::endl;
        free(varValue);
    }
    return kExitOk;
}

int modeWriteStr(Invocation& inv) {
    if (setVar(inv.HC, &inv.variableFullPath[0], &inv.variableValue[0]) != 0) {
        std::cerr << "Failed to set variable " << inv.variableFullPath << "!" << std::endl;
        return kExitFailed;
    }
    return kExitOk;
}

int modeCreateVar(Invocation& inv) {
    VAR_TYPE type = vartypeFromStr(inv.variableType);
    if (CreateNodeOnController(inv.HC, inv.variableFullPath.c_str(), type, 0) != 0) {
        std::cerr << "Failed to create variable " << inv.variableFullPath << "!" << std::endl;
        return kExitFailed;
    }
    return kExitOk;
}

int modeSelectJob(Invocation& inv) {
    return selectJob(inv.HC, inv.variableFullPath) != 0 ? kExitFailed : kExitOk;
}

int modeStartJob(Invocation& inv) {
    // -n is not read: whatever job the controller has selected is started.
    return JobStart(inv.HC) != 0 ? kExitFailed : kExitOk;
}

int modeRunJob(Invocation& inv) {
    if (selectJob(inv.HC, inv.variableFullPath) != 0) return kExitFailed;
    if (waitForPlcState(inv.HC, kReadyMask, kEmptyMask, 10.0) != 0) return kExitWaitFailed;
    if (JobStart(inv.HC) != 0) return kExitStartFailed;
    if (waitForPlcState(inv.HC, kActiveMask, kEmptyMask, 2.0) != 0) return kExitWaitFailed;
    if (waitForPlcState(inv.HC, kEmptyMask, kActiveMask, 120.0) != 0) return kExitWaitFailed;
    unsigned int plc = 0;
    unsigned int reserved = 0;
    // A failed final query leaves the verdict unknown: never report it as a pass.
    if (GetPLCState(inv.HC, &plc, &reserved) != 0) return kExitWaitFailed;
    return (plc & kFailedMask) != 0 ? kExitJobFailed : kExitOk;
}

using Mode = int (*)(Invocation&);

// The modes, compared with the invocation name in this order.
const std::pair<const char*, Mode> kModes[] = {
    {"ReadVar", modeReadVar},     {"ReadStr", modeReadStr},     {"WriteStr", modeWriteStr},
    {"CreateVar", modeCreateVar}, {"SelectJob", modeSelectJob}, {"StartJob", modeStartJob},
    {"RunJob", modeRunJob},
};

}  // namespace

VAR_TYPE vartypeFromStr(std::string strType) {
    VAR_TYPE result = VT_INV;
    const std::map<std::string, VAR_TYPE> names = {
        {"VT_I32", VT_I32},   {"VT_I64", VT_I64},         {"VT_R32", VT_R32}, {"VT_R64", VT_R64},
        {"VT_BOOLEAN", VT_BOOLEAN}, {"VT_STR", VT_STR},   {"VT_SEL", VT_SEL}, {"VT_SET", VT_SET},
        {"VT_BIN", VT_BIN},   {"VT_TEXT", VT_TEXT},       {"VT_FILE", VT_FILE},
    };
    for (const auto& entry : names) {
        if (entry.first == strType) {
            result = entry.second;
            break;
        }
    }
    return result;
}

int selectJob(HController HC, std::string jobname) {
    XAL_JOBINFO* info = GetJobInfo(HC);
    if (info == nullptr) return E_FAILURE;
    if (info->jobcount == 0) {
        std::cerr << "No job on the controller!" << std::endl;
        DestroyJobInfo(info);
        return E_FAILURE;
    }
    // Every job of that short name is selected in turn; the last one decides.
    bool found = false;
    for (int32_t i = 0; info->jobnames != nullptr && i < info->jobcount; ++i) {
        if (info->jobnames[i] != nullptr && jobname == info->jobnames[i]) {
            found = selectJobByNum(HC, i) == E_OK;
        }
    }
    DestroyJobInfo(info);
    return found ? E_OK : E_FAILURE;
}

int plcChangeCallback(HController HC, unsigned int value, unsigned int reserved) {
    (void)HC;
    (void)reserved;
    if ((value & g_setMask) == g_setMask && (value & g_clearMask) == 0) {
        g_plcHit.store(true, std::memory_order_relaxed);
    }
    return 0;
}

int waitForPlcState(HController HC, unsigned int setMask, unsigned int clearMask, double timeout) {
    g_setMask = setMask;
    g_clearMask = clearMask;
    g_plcHit.store(false, std::memory_order_relaxed);
    bool found = false;

    // Register before the initial query, so that a change falling between the
    // two is still seen, by the query or by a notification.
    if (RegisterOnPLCChanged(HC, plcChangeCallback) != 0) return E_FAILURE;

    // A failed query leaves the word unknown: it is not tested, and only a
    // notification can satisfy the wait.
    unsigned int state = 0;
    unsigned int reserved = 0;
    if (GetPLCState(HC, &state, &reserved) == 0) plcChangeCallback(HC, state, 0);

    // Cycles of 10 ms, counted by repeated addition: sleep first, then test.
    double cycles = 0.0;
    while (cycles < timeout) {
        usleep(10000);
        if (g_plcHit.load(std::memory_order_relaxed)) {
            found = true;
            break;
        }
        cycles += 0.01;
    }

    if (UnregisterOnPLCChanged(HC) != 0) return E_FAILURE;
    return found ? E_OK : E_FAILURE;
}

int main(int argc, char* argv[]) {
    // Step 1: the name is the last "/"-separated component of the invocation
    // path; no argument vector at all gives the empty name.
    std::string appName = (argc > 0 && argv[0] != nullptr) ? argv[0] : "";
    const std::string delimiters = "/";
    std::vector<std::string> tokens;
    std::string::size_type current = 0;
    for (;;) {
        std::string::size_type next = appName.find_first_of(delimiters, current);
        tokens.push_back(appName.substr(current, next == std::string::npos ? std::string::npos : next - current));
        if (next == std::string::npos) break;
        current = next + 1;
    }
    appName = tokens.back();

    // Step 2: the options. An error ends the run before any connection.
    Invocation inv;
    std::string controllerAddress;
    const std::string suffix = "zuna";
    opterr = 0;
    int opt;
    while ((opt = getopt(argc, argv, "hc:v:n:t:")) != -1) {
        switch (opt) {
            case 'c': controllerAddress = optarg; break;
            case 'n': inv.variableFullPath = optarg; break;
            case 'v': inv.variableValue = optarg; break;
            case 't': inv.variableType = optarg; break;
            case 'h': break;
            case '?':
                if (optopt == 'c' || optopt == 'v' || optopt == 'n' || optopt == 't') {
                    std::cerr << "Option -" << static_cast<char>(optopt) << " requires an argument." << std::endl;
                } else {
                    std::cerr << "Unknown option -" << static_cast<char>(optopt) << "." << std::endl;
                }
                return kExitOptionError;
            default:
                abort();  // getopt returns nothing else for this option string
        }
    }

    // Step 3: the connection, at most 60 attempts; the sleep follows every
    // attempt, the successful one included.
    HController HC = -1;
    double timeout = 30.0;
    while (HC == -1 && timeout > 0.0) {
        HC = DetectRemoteController(controllerAddress.c_str(), 1610);
        usleep(500000);
        timeout -= 0.5;
    }
    if (HC == -1) {
        std::cerr << "Failed to connect to controller!" << std::endl;
        return kExitFailed;
    }
    inv.HC = HC;

    // Step 4: the dispatch.
    for (const auto& mode : kModes) {
        if (suffix + mode.first == appName) return mode.second(inv);
    }
    std::cerr << "Unknown mode of operation: " << appName << "!" << std::endl;
    return kExitOk;
}
