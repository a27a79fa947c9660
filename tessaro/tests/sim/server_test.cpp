// Which calls fault rules hit; the server in-process with short time bounds,
// driven over TCP with the shared codec: the handshake, faults on the wire,
// slow clients and shutdown.
#include <gtest/gtest.h>

#include <thread>

#include "default_scenario.h"
#include "server.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;
using test::RawClient;

TEST(FaultTable, CallAndTimesPickTheWindowOfMatchingCallsAndTheFirstListedWins) {
    const std::tuple<uint64_t, uint64_t, std::vector<int>> cases[] = {
        {0, 0, {1, 2, 3, 4, 5}}, {2, 0, {2}}, {0, 2, {1, 2}}, {2, 2, {2, 3}}};
    for (const auto& [call, times, expected] : cases) {
        FaultTable t({Fault{Op::GetNode, "a", {}, call, times, -1, Fault::Action::None, 0}});
        std::vector<int> hit;
        for (int i = 1; i <= 5; ++i) {
            EXPECT_FALSE(t.check({Op::GetNode, {"b"}, {}}));  // not counted: another node,
            EXPECT_FALSE(t.check({Op::ReadNode, {"a"}, {}}));  // another operation
            if (t.check({Op::GetNode, {"a"}, {}})) hit.push_back(i);
        }
        EXPECT_EQ(hit, expected) << "call " << call << ", times " << times;
    }
    // The first listed fault wins, but all count: the second one counts the
    // first call too, although the first one hit it.
    FaultTable t({Fault{Op::JobStart, {}, {}, 0, 1, -9, Fault::Action::None, 0},
                  Fault{Op::JobStart, {}, {}, 2, 0, -14, Fault::Action::None, 0}});
    FaultQuery q{Op::JobStart, {}, {}};
    EXPECT_EQ(t.check(q)->result, -9);
    EXPECT_EQ(t.check(q)->result, -14);
    EXPECT_FALSE(t.check(q));
}

class ServerTest : public ::testing::Test {
protected:
    void start(const std::string& scenario = default_scenario_text()) {
        ServerOptions opt;
        opt.handshake_timeout_ms = 400;
        opt.write_timeout_ms = 300;
        opt.max_backlog_bytes = 256 * 1024;
        machine = std::make_unique<Machine>(test::load(scenario));
        server = std::make_unique<Server>(*machine, opt, [this](const std::string& l) {
            std::lock_guard<std::mutex> lk(mu);
            log += l + "\n";
        });
        std::string err;
        ASSERT_TRUE(server->listen("127.0.0.1", 0, err)) << err;
        server->start();
    }
    bool connect(RawClient& c, bool hello = true) { return c.connect(server->port()) && (!hello || c.hello()); }
    // True when the server logs a line containing `part` within `timeout_ms`.
    bool logged(const std::string& part, int timeout_ms = 1000) {
        for (int waited = 0;; waited += 10, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            std::lock_guard<std::mutex> lk(mu);
            if (log.find(part) != std::string::npos) return true;
            if (waited >= timeout_ms) return false;
        }
    }

    std::mutex mu;
    std::string log;
    std::unique_ptr<Machine> machine;
    std::unique_ptr<Server> server;
};

TEST_F(ServerTest, HandshakeComesBeforeRequests) {
    start();
    RawClient early, newer, mute;
    ASSERT_TRUE(connect(early, false) && connect(newer, false) && connect(mute, false));
    EXPECT_EQ(early.get_node("sys.BoardAddr"), E_ACCESS);
    EXPECT_EQ(newer.result(newer.request(Op::Hello).str(wire::kMagic).u32(wire::kProtocolVersion + 1)), E_INVALID);
    for (RawClient* c : {&early, &newer, &mute}) EXPECT_TRUE(c->closed_within(2000));
    EXPECT_TRUE(logged("closed: request before handshake"));
    EXPECT_TRUE(logged("closed: handshake failed (unsupported version " + std::to_string(wire::kProtocolVersion + 1)));
    EXPECT_TRUE(logged("closed: handshake timeout"));
}

TEST_F(ServerTest, FaultsOnTheWire) {
    start(R"({"nodes": [{"name": "v", "type": "VT_I32"}],
             "faults": [{"op": "Hello", "result": -13, "times": 1},
                        {"op": "GetPLCState", "action": "silent", "times": 1},
                        {"op": "GetJobInfo", "action": "close"},
                        {"op": "GetNodeInfo", "node": "v", "result": -12},
                        {"op": "GetNodeValueString", "handle": 1, "result": -3}]})");
    RawClient refused, c;
    ASSERT_TRUE(refused.connect(server->port()));
    EXPECT_FALSE(refused.hello());
    EXPECT_TRUE(refused.closed_within(1000));
    ASSERT_TRUE(connect(c));
    EXPECT_TRUE(c.call(c.request(Op::GetPLCState), 300).empty());
    EXPECT_EQ(c.result(c.request(Op::GetPLCState)), E_OK);  // the connection stays after a silent fault
    // A refused reply has the fields of its operation's reply, and no record.
    std::vector<uint8_t> record = c.call(c.request(Op::GetNodeInfo).i32(1));
    std::vector<uint8_t> copy = c.call(c.request(Op::GetNodeValueString).i32(1).i32(100));
    wire::Reader r1(record), r2(copy);
    int32_t rc1 = 0, rc2 = 0;
    std::string text = "x";
    EXPECT_TRUE(r1.i32(rc1) && rc1 == E_NOEXIST && r1.at_end());
    EXPECT_TRUE(r2.i32(rc2) && rc2 == E_NOSPACE && r2.str(text) && text.empty() && r2.at_end());
    c.call(c.request(Op::GetJobInfo), 500);
    EXPECT_TRUE(c.closed_within(1000));
    EXPECT_TRUE(logged("closed: closed by fault"));
}

TEST_F(ServerTest, ClientThatDoesNotReadIsDroppedWhileOthersGoOn) {
    start(R"({"nodes": [{"name": "big", "type": "VT_TEXT", "value": ")" + std::string(60000, 'x') + R"("}]})");
    RawClient slow, other;
    ASSERT_TRUE(connect(slow) && connect(other));
    int32_t node = slow.get_node("big");
    for (int i = 0; i < 2000; ++i)
        if (!slow.send(slow.request(Op::GetNodeValueString).i32(node).i32(1 << 20).frame())) break;  // dropped
    EXPECT_TRUE(logged("(client not reading)", 5000));
    EXPECT_GT(other.get_node("big"), 0);
}

TEST_F(ServerTest, StopEndsBusyConnectionsPromptly) {
    start(R"({"faults": [{"op": "GetPLCState", "delay_ms": 60000}]})");
    RawClient waiting, idle, fresh;
    ASSERT_TRUE(connect(waiting) && connect(idle) && fresh.connect(server->port()));
    EXPECT_TRUE(waiting.call(waiting.request(Op::GetPLCState), 200).empty());  // held back by the delay
    server->stop();  // does not wait it out
    for (RawClient* c : {&waiting, &idle, &fresh}) EXPECT_TRUE(c->closed_within(500));
}

}  // namespace
}  // namespace tessaro::sim
