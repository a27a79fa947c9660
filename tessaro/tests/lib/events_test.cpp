// PLC-change events: delivery on the library's thread in order and only while
// a handler is registered, handlers that call back into the library, and the
// guarantees of UnregisterOnPLCChanged.
#include <gtest/gtest.h>

#include <set>

#include "scripted_peer.h"

using namespace peer;

namespace {

// What the handler does besides noting the call.
enum class Mode { Note, AskState, Slow, Unregister };

// What the handler saw; handlers take no user pointer, so it is global.
struct Seen {
    HController hc = -1;
    std::atomic<Mode> mode{Mode::Note};
    std::atomic<int> entered{0}, inner_result{1};
    std::mutex mu;
    std::vector<std::string> log;  // "state/reserved" as each call returns
    std::set<std::thread::id> threads;
    bool other_handle = false;
} * g_seen;

int handler(HController hc, unsigned state, unsigned reserved) {
    Seen& s = *g_seen;
    ++s.entered;
    std::string note;
    if (s.mode == Mode::AskState && state == 1) {
        unsigned st = 0, res = 0;
        int rc = GetPLCState(hc, &st, &res);
        note = "GetPLCState " + std::to_string(rc) + " " + std::to_string(st) + ", ";
    } else if (s.mode == Mode::Slow) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    } else if (s.mode == Mode::Unregister) {
        s.inner_result = UnregisterOnPLCChanged(hc);
    }
    std::lock_guard<std::mutex> lk(s.mu);
    s.log.push_back(note + std::to_string(state) + "/" + std::to_string(reserved));
    s.threads.insert(std::this_thread::get_id());
    s.other_handle |= hc != s.hc;
    return 0;
}

class Events : public ::testing::Test {
protected:
    // Unregistering waits for a handler call in progress and stops later
    // ones, so none can reach seen_ once it is gone.
    void TearDown() override { UnregisterOnPLCChanged(seen_.hc); }

    void open(ScriptedPeer::Script script = {}) {
        g_seen = &seen_;
        peer_ = std::make_unique<ScriptedPeer>(std::move(script));
        seen_.hc = peer_->connect();
        ASSERT_GE(seen_.hc, 0);
    }
    void event(unsigned state, unsigned reserved = 0) { peer_->session()->event(state, reserved); }
    // After a round trip the reader has handled every event sent before; a
    // short wait more covers delivery that is not on the reader thread.
    void settle() {
        ASSERT_EQ(ReadNode(seen_.hc, 1), E_OK);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lk(seen_.mu);
        return seen_.log;
    }
    bool calls(size_t n) { return eventually([&] { return log().size() == n; }); }

    Seen seen_;
    std::unique_ptr<ScriptedPeer> peer_;
};

}  // namespace

TEST_F(Events, DeliveredInOrderOnTheLibrarysThreadOnlyWhileRegistered) {
    open();
    event(99);  // no handler yet: dropped, not kept for later
    settle();
    ASSERT_EQ(RegisterOnPLCChanged(seen_.hc, handler), E_OK);
    std::vector<std::string> sent;
    for (unsigned i = 1; i <= 100; ++i) {
        event(i, i * 2);
        sent.push_back(std::to_string(i) + "/" + std::to_string(i * 2));
    }
    ASSERT_TRUE(calls(100));
    ASSERT_EQ(UnregisterOnPLCChanged(seen_.hc), E_OK);
    event(101);
    settle();
    EXPECT_EQ(log(), sent);
    EXPECT_EQ(seen_.threads.size(), 1u);
    EXPECT_EQ(seen_.threads.count(std::this_thread::get_id()), 0u);
    EXPECT_FALSE(seen_.other_handle);
}

TEST_F(Events, HandlerMayCallTheLibraryAndLaterEventsWait) {
    // An event overtakes the reply the handler waits for: it must be held
    // back until the handler has returned.
    open([](Session& s, const Request& r) {
        if (r.op != Op::GetPLCState) return s.reply(r, E_OK);
        s.event(2);
        s.reply(r, 0, [](wire::Writer& w) { w.u32(0x30).u32(0); });
    });
    seen_.mode = Mode::AskState;
    ASSERT_EQ(RegisterOnPLCChanged(seen_.hc, handler), E_OK);
    event(1);
    ASSERT_TRUE(calls(2));
    EXPECT_EQ(log(), (std::vector<std::string>{"GetPLCState 0 48, 1/0", "2/0"}));
}

TEST_F(Events, UnregisterWaitsForTheHandlerInProgressAndWorksFromInsideIt) {
    open();
    seen_.mode = Mode::Slow;
    ASSERT_EQ(RegisterOnPLCChanged(seen_.hc, handler), E_OK);
    event(1);
    ASSERT_TRUE(eventually([&] { return seen_.entered > 0; }));
    EXPECT_EQ(UnregisterOnPLCChanged(seen_.hc), E_OK);
    EXPECT_EQ(log().size(), 1u);  // the call in progress had returned
    // From inside the handler it cannot wait for itself, and must not try.
    seen_.mode = Mode::Unregister;
    ASSERT_EQ(RegisterOnPLCChanged(seen_.hc, handler), E_OK);
    event(2);
    event(3);
    ASSERT_TRUE(eventually([&] { return seen_.inner_result != 1; }));
    EXPECT_EQ(seen_.inner_result, E_OK);
    event(4);
    settle();
    EXPECT_EQ(log(), (std::vector<std::string>{"1/0", "2/0"}));  // neither was called again
}

TEST_F(Events, RefusedRegistrationDeliversNothing) {
    open([](Session& s, const Request& r) { s.reply(r, r.op == Op::RegisterOnPLCChanged ? E_ACCESS : E_OK); });
    EXPECT_EQ(RegisterOnPLCChanged(seen_.hc, handler), E_ACCESS);
    event(1);
    settle();
    EXPECT_TRUE(log().empty());
}
