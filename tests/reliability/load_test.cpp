// 32 clients of the stand-in library on one simulator, each writing and
// reading back a variable of its own: nothing written may be lost or show up
// in another client's variable.
#include <gtest/gtest.h>

#include "scripted_peer.h"
#include "program.h"
#include "sim_process.h"

namespace {

constexpr int kClients = 32;
constexpr int kRounds = 300;

// Runs one client; returns what went wrong, if anything.
std::string client(const std::string& address, int me) {
    HController hc = DetectRemoteController(address.c_str(), 1610);
    std::string name = "scratch.c" + std::to_string(me);
    if (hc == -1 || CreateNodeOnController(hc, name.c_str(), VT_STR, 0) != 0) return "no connection or variable";
    HNodeObject own = GetNode(hc, name.c_str());
    for (int round = 0; round < kRounds; ++round) {
        // The client's number in every value: a value of another client's shows.
        const std::string mine = std::to_string(me) + ":" + std::to_string(round);
        if (SetNodeValueString(hc, own, mine.c_str()) != 0 || WriteNodeSync(hc, own) != 0) return "write failed";
        std::string back(64, '\0');
        if (ReadNode(hc, own) != 0 || GetNodeValueString(hc, own, back.data(), 64) != 0) return "read failed";
        if (back.c_str() != mine) return "value lost or crossed: wrote " + mine + ", read " + back.c_str();
    }
    return "";
}

TEST(Load, ThirtyTwoClientsLoseAndCrossNothing) {
    tessaro::SimProcess sim(TESSARO_SIM);
    ASSERT_TRUE(sim.listening());
    std::vector<std::string> faults(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) threads.emplace_back([&, i] { faults[i] = client(sim.address(), i); });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(faults[i], "") << "client " << i;
}

}  // namespace
