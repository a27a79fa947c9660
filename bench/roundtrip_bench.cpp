// Round trips through the stand-in library to a tessaro-sim process on
// loopback: what one library call costs a program, end to end.
#include <benchmark/benchmark.h>

#include <string>

#include "sim_process.h"
#include "xal_tessaro.h"

namespace {

HController connection() {
    // One simulator for the whole run.
    static tessaro::SimProcess sim(TESSARO_SIM);
    static HController hc = !sim.listening() ? -1 : DetectRemoteController(sim.address().c_str(), 1610);
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
