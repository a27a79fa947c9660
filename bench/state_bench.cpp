// Acknowledged writes (SetNodeValueString + WriteNodeSync) against a
// tessaro-sim process, without and with --state: what saving every change
// before its reply costs, for one client and for 32 writing at once (their
// saves are grouped). items/s is acknowledged writes per second over all
// clients.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "sim_process.h"
#include "xal_tessaro.h"

namespace {

constexpr int kMaxClients = 32;

// The simulator of a mode: 0 without, 1 with a state file (in a fresh folder).
const tessaro::SimProcess& sim(int64_t with_state) {
    static tessaro::SimProcess plain(TESSARO_SIM);
    static std::string dir = [] {
        char tmpl[] = "/tmp/state-bench-XXXXXX";
        return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
    }();
    static tessaro::SimProcess saving(TESSARO_SIM, {"--state", dir + "/state.json"});
    return with_state ? saving : plain;
}

void BM_Writes(benchmark::State& state) {
    static HController conns[2][kMaxClients];
    static HNodeObject nodes[2][kMaxClients];
    int64_t mode = state.range(0);
    int t = state.thread_index();
    HController& hc = conns[mode][t];
    HNodeObject& h = nodes[mode][t];
    if (hc <= 0) {
        const tessaro::SimProcess& s = sim(mode);
        hc = s.listening() ? DetectRemoteController(s.address().c_str(), 1610) : -1;
        std::string name = "scratch.w" + std::to_string(t);
        if (hc != -1) CreateNodeOnController(hc, name.c_str(), VT_I32, 0);
        h = hc == -1 ? -1 : GetNode(hc, name.c_str());
    }
    if (h == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    int v = 0;
    for (auto _ : state) {
        std::string text = std::to_string(++v);
        if (SetNodeValueString(hc, h, text.c_str()) != E_OK || WriteNodeSync(hc, h) != E_OK) {
            state.SkipWithError("write failed");
            return;
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Writes)->ArgName("state")->Arg(0)->Arg(1)->Threads(1)->Threads(kMaxClients)->UseRealTime();

}  // namespace
