// 32 clients of the stand-in library on one simulator, each writing and
// reading back a variable of its own and all of them one shared variable:
// nothing written may be lost, torn, or show up in another client's variable.
#include <gtest/gtest.h>

#include <cstdio>

#include "scripted_peer.h"
#include "program.h"
#include "sim_process.h"

namespace {

constexpr int kClients = 32;
constexpr int kRounds = 200;

// "client:round:" and a filler whose length and letter belong to the client,
// so a value mixed from two writes, or cut short, is none of these.
std::string value_of(int client, int round) {
    return std::to_string(client) + ":" + std::to_string(round) + ":" + std::string(64 + client, char('a' + client % 26));
}

// The buffer has room for any value of value_of(): another client may
// lengthen the shared value between the length query and the copy.
std::string read_value(HController hc, HNodeObject node) {
    std::string buf(256, '\0');
    if (ReadNode(hc, node) != 0 || GetNodeValueString(hc, node, buf.data(), static_cast<int>(buf.size())) != 0)
        return "<read failed>";
    return buf.c_str();
}

bool write_value(HController hc, HNodeObject node, const std::string& v) {
    return SetNodeValueString(hc, node, v.c_str()) == 0 && WriteNodeSync(hc, node) == 0;
}

// Runs one client; returns its faults.
std::vector<std::string> client(const std::string& address, int me) {
    HController hc = DetectRemoteController(address.c_str(), 1610);
    std::string own_name = "scratch.c" + std::to_string(me);
    if (hc == -1 || CreateNodeOnController(hc, own_name.c_str(), VT_STR, 0) != 0) return {"no connection or variable"};
    HNodeObject own = GetNode(hc, own_name.c_str()), shared = GetNode(hc, "scratch.shared");
    std::vector<std::string> faults;
    for (int round = 0; round < kRounds && faults.empty(); ++round) {
        const std::string mine = value_of(me, round);
        if (!write_value(hc, own, mine) || !write_value(hc, shared, mine)) return {"write failed"};
        std::string back = read_value(hc, own), seen = read_value(hc, shared);
        int who = -1, when = -1;
        if (back != mine) faults.push_back("own value lost or crossed: wrote " + mine + ", read " + back);
        if (std::sscanf(seen.c_str(), "%d:%d:", &who, &when) != 2 || who < 0 || who >= kClients || when < 0 ||
            seen != value_of(who, when))
            faults.push_back("shared value torn: " + seen);
    }
    return faults;
}

TEST(Load, ThirtyTwoClientsLoseTearAndCrossNothing) {
    tessaro::SimProcess sim(TESSARO_SIM);
    ASSERT_TRUE(sim.listening());
    HController hc = DetectRemoteController(sim.address().c_str(), 1610);
    ASSERT_EQ(CreateNodeOnController(hc, "scratch.shared", VT_STR, 0), 0);
    std::vector<std::vector<std::string>> faults(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i) threads.emplace_back([&, i] { faults[i] = client(sim.address(), i); });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kClients; ++i) {
        for (const auto& f : faults[i]) ADD_FAILURE() << "client " << i << ": " << f;
        // Each client's variable ends with the last value it wrote.
        EXPECT_EQ(read_value(hc, GetNode(hc, ("scratch.c" + std::to_string(i)).c_str())), value_of(i, kRounds - 1));
    }
}

}  // namespace
