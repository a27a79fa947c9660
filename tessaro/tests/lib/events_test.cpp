// PLC-change events: delivery on the library's thread in order and only while
// a handler is registered, handlers that call back into the library, and the
// guarantees of UnregisterOnPLCChanged.
#include <gtest/gtest.h>

#include <set>

#include "scripted_peer.h"

using namespace peer;

namespace {

// What the handler saw; handlers take no user pointer, so it is global.
std::mutex g_mu;
std::vector<std::string> g_log;  // "state/reserved" as each call returns
std::set<std::thread::id> g_threads;
std::atomic<int> g_entered{0}, g_inner{1};

// Notes each call; some states make it do more first.
enum : unsigned { kAskState = 1000, kSlow = 2000, kUnregister = 3000 };
int handler(HController hc, unsigned state, unsigned reserved) {
    ++g_entered;
    std::string note = std::to_string(state) + "/" + std::to_string(reserved);
    unsigned st = 0, res = 0;
    if (state == kAskState) note += " state " + std::to_string(GetPLCState(hc, &st, &res) == E_OK ? st : 0);
    if (state == kSlow) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (state == kUnregister) g_inner = UnregisterOnPLCChanged(hc);
    std::lock_guard<std::mutex> lk(g_mu);
    g_log.push_back(note);
    g_threads.insert(std::this_thread::get_id());
    return 0;
}

std::vector<std::string> log() {
    std::lock_guard<std::mutex> lk(g_mu);
    return g_log;
}

}  // namespace

TEST(Events, DeliveredInOrderOnTheLibrarysThreadOnlyWhileRegistered) {
    // Registration is refused at first. Before the reply to GetPLCState comes
    // an event: when the handler waits for that reply, the event must wait
    // until the handler has returned. GetNodeInfo gets an event that cannot
    // be decoded.
    std::atomic<bool> refuse{true};
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (r.op == Op::GetNodeInfo)
            return (void)s.send_raw(wire::Writer(wire::Kind::Event, 0, uint16_t(Op::PlcChanged)).u32(1).frame());
        if (r.op == Op::GetPLCState) s.event(2);
        s.reply(r, r.op == Op::RegisterOnPLCChanged && refuse ? E_ACCESS : 0, [&](wire::Writer& w) {
            if (r.op == Op::GetPLCState) w.u32(0x30).u32(0);
        });
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    Session& s = *p.session();
    // After a round trip every event sent before it has been read.
    auto settle = [&] { EXPECT_EQ(ReadNode(hc, 1), E_OK); };
    s.event(97);  // nothing is kept for a handler not yet registered, refused, or gone
    settle();
    EXPECT_EQ(RegisterOnPLCChanged(hc, handler), E_ACCESS);
    s.event(98);
    settle();
    refuse = false;
    ASSERT_EQ(RegisterOnPLCChanged(hc, handler), E_OK);
    std::vector<std::string> sent;
    for (unsigned i = 1; i <= 100; ++i) {
        s.event(i, i * 2);
        sent.push_back(std::to_string(i) + "/" + std::to_string(i * 2));
    }
    s.event(kAskState);
    sent.insert(sent.end(), {"1000/0 state 48", "2/0"});
    ASSERT_TRUE(eventually([&] { return log().size() >= sent.size(); }));
    EXPECT_EQ(log(), sent);
    EXPECT_TRUE(g_threads.size() == 1 && g_threads.count(std::this_thread::get_id()) == 0);

    // Unregistering from another thread waits for the call in progress.
    s.event(kSlow);
    ASSERT_TRUE(eventually([&] { return g_entered > 102; }));
    EXPECT_EQ(UnregisterOnPLCChanged(hc), E_OK);
    EXPECT_EQ(log().size(), sent.size() + 1);
    s.event(99);
    settle();
    // From inside the handler it cannot wait for itself, and must not try.
    ASSERT_EQ(RegisterOnPLCChanged(hc, handler), E_OK);
    s.event(kUnregister);
    s.event(3);
    EXPECT_TRUE(eventually([&] { return g_inner == E_OK; }));
    settle();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(log().size(), sent.size() + 2);
    EXPECT_EQ(log().back(), "3000/0");

    // A bad event breaks the connection, for the call in progress too, and
    // every later call fails at once, without traffic.
    EXPECT_EQ(GetNodeInfo(hc, 1), nullptr);
    const size_t before = p.requests();
    EXPECT_EQ(ReadNode(hc, 1), E_UNAVAIL);
    EXPECT_EQ(RegisterOnPLCChanged(hc, handler), E_UNAVAIL);
    EXPECT_EQ(p.requests(), before);
}
