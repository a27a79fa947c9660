// 32 clients of the stand-in library on one simulator, each writing and
// reading back a variable of its own and all of them one shared variable:
// nothing written may be lost, torn, or show up in another client's variable.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "sim_process.h"
#include "xal_tessaro.h"

namespace {

constexpr int kClients = 32;
constexpr int kRounds = 200;

// The client's number, the round, and a filler whose length and letter are the
// client's: a value mixed from two writes, or cut short, is none of these.
std::string value_of(int client, int round) {
    return std::to_string(client) + ":" + std::to_string(round) + ":" + std::string(64 + client, char('a' + client % 26));
}
bool well_formed(const std::string& v) {
    int client = -1, round = -1;
    return std::sscanf(v.c_str(), "%d:%d:", &client, &round) == 2 && client >= 0 && client < kClients && round >= 0 &&
           v == value_of(client, round);
}
bool write_value(HController hc, HNodeObject node, const std::string& v) {
    return SetNodeValueString(hc, node, v.c_str()) == 0 && WriteNodeSync(hc, node) == 0;
}
std::string read_value(HController hc, HNodeObject node) {
    std::string buf(256, '\0');  // room for any value_of()
    if (ReadNode(hc, node) != 0 || GetNodeValueString(hc, node, buf.data(), 256) != 0) return "<read failed>";
    return buf.c_str();
}

// Runs one client; returns what went wrong, if anything.
std::string client(const std::string& address, int me) {
    HController hc = DetectRemoteController(address.c_str(), 1610);
    std::string name = "scratch.c" + std::to_string(me);
    if (hc == -1 || CreateNodeOnController(hc, name.c_str(), VT_STR, 0) != 0) return "no connection or variable";
    HNodeObject own = GetNode(hc, name.c_str()), shared = GetNode(hc, "scratch.shared");
    for (int round = 0; round < kRounds; ++round) {
        const std::string mine = value_of(me, round);
        if (!write_value(hc, own, mine) || !write_value(hc, shared, mine)) return "write failed";
        const std::string back = read_value(hc, own), seen = read_value(hc, shared);
        if (back != mine) return "value lost or crossed: wrote " + mine + ", read " + back;
        if (!well_formed(seen)) return "shared value torn: " + seen;
    }
    return "";
}

TEST(Load, ThirtyTwoClientsLoseTearAndCrossNothing) {
    tessaro::SimProcess sim(TESSARO_SIM, {"--http", "0"});  // its trace kept for the API all along
    ASSERT_TRUE(sim.listening());
    HController hc = DetectRemoteController(sim.address().c_str(), 1610);
    ASSERT_EQ(CreateNodeOnController(hc, "scratch.shared", VT_STR, 0), 0);
    ASSERT_TRUE(write_value(hc, GetNode(hc, "scratch.shared"), value_of(0, 0)));
    std::vector<std::string> faults(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) threads.emplace_back([&, i] { faults[i] = client(sim.address(), i); });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(faults[i], "") << "client " << i;
}

}  // namespace
