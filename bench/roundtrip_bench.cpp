// Round trips through the stand-in library to a tessaro-sim process on
// loopback: what one library call costs a program, end to end.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "xal_tessaro.h"

extern char** environ;

namespace {

// One simulator for the whole run, started on a free port.
class Sim {
public:
    Sim() {
        char log[] = "/tmp/zuna-bench-XXXXXX";
        int fd = mkstemp(log);
        if (fd < 0) return;
        close(fd);
        log_ = log;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_addopen(&fa, 2, log_.c_str(), O_WRONLY | O_TRUNC, 0);
        const char* argv[] = {TESSARO_SIM, "--port", "0", nullptr};
        posix_spawn(&pid_, TESSARO_SIM, &fa, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&fa);
        for (int i = 0; i < 500 && address_.empty(); ++i) {
            std::ifstream in(log_);
            std::string line;
            if (std::getline(in, line) && line.rfind("tessaro-sim: listening on ", 0) == 0)
                address_ = line.substr(26);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~Sim() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
        if (!log_.empty()) unlink(log_.c_str());
    }
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string log_, address_;
};

HController connection() {
    static Sim sim;
    static HController hc = sim.address().empty() ? -1 : DetectRemoteController(sim.address().c_str(), 1610);
    return hc;
}

void BM_ReadStrRoundTrips(benchmark::State& state) {
    HController hc = connection();
    if (hc == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    char buf[64];
    for (auto _ : state) {
        // What readStr asks: lookup, refresh, length, copy.
        HNodeObject h = GetNode(hc, "sys.BoardAddr");
        ReadNode(hc, h);
        int len = GetNodeValueStringLen(hc, h);
        int rc = GetNodeValueString(hc, h, buf, len + 1);
        benchmark::DoNotOptimize(rc);
    }
    state.SetItemsProcessed(state.iterations() * 4);  // requests
}
BENCHMARK(BM_ReadStrRoundTrips)->UseRealTime();

void BM_NodeInfoRecord(benchmark::State& state) {
    HController hc = connection();
    if (hc == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    HNodeObject h = GetNode(hc, "demo.Speed");
    for (auto _ : state) {
        XAL_NODEINFO* info = GetNodeInfo(hc, h);
        DestroyNodeInfo(info);
    }
}
BENCHMARK(BM_NodeInfoRecord)->UseRealTime();

}  // namespace
