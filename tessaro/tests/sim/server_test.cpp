// The server in-process, driven over TCP with the shared codec: handshake,
// undecodable requests, pushed events, faults on the wire, slow clients and
// shutdown.
#include <gtest/gtest.h>

#include <thread>

#include "default_scenario.h"
#include "server.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;
using test::RawClient;
using test::Reply;
using Words = std::vector<uint32_t>;

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
        server = std::make_unique<Server>(*machine, opt, [this](const std::string& l) {
            std::lock_guard<std::mutex> lk(mu);
            log += l + "\n";
        });
        std::string err;
        ASSERT_TRUE(server->listen("127.0.0.1", 0, err)) << err;
        server->start();
    }
    void TearDown() override {
        if (server) server->stop();
    }
    bool connect(RawClient& c, bool hello = true) { return c.connect(server->port()) && (!hello || c.hello()); }
    // True when the server logs a line containing `part` within `timeout_ms`.
    bool logged(const std::string& part, int timeout_ms = 1000) {
        for (auto end = test::after(timeout_ms);; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            std::lock_guard<std::mutex> lk(mu);
            if (log.find(part) != std::string::npos) return true;
            if (test::ms_until(end) == 0) return false;
        }
    }
    // The result of a request whose one field is a handle.
    int32_t by_handle(RawClient& c, Op op, int32_t handle) { return c.result(c.request(op).i32(handle)); }

    std::mutex mu;
    std::string log;
    std::unique_ptr<Machine> machine;
    std::unique_ptr<Server> server;
};

TEST_F(ServerTest, HandshakeComesBeforeRequests) {
    start();
    RawClient c;
    ASSERT_TRUE(c.connect(server->port()));
    Reply h(c.call(c.request(Op::Hello).str("TSRO").u32(1)));
    uint32_t version = 0;
    std::string name;
    EXPECT_TRUE(h.ok && h.result == E_OK && h.fields.u32(version) && h.fields.str(name) && h.fields.at_end());
    EXPECT_EQ(version, 1u);
    EXPECT_EQ(name, "tessaro-sim default");
    EXPECT_GT(c.get_node("sys.BoardAddr"), 0);
    EXPECT_TRUE(logged("connection from 127.0.0.1:"));

    const std::tuple<const char*, uint32_t, Op, int32_t, const char*> refused[] = {
        {"TSRX", 1, Op::Hello, E_INVALID, "handshake failed (wrong magic)"},
        {"TSRO", 2, Op::Hello, E_INVALID, "handshake failed (unsupported version 2)"},
        {"TSRO", 1, Op::GetNode, E_ACCESS, "closed: request before handshake"}};
    for (auto [magic, v, op, rc, why] : refused) {
        RawClient r;
        ASSERT_TRUE(r.connect(server->port()));
        auto w = r.request(op);
        EXPECT_EQ(r.result(op == Op::Hello ? w.str(magic).u32(v) : w.str("sys.BoardAddr")), rc) << why;
        EXPECT_TRUE(r.closed_within(1000)) << why;
        EXPECT_TRUE(logged(why)) << why;
    }
    RawClient mute;
    ASSERT_TRUE(connect(mute, false));
    EXPECT_TRUE(mute.closed_within(2000));
    EXPECT_TRUE(logged("closed: handshake timeout"));
}

TEST_F(ServerTest, UndecodableRequestsGetAnErrorAndTheConnectionStays) {
    start();
    RawClient c;
    ASSERT_TRUE(connect(c));
    EXPECT_EQ(c.result(wire::Writer(wire::Kind::Request, 77, 999)), E_UNIMP);
    EXPECT_EQ(c.result(c.request(Op::GetNode).i32(5)), E_INVALID);             // wrong field type
    EXPECT_EQ(c.result(c.request(Op::GetNode).str("sys").i32(1)), E_INVALID);  // trailing field
    EXPECT_EQ(c.result(c.request(Op::GetNodeValueString).i32(1)), E_INVALID);  // a missing field
    EXPECT_GT(c.get_node("sys.BoardAddr"), 0);
}

TEST_F(ServerTest, PlcEventsReachRegisteredClientsInOrder) {
    start(R"({"nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": 60, "ready_delay_ms": 20}]})");
    RawClient a, b;
    ASSERT_TRUE(connect(a) && connect(b));
    ASSERT_EQ(a.result(a.request(Op::RegisterOnPLCChanged)), E_OK);
    ASSERT_EQ(by_handle(a, Op::SelectNode, a.get_node("J")), E_OK);
    uint32_t w = 0;
    ASSERT_TRUE(a.next_event(w, 2000));
    EXPECT_EQ(w, 0x4014u);  // ready, after its delay
    ASSERT_EQ(b.result(b.request(Op::JobStart)), E_OK);
    Words seen;
    while (seen.size() < 3 && a.next_event(w, 2000)) seen.push_back(w);
    EXPECT_EQ(seen, (Words{0x4024, 0x4044, 0x4054}));  // active, completed, completed and ready
    std::vector<uint8_t> body;
    EXPECT_EQ(b.read(body, 100), wire::IoStatus::Timeout);  // b never registered
    ASSERT_EQ(a.result(a.request(Op::UnregisterOnPLCChanged)), E_OK);
    ASSERT_EQ(b.result(b.request(Op::JobStart)), E_OK);
    EXPECT_FALSE(a.next_event(w, 150));
}

TEST_F(ServerTest, FaultsOnTheWire) {
    start(R"({"nodes": [{"name": "v", "type": "VT_I32"}],
             "faults": [{"op": "Hello", "result": -13, "times": 1},
                        {"op": "GetPLCState", "action": "silent", "times": 1},
                        {"op": "GetJobInfo", "action": "close"},
                        {"op": "GetNode", "node": "v", "call": 2, "delay_ms": 300},
                        {"op": "ReadNode", "node": "v", "result": -16}]})");
    RawClient refused, c;
    ASSERT_TRUE(refused.connect(server->port()));
    EXPECT_FALSE(refused.hello());
    EXPECT_TRUE(refused.closed_within(1000));
    ASSERT_TRUE(connect(c));
    EXPECT_TRUE(c.call(c.request(Op::GetPLCState), 300).empty());
    EXPECT_EQ(c.result(c.request(Op::GetPLCState)), E_OK);  // the connection stays after a silent fault
    EXPECT_EQ(by_handle(c, Op::ReadNode, c.get_node("v")), E_RETRY);
    EXPECT_GT(c.get_node("v"), 0);  // the second GetNode of v is carried out, late
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
    EXPECT_GT(other.get_node("big"), 0);
    EXPECT_TRUE(logged("(client not reading)", 5000));
    EXPECT_GT(other.get_node("big"), 0);
}

TEST_F(ServerTest, StopEndsBusyConnectionsPromptly) {
    start(R"({"faults": [{"op": "GetPLCState", "delay_ms": 60000}]})");
    RawClient waiting, idle, fresh;
    ASSERT_TRUE(connect(waiting) && connect(idle) && fresh.connect(server->port()));
    ASSERT_TRUE(waiting.send(waiting.request(Op::GetPLCState).frame()));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server->stop();  // does not wait out the 60 s delay
    for (RawClient* c : {&waiting, &idle, &fresh}) EXPECT_TRUE(c->closed_within(500));
}

}  // namespace
}  // namespace tessaro::sim
