// Calls of the stand-in library to a tessaro-sim process on loopback: what
// one library call costs a program end to end, how many requests the
// simulator serves with several clients, and how a subnode listing grows
// with the number of children.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ControllerWrap.h"
#include "sim_process.h"
#include "xal_tessaro.h"

namespace {

// A machine with folders of 10, 1,000 and 10,000 children, written once.
std::string listingScenario() {
    char path[] = "/tmp/roundtrip-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd == -1) return "";
    close(fd);
    std::ofstream f(path);
    f << "{\"nodes\":[";
    const int sizes[] = {10, 1000, 10000};
    for (int s = 0; s < 3; ++s) {
        f << (s ? "," : "") << "{\"name\":\"Kids" << sizes[s] << "\",\"type\":\"FOLDER\",\"children\":[";
        for (int i = 0; i < sizes[s]; ++i) f << (i ? "," : "") << "{\"name\":\"v" << i << "\",\"type\":\"VT_I32\"}";
        f << "]}";
    }
    f << "]}\n";
    return path;
}

HController connect(const tessaro::SimProcess& sim) {
    return sim.listening() ? DetectRemoteController(sim.address().c_str(), 1610) : -1;
}

// A connection to the default simulator: one started here, or the one that
// TESSARO_SIM_ADDRESS names (scripts/bench.sh measures one that a browser
// watches that way).
HController connectDefault() {
    if (const char* address = std::getenv("TESSARO_SIM_ADDRESS")) return DetectRemoteController(address, 1610);
    static tessaro::SimProcess sim(TESSARO_SIM);
    return connect(sim);
}

HController connection() {
    static HController hc = connectDefault();
    return hc;
}

void BM_OneRequest(benchmark::State& state) {
    HController hc = connection();
    HNodeObject h = hc == -1 ? -1 : GetNode(hc, "sys.BoardAddr");
    if (h == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(GetNodeValueStringLen(hc, h));
}
BENCHMARK(BM_OneRequest)->UseRealTime();

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

// Every client thread has its own connection, kept across runs (the library
// never closes one); items/s is the simulator's request rate over all of them.
void BM_Clients(benchmark::State& state) {
    static std::vector<HController> conns(32, -1);
    HController& hc = conns[static_cast<size_t>(state.thread_index())];
    if (hc == -1) hc = connectDefault();
    HNodeObject h = hc == -1 ? -1 : GetNode(hc, "demo.Speed");
    if (h == -1) {
        state.SkipWithError("no connection");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(GetNodeValueStringLen(hc, h));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Clients)->Threads(8)->Threads(32)->UseRealTime();

// varSubnodes prints one line per child; its output goes to /dev/null.
void BM_Subnodes(benchmark::State& state) {
    static const std::string scenario = listingScenario();
    static tessaro::SimProcess sim(TESSARO_SIM, {"--scenario", scenario});
    static HController hc = connect(sim);
    if (hc == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    const std::string node = "Kids" + std::to_string(state.range(0));
    // The listing's lines go to /dev/null, the benchmark's report still to
    // the real standard output.
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (saved == -1 || null == -1 || dup2(null, STDOUT_FILENO) == -1) {
        state.SkipWithError("cannot redirect standard output");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(varSubnodes(hc, node.c_str()));
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null);
    state.SetItemsProcessed(state.iterations() * state.range(0));  // children
}
BENCHMARK(BM_Subnodes)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
