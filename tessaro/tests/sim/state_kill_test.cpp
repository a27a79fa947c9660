// --state under crashes: clients write as fast as they can while the
// simulator is killed (SIGKILL) at random moments and restarted on the same
// state file; every write whose reply arrived must be there afterwards.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "sim_process.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;

constexpr int kClients = 4;
constexpr int kRounds = 8;

std::string counter(int i) { return "scratch.c" + std::to_string(i); }

int64_t read_value(test::RawClient& c, int32_t node) {
    test::Reply r(c.call(c.request(Op::GetNodeValueString).i32(node).i32(64)));
    std::string text;
    return r.ok && r.result == E_OK && r.fields.str(text) ? std::stoll(text) : -1;
}

TEST(StateFileKill, AcknowledgedWritesSurviveSigkill) {
    test::TempDir dir;
    const std::string state = dir.path + "/state.json";
    std::mt19937 rng(std::random_device{}());
    std::vector<int64_t> acked(kClients, 0);  // last value whose write was acknowledged
    for (int round = 0; round < kRounds; ++round) {
        SimProcess sim(TESSARO_SIM_PATH, {"--state", state});
        ASSERT_TRUE(sim.listening()) << "round " << round << ": " << sim.log();
        const int port = sim.port();
        std::vector<int64_t> found(kClients, -1);
        {
            test::RawClient c;
            ASSERT_TRUE(c.connect(port) && c.hello());
            for (int i = 0; i < kClients; ++i) {
                if (round == 0) {
                    ASSERT_EQ(c.result(c.request(Op::CreateNodeOnController).str(counter(i)).i32(VT_I64).i32(0)), E_OK);
                }
                found[i] = read_value(c, c.get_node(counter(i)));
            }
        }
        // The write in flight when the simulator died may have been saved without its reply arriving.
        for (int i = 0; i < kClients; ++i)
            EXPECT_TRUE(found[i] == acked[i] || found[i] == acked[i] + 1)
                << "round " << round << ", client " << i << ": acknowledged " << acked[i] << ", found " << found[i];
        acked = found;

        std::vector<std::thread> clients;
        for (int i = 0; i < kClients; ++i)
            clients.emplace_back([&, i] {
                test::RawClient c;
                if (!c.connect(port) || !c.hello()) return;
                int32_t node = c.get_node(counter(i));
                for (int64_t v = acked[i] + 1;; ++v) {
                    if (c.result(c.request(Op::SetNodeValueString).i32(node).str(std::to_string(v))) != E_OK) return;
                    if (c.result(c.request(Op::WriteNodeSync).i32(node)) != E_OK) return;
                    acked[i] = v;
                }
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 400)(rng)));
        EXPECT_EQ(sim.stop(0, SIGKILL), 128 + SIGKILL);
        for (auto& t : clients) t.join();
    }
    EXPECT_GT(acked[0], kRounds);  // the clients did get writes through
}

}  // namespace
}  // namespace tessaro::sim
