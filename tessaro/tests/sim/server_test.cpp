// The server in-process with short time bounds, driven over TCP with the
// shared codec: the handshake, a silent fault, a client that does not read,
// requests held back by a fault, and shutdown. Which calls a fault hits is the end-to-end transcripts'.
#include <gtest/gtest.h>

#include <thread>

#include "server.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;
using test::RawClient;

TEST(Server, DropsWhoBreaksTheHandshakeOrDoesNotReadKeepsOrderAndStopsPromptly) {
    ServerOptions opt;
    opt.handshake_timeout_ms = 400;
    opt.write_timeout_ms = 300;
    opt.max_backlog_bytes = 256 * 1024;
    Machine machine(test::load(R"({"nodes": [{"name": "big", "type": "VT_TEXT", "value": ")" +
                                   std::string(60000, 'x') + R"("}], "faults": [
        {"op": "GetPLCState", "action": "silent", "times": 1}, {"op": "GetJobInfo", "delay_ms": 60000},
        {"op": "GetJobNodeTypesCount", "delay_ms": 400, "times": 1}]})"));
    std::mutex mu;
    std::string log;
    Server server(machine, opt, [&](const std::string& line) {
        std::lock_guard<std::mutex> lk(mu);
        log += line + "\n";
    });
    auto logged = [&](const std::string& part) {  // within 5 s
        for (int waited = 0; waited < 5000; waited += 10, std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
            std::lock_guard<std::mutex> lk(mu);
            if (log.find(part) != std::string::npos) return true;
        }
        return false;
    };
    std::string err;
    ASSERT_TRUE(server.listen("127.0.0.1", 0, err)) << err;
    server.start();
    RawClient slow, waiting, idle, held, early, newer, mute;
    for (RawClient* c : {&slow, &waiting, &idle, &held}) ASSERT_TRUE(c->connect(server.port()) && c->hello());
    for (RawClient* c : {&early, &newer, &mute}) ASSERT_TRUE(c->connect(server.port()));
    EXPECT_EQ(early.get_node("big"), E_ACCESS);
    EXPECT_EQ(newer.result(newer.request(Op::Hello).str(wire::kMagic).u32(wire::kProtocolVersion + 1)), E_INVALID);
    for (RawClient* c : {&early, &newer, &mute}) EXPECT_TRUE(c->closed_within(2000));
    for (const std::string& part : std::initializer_list<std::string>{"closed: request before handshake", "closed: handshake timeout",
                                   "closed: handshake failed (unsupported version " + std::to_string(wire::kProtocolVersion + 1)})
        EXPECT_TRUE(logged(part)) << part;

    EXPECT_TRUE(idle.call(idle.request(Op::GetPLCState), 300).empty());
    EXPECT_EQ(idle.result(idle.request(Op::GetPLCState)), E_OK);  // the connection stays after a silent fault
    // Requests sent back to back are answered in order, also when a fault
    // holds one of them back; meanwhile the other clients are served.
    std::vector<uint8_t> batch;
    for (Op op : {Op::GetJobNamesLen, Op::GetJobNodeTypesCount, Op::GetJobNamesLen, Op::GetJobNodeTypesCount}) {
        std::vector<uint8_t> f = held.request(op).frame();
        batch.insert(batch.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(held.send(batch));
    EXPECT_FALSE(idle.call(idle.request(Op::GetNode).str("big"), 300).empty());  // not held up
    std::vector<uint8_t> body;
    for (uint32_t seq = 2; seq <= 5; ++seq) {
        ASSERT_EQ(wire::read_frame(held.fd(), body, 2000), wire::IoStatus::Ok);
        EXPECT_EQ(wire::Reader(body).seq(), seq);
    }
    int32_t node = slow.get_node("big");
    for (int i = 0; i < 2000; ++i)
        if (!slow.send(slow.request(Op::GetNodeValueString).i32(node).i32(1 << 20).frame())) break;  // dropped
    EXPECT_TRUE(logged("(client not reading)"));
    EXPECT_GT(idle.get_node("big"), 0);
    EXPECT_TRUE(waiting.call(waiting.request(Op::GetJobInfo), 200).empty());  // held back by the delay
    server.stop();  // does not wait it out
    for (RawClient* c : {&waiting, &idle}) EXPECT_TRUE(c->closed_within(500));
}

}  // namespace
}  // namespace tessaro::sim
