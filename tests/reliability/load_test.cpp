// 32 clients of the stand-in library on one simulator, each writing and
// reading back a variable of its own and all of them one shared variable:
// nothing written may be lost, torn, or show up in another client's variable.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "scripted_peer.h"
#include "program.h"
#include "sim_process.h"

namespace {

constexpr int kClients = 32;
constexpr int kMaxRounds = 2000;
constexpr int kBudgetMs = 5000;  // bounds the run; the rounds done are reported, never asserted

// "client:round:" and a filler whose length and letter belong to the client,
// so a value mixed from two writes, or cut short, no longer parses.
std::string value_of(int client, int round) {
    return std::to_string(client) + ":" + std::to_string(round) + ":" + std::string(64 + client, char('a' + client % 26));
}
bool well_formed(const std::string& v, int& client, int& round) {
    return std::sscanf(v.c_str(), "%d:%d:", &client, &round) == 2 && client >= 0 && client < kClients &&
           round >= 0 && value_of(client, round) == v;
}

// The buffer has room for any value of value_of(): another client may
// lengthen the shared value between the length query and the copy.
std::string read_value(HController hc, HNodeObject node) {
    if (ReadNode(hc, node) != 0) return "<ReadNode failed>";
    int len = GetNodeValueStringLen(hc, node);
    if (len < 0) return "<length failed>";
    std::string buf(std::max<size_t>(static_cast<size_t>(len) + 1, 256), '\0');
    if (GetNodeValueString(hc, node, buf.data(), static_cast<int>(buf.size())) != 0) return "<copy failed>";
    return buf.c_str();
}

bool write_value(HController hc, HNodeObject node, const std::string& v) {
    return SetNodeValueString(hc, node, v.c_str()) == 0 && WriteNodeSync(hc, node) == 0;
}

struct Tally {
    int rounds = 0;
    std::vector<std::string> faults;
};

void client(const std::string& address, int me, std::atomic<int>* done_rounds, Tally& t) {
    HController hc = DetectRemoteController(address.c_str(), 1610);
    std::string own_name = "scratch.c" + std::to_string(me);
    if (hc == -1 || CreateNodeOnController(hc, own_name.c_str(), VT_STR, 0) != 0)
        return t.faults.push_back("no connection or no variable");
    HNodeObject own = GetNode(hc, own_name.c_str()), shared = GetNode(hc, "scratch.shared");
    for (peer::Stopwatch sw; t.rounds < kMaxRounds && sw.ms() < kBudgetMs; ++t.rounds) {
        const std::string mine = value_of(me, t.rounds);
        done_rounds[me].store(t.rounds);  // before the write, so a reader never sees a round ahead of it
        if (!write_value(hc, own, mine) || !write_value(hc, shared, mine)) return t.faults.push_back("write failed");
        std::string back = read_value(hc, own), seen = read_value(hc, shared);
        if (back != mine) t.faults.push_back("own value lost or crossed: wrote " + mine + ", read " + back);
        int who = 0, round = 0;
        if (!well_formed(seen, who, round) || round > done_rounds[who].load())
            t.faults.push_back("shared value torn or never written: " + seen);
    }
}

TEST(Load, ThirtyTwoClientsLoseTearAndCrossNothing) {
    tessaro::SimProcess sim(TESSARO_SIM);
    ASSERT_TRUE(sim.listening());
    HController hc = DetectRemoteController(sim.address().c_str(), 1610);
    ASSERT_EQ(CreateNodeOnController(hc, "scratch.shared", VT_STR, 0), 0);
    ASSERT_TRUE(write_value(hc, GetNode(hc, "scratch.shared"), value_of(0, 0)));

    std::atomic<int> done_rounds[kClients] = {};
    std::vector<Tally> tallies(kClients);
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back(client, sim.address(), i, done_rounds, std::ref(tallies[i]));
    for (auto& t : threads) t.join();

    long rounds = 0;
    for (int i = 0; i < kClients; ++i) {
        rounds += tallies[i].rounds;
        EXPECT_GT(tallies[i].rounds, 0) << "client " << i;
        for (const auto& f : tallies[i].faults) ADD_FAILURE() << "client " << i << ": " << f;
        // Each client's variable ends with the last value it wrote.
        HNodeObject own = GetNode(hc, ("scratch.c" + std::to_string(i)).c_str());
        EXPECT_EQ(read_value(hc, own), value_of(i, tallies[i].rounds - 1));
    }
    std::printf("%d clients, %ld rounds, %ld library calls\n", kClients, rounds, rounds * 10);
}

}  // namespace
