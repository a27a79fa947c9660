// The server in-process, driven over TCP with the shared codec: handshake,
// framing errors, pushed events, faults on the wire and slow clients.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "default_scenario.h"
#include "server.h"
#include "support.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

using proto::Op;
using test::RawClient;
using test::Reply;
using ::testing::HasSubstr;

class Log {
public:
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lk(mu_);
        lines_.push_back(line);
    }
    bool wait_for(const std::string& part, int timeout_ms) {
        for (int waited = 0; waited <= timeout_ms; waited += 10) {
            {
                std::lock_guard<std::mutex> lk(mu_);
                for (const auto& l : lines_)
                    if (l.find(part) != std::string::npos) return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

private:
    std::mutex mu_;
    std::vector<std::string> lines_;
};

class ServerTest : public ::testing::Test {
protected:
    void start(const std::string& scenario = default_scenario_text()) {
        ServerOptions opt;
        opt.handshake_timeout_ms = 400;
        opt.frame_timeout_ms = 500;
        opt.write_timeout_ms = 300;
        opt.max_backlog_bytes = 256 * 1024;
        machine = std::make_unique<Machine>(test::load(scenario));
        machine->start_timers();
        server = std::make_unique<Server>(*machine, opt, [this](const std::string& l) { log.add(l); });
        std::string err;
        ASSERT_TRUE(server->listen("127.0.0.1", 0, err)) << err;
        server->start();
    }
    void TearDown() override {
        if (server) server->stop();
    }
    bool connect(RawClient& c, bool hello = true) { return c.connect(server->port()) && (!hello || c.hello()); }

    int32_t get_node(RawClient& c, const std::string& name) {
        auto w = c.request(Op::GetNode);
        w.str(name);
        Reply r(c.call(w));
        EXPECT_TRUE(r.ok);
        return r.result;
    }
    int32_t simple(RawClient& c, Op op, int32_t arg) {
        auto w = c.request(op);
        w.i32(arg);
        Reply r(c.call(w));
        EXPECT_TRUE(r.ok) << proto::op_name(op);
        return r.result;
    }
    int32_t simple(RawClient& c, Op op) {
        Reply r(c.call(c.request(op)));
        EXPECT_TRUE(r.ok) << proto::op_name(op);
        return r.result;
    }

    Log log;
    std::unique_ptr<Machine> machine;
    std::unique_ptr<Server> server;
};

TEST_F(ServerTest, HandshakeThenRequests) {
    start();
    RawClient c;
    ASSERT_TRUE(c.connect(server->port()));
    auto hello = c.request(Op::Hello);
    hello.str("TSRO").u32(1);
    Reply h(c.call(hello));
    ASSERT_TRUE(h.ok);
    EXPECT_EQ(h.result, E_OK);
    uint32_t version = 0;
    std::string name;
    EXPECT_TRUE(h.fields.u32(version) && h.fields.str(name) && h.fields.at_end());
    EXPECT_EQ(version, 1u);
    EXPECT_EQ(name, "tessaro-sim default");

    int32_t node = get_node(c, "sys.BoardAddr");
    ASSERT_GT(node, 0);
    auto wi = c.request(Op::GetNodeInfo);
    wi.i32(node);
    Reply info(c.call(wi));
    proto::NodeInfo ni;
    ASSERT_EQ(info.result, E_OK);
    ASSERT_TRUE(proto::get(info.fields, ni) && info.fields.at_end());
    EXPECT_EQ(ni.fullname, "sys.BoardAddr");
    EXPECT_EQ(ni.typestring, "VT_STR");

    auto wv = c.request(Op::GetNodeValueString);
    wv.i32(node).i32(64);
    Reply v(c.call(wv));
    std::string text;
    ASSERT_EQ(v.result, E_OK);
    ASSERT_TRUE(v.fields.str(text));
    EXPECT_EQ(text, "192.168.10.20");

    Reply plc(c.call(c.request(Op::GetPLCState)));
    uint32_t state = 0, reserved = 1;
    ASSERT_TRUE(plc.fields.u32(state) && plc.fields.u32(reserved) && plc.fields.at_end());
    EXPECT_EQ(state, 0x4004u);
    EXPECT_EQ(reserved, 0u);
    EXPECT_TRUE(log.wait_for("connection from 127.0.0.1:", 1000));
}

TEST_F(ServerTest, WrongMagicOrVersionIsRefusedAndClosed) {
    start();
    for (auto [magic, version, why] : {std::tuple<const char*, uint32_t, const char*>{"TSRX", 1, "wrong magic"},
                                       {"TSRO", 2, "unsupported version 2"}}) {
        RawClient c;
        ASSERT_TRUE(c.connect(server->port()));
        auto w = c.request(Op::Hello);
        w.str(magic).u32(version);
        Reply r(c.call(w));
        ASSERT_TRUE(r.ok);
        EXPECT_EQ(r.result, E_INVALID);
        EXPECT_TRUE(c.closed_within(1000));
        EXPECT_TRUE(log.wait_for(std::string("handshake failed (") + why + ")", 1000));
    }
}

TEST_F(ServerTest, RequestBeforeHelloIsRefusedAndClosed) {
    start();
    RawClient c;
    ASSERT_TRUE(connect(c, false));
    EXPECT_EQ(get_node(c, "sys.BoardAddr"), E_ACCESS);
    EXPECT_TRUE(c.closed_within(1000));
    EXPECT_TRUE(log.wait_for("closed: request before handshake", 1000));
}

TEST_F(ServerTest, ClientThatSaysNothingIsDropped) {
    start();
    RawClient c;
    ASSERT_TRUE(connect(c, false));
    EXPECT_TRUE(c.closed_within(2000));
    EXPECT_TRUE(log.wait_for("closed: handshake timeout", 1000));
}

TEST_F(ServerTest, BadFrameHeaderClosesOnlyThatConnection) {
    start();
    RawClient good, zero, huge;
    ASSERT_TRUE(connect(good) && connect(zero) && connect(huge));
    const uint8_t empty[4] = {0, 0, 0, 0};
    const uint8_t too_big[4] = {0x00, 0x10, 0x00, 0x01};  // 1 MiB + 1
    ASSERT_TRUE(zero.send_bytes(empty, 4));
    ASSERT_TRUE(huge.send_bytes(too_big, 4));
    EXPECT_TRUE(zero.closed_within(1000));
    EXPECT_TRUE(huge.closed_within(1000));
    EXPECT_TRUE(log.wait_for("closed: bad frame header", 1000));
    EXPECT_GT(get_node(good, "sys.BoardAddr"), 0);
}

TEST_F(ServerTest, UndecodableRequestsGetAnErrorAndTheConnectionStays) {
    start();
    RawClient c;
    ASSERT_TRUE(connect(c));
    Reply unknown(c.call(wire::Writer(wire::Kind::Request, 77, 999)));
    ASSERT_TRUE(unknown.ok);
    EXPECT_EQ(unknown.result, E_UNIMP);
    auto wrong_tag = c.request(Op::GetNode);
    wrong_tag.i32(5);
    EXPECT_EQ(Reply(c.call(wrong_tag)).result, E_INVALID);
    auto trailing = c.request(Op::GetNode);
    trailing.str("sys").i32(1);
    EXPECT_EQ(Reply(c.call(trailing)).result, E_INVALID);
    auto missing = c.request(Op::GetNodeValueString);
    missing.i32(1);
    Reply m(c.call(missing));
    EXPECT_EQ(m.result, E_INVALID);
    std::string empty = "x";
    EXPECT_TRUE(m.fields.str(empty) && empty.empty());  // the reply keeps its shape
    EXPECT_GT(get_node(c, "sys.BoardAddr"), 0);
}

TEST_F(ServerTest, PlcEventsReachRegisteredClientsInOrder) {
    start(R"({"nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": 60, "ready_delay_ms": 20}]})");
    RawClient a, b;
    ASSERT_TRUE(connect(a) && connect(b));
    ASSERT_EQ(simple(a, Op::RegisterOnPLCChanged), E_OK);
    int32_t job = get_node(a, "J");
    ASSERT_EQ(simple(a, Op::SelectNode, job), E_OK);
    uint32_t w = 0;
    ASSERT_TRUE(a.next_event(w, 2000));
    EXPECT_EQ(w, 0x4004u | 0x10u);
    ASSERT_EQ(simple(b, Op::JobStart), E_OK);
    std::vector<uint32_t> seen;
    while (seen.size() < 3 && a.next_event(w, 2000)) seen.push_back(w);
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x4024, 0x4044, 0x4054}));
    std::vector<uint8_t> body;
    EXPECT_EQ(b.read(body, 100), wire::IoStatus::Timeout);  // b never registered
    ASSERT_EQ(simple(a, Op::UnregisterOnPLCChanged), E_OK);
    ASSERT_EQ(simple(b, Op::JobStart), E_OK);
    EXPECT_FALSE(a.next_event(w, 150));
}

