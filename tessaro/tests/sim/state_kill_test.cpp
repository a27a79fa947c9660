// --state under crashes: clients write as fast as they can while the
// simulator is killed (SIGKILL) at random moments and restarted on the same
// state file; every write whose reply arrived must be there afterwards.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "sim_process.h"
#include "state_file.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;

constexpr int kClients = 4;
constexpr int kRounds = 8;

TEST(StateFileKill, AcknowledgedWritesSurviveSigkill) {
    test::TempDir dir;
    const std::string scenario = dir.path + "/counters.json", state = dir.path + "/state.json";
    test::write_file(scenario, R"({"nodes": [{"name": "c0", "type": "VT_I64"}, {"name": "c1", "type": "VT_I64"},
                                             {"name": "c2", "type": "VT_I64"}, {"name": "c3", "type": "VT_I64"}]})");
    std::mt19937 rng(std::random_device{}());
    std::vector<int64_t> acked(kClients, 0);  // last value whose write was acknowledged
    for (int round = 0; round < kRounds; ++round) {
        SimProcess sim(TESSARO_SIM_PATH, {"--scenario", scenario, "--state", state});
        ASSERT_TRUE(sim.listening()) << "round " << round << ": " << sim.log();
        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i)
            clients.emplace_back([&, i, port = sim.port()] {
                test::RawClient c;
                if (!c.connect(port) || !c.hello()) return;
                int32_t node = c.get_node("c" + std::to_string(i));
                for (int64_t v = acked[i] + 1;; ++v) {
                    if (c.result(c.request(Op::SetNodeValueString).i32(node).str(std::to_string(v))) != E_OK) return;
                    if (c.result(c.request(Op::WriteNodeSync).i32(node)) != E_OK) return;
                    acked[i] = v;
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 400)(rng)));
        EXPECT_EQ(sim.stop(0, SIGKILL), 128 + SIGKILL);
        for (auto& t : clients) t.join();
        MachineConfig cfg;
        std::string error;
        ASSERT_EQ(load_state(state, cfg, error), StateLoad::Loaded) << "round " << round << ": " << error;
        for (int i = 0; i < kClients; ++i) {
            // The write in flight when the simulator died may have been saved without its reply arriving.
            int64_t found = std::stoll(cfg.tree.find("c" + std::to_string(i))->value.text);
            EXPECT_TRUE(found == acked[i] || found == acked[i] + 1)
                << "round " << round << ", client " << i << ": acknowledged " << acked[i] << ", found " << found;
            acked[i] = found;
        }
    }
    EXPECT_GT(acked[0], kRounds);  // the clients did get writes through
}

}  // namespace
}  // namespace tessaro::sim