TEST_F(ServerTest, ZeroDurationJobEndsBeforeTheStartReplies) {
    start(R"({"nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": 0, "ready_delay_ms": 0}]})");
    RawClient early, runner, late;
    ASSERT_TRUE(connect(early) && connect(runner) && connect(late));
    ASSERT_EQ(simple(early, Op::RegisterOnPLCChanged), E_OK);
    ASSERT_EQ(simple(runner, Op::SelectNode, get_node(runner, "J")), E_OK);
    ASSERT_EQ(simple(runner, Op::JobStart), E_OK);
    ASSERT_EQ(simple(late, Op::RegisterOnPLCChanged), E_OK);
    uint32_t w = 0;
    std::vector<uint32_t> seen;
    while (seen.size() < 4 && early.next_event(w, 1000)) seen.push_back(w);
    EXPECT_EQ(seen, (std::vector<uint32_t>{0x4014, 0x4024, 0x4044, 0x4054}));
    EXPECT_FALSE(late.next_event(w, 200));
}

TEST_F(ServerTest, FaultsOnTheWire) {
    start(R"({"nodes": [{"name": "v", "type": "VT_I32"}],
             "faults": [{"op": "GetPLCState", "action": "silent", "times": 1},
                        {"op": "GetJobInfo", "action": "close"},
                        {"op": "GetNode", "node": "v", "call": 2, "delay_ms": 300},
                        {"op": "ReadNode", "node": "v", "result": -16}]})");
    RawClient c;
    ASSERT_TRUE(connect(c));
    EXPECT_TRUE(c.call(c.request(Op::GetPLCState), 300).empty());
    EXPECT_EQ(simple(c, Op::GetPLCState), E_OK);
    EXPECT_EQ(simple(c, Op::ReadNode, get_node(c, "v")), E_RETRY);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_GT(get_node(c, "v"), 0);  // the second GetNode of v comes late
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(300));
    c.call(c.request(Op::GetJobInfo), 500);
    EXPECT_TRUE(c.closed_within(1000));
    EXPECT_TRUE(log.wait_for("closed: closed by fault", 1000));
}

TEST_F(ServerTest, HelloFaultRefusesTheHandshake) {
    start(R"({"faults": [{"op": "Hello", "result": -13, "times": 1}]})");
    RawClient refused, accepted;
    ASSERT_TRUE(refused.connect(server->port()));
    EXPECT_FALSE(refused.hello());
    EXPECT_TRUE(refused.closed_within(1000));
    EXPECT_TRUE(connect(accepted));
}

TEST_F(ServerTest, ClientThatDoesNotReadIsDroppedWhileOthersGoOn) {
    std::string big(60000, 'x');
    start(R"({"nodes": [{"name": "big", "type": "VT_TEXT", "value": ")" + big + R"("}]})");
    RawClient slow, other;
    ASSERT_TRUE(connect(slow) && connect(other));
    int32_t node = get_node(slow, "big");
    for (int i = 0; i < 2000; ++i) {
        auto w = slow.request(Op::GetNodeValueString);
        w.i32(node).i32(1 << 20);
        if (!slow.send(w.frame())) break;  // the simulator gave up on us
    }
    EXPECT_GT(get_node(other, "big"), 0);
    EXPECT_TRUE(log.wait_for("(client not reading)", 5000));
    EXPECT_GT(get_node(other, "big"), 0);
}

TEST_F(ServerTest, CollectionsLiveOnTheirConnection) {
    start();
    RawClient a, b;
    ASSERT_TRUE(connect(a) && connect(b));
    int32_t coll = simple(a, Op::CreateNodeObjectCollection);
    ASSERT_GT(coll, 0);
    auto w = a.request(Op::GetSubnodes);
    w.i32(get_node(a, "sys")).i32(coll);
    EXPECT_EQ(Reply(a.call(w)).result, E_OK);
    auto count = [&](RawClient& c) {
        auto q = c.request(Op::GetNodeObjectCount);
        q.i32(coll);
        Reply r(c.call(q));
        int32_t n = -1;
        EXPECT_TRUE(r.fields.i32(n));
        return std::make_pair(r.result, n);
    };
    EXPECT_EQ(count(a), std::make_pair(E_OK, 7));
    EXPECT_EQ(count(b).first, E_INVALID);
    a.close();
    ASSERT_TRUE(connect(a));
    EXPECT_EQ(count(a).first, E_INVALID);
}

TEST_F(ServerTest, StopEndsBusyConnectionsPromptly) {
    start(R"({"faults": [{"op": "GetPLCState", "delay_ms": 60000}]})");
    RawClient waiting, idle, fresh;
    ASSERT_TRUE(connect(waiting) && connect(idle) && fresh.connect(server->port()));
    ASSERT_TRUE(waiting.send(waiting.request(Op::GetPLCState).frame()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto t0 = std::chrono::steady_clock::now();
    server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));
    EXPECT_TRUE(waiting.closed_within(500));
    EXPECT_TRUE(idle.closed_within(500));
    EXPECT_TRUE(fresh.closed_within(500));
}

TEST_F(ServerTest, ListensOnIpv6) {
    Machine m(test::load("{}"));
    Server s(m, ServerOptions{}, [](const std::string&) {});
    std::string err;
    if (!s.listen("::1", 0, err)) GTEST_SKIP() << "no IPv6 loopback: " << err;
    EXPECT_EQ(s.endpoint(), "[::1]:" + std::to_string(s.port()));
    EXPECT_FALSE(s.listen("not-an-address", 0, err));
    EXPECT_THAT(err, HasSubstr("invalid bind address"));
}

}  // namespace
}  // namespace tessaro::sim
