// PLC-change events: delivery on the library's thread in order, handlers that
// call back into the library, and the guarantees of UnregisterOnPLCChanged.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scripted_peer.h"
#include "test_util.h"
#include "xal_tessaro.h"

using peer::Op;
using peer::Request;
using peer::ScriptedPeer;
using peer::Session;
using testutil::eventually;
using testutil::Stopwatch;
namespace wire = tessaro::wire;

namespace {

// What the handlers saw; handlers take no user pointer, so it is global.
struct Seen {
    std::mutex mu;
    std::vector<std::string> log;
    std::vector<unsigned> states, reserved;
    std::vector<std::thread::id> threads;
    std::vector<HController> handles;
    std::atomic<int> depth{0}, max_depth{0};
    std::atomic<bool> started{false}, finished{false};
    std::atomic<int> inner_result{1};

    void note(const std::string& s) {
        std::lock_guard<std::mutex> lk(mu);
        log.push_back(s);
    }
    size_t count() {
        std::lock_guard<std::mutex> lk(mu);
        return states.size();
    }
};

Seen* g_seen = nullptr;

void record(HController hc, unsigned value, unsigned reserved) {
    std::lock_guard<std::mutex> lk(g_seen->mu);
    g_seen->states.push_back(value);
    g_seen->reserved.push_back(reserved);
    g_seen->threads.push_back(std::this_thread::get_id());
    g_seen->handles.push_back(hc);
}

int recording_handler(HController hc, unsigned value, unsigned reserved) {
    record(hc, value, reserved);
    return 0;
}

// Asks for the PLC state from inside the handler on the first event.
int reentrant_handler(HController hc, unsigned value, unsigned reserved) {
    int d = ++g_seen->depth;
    if (d > g_seen->max_depth) g_seen->max_depth = d;
    g_seen->note("enter " + std::to_string(value));
    if (value == 1) {
        unsigned state = 0, res = 0;
        int rc = GetPLCState(hc, &state, &res);
        g_seen->note("GetPLCState " + std::to_string(rc) + " " + std::to_string(state));
    }
    g_seen->note("leave " + std::to_string(value));
    --g_seen->depth;
    record(hc, value, reserved);  // last: the test goes on once it sees this
    return 0;
}

int slow_handler(HController hc, unsigned value, unsigned reserved) {
    g_seen->started = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    record(hc, value, reserved);
    g_seen->finished = true;
    return 0;
}

int self_unregistering_handler(HController hc, unsigned value, unsigned reserved) {
    record(hc, value, reserved);
    g_seen->inner_result = UnregisterOnPLCChanged(hc);
    return 0;
}

class Events : public ::testing::Test {
protected:
    void SetUp() override { g_seen = &seen_; }
    void TearDown() override { peer_.reset(); }  // before seen_ goes away

    HController open(ScriptedPeer::Script script = {}) {
        peer_ = std::make_unique<ScriptedPeer>(std::move(script));
        return testutil::connect_to(*peer_);
    }
    Session& session() { return *peer_->session(0); }
    // A round trip: the reader has handled everything sent before its reply.
    void sync(HController hc) { ASSERT_EQ(ReadNode(hc, 1), E_OK); }

    Seen seen_;
    std::unique_ptr<ScriptedPeer> peer_;
};

}  // namespace

TEST_F(Events, DeliveredInOrderOnTheLibrarysThread) {
    HController hc = open();
    ASSERT_GE(hc, 0);
    ASSERT_EQ(RegisterOnPLCChanged(hc, recording_handler), E_OK);
    for (unsigned i = 1; i <= 100; ++i) session().event(i, i * 2);
    ASSERT_TRUE(eventually([&] { return seen_.count() == 100; }));
    std::lock_guard<std::mutex> lk(seen_.mu);
    for (unsigned i = 0; i < 100; ++i) {
        EXPECT_EQ(seen_.states[i], i + 1);
        EXPECT_EQ(seen_.reserved[i], (i + 1) * 2);
        EXPECT_EQ(seen_.handles[i], hc);
        EXPECT_EQ(seen_.threads[i], seen_.threads[0]);
    }
    EXPECT_NE(seen_.threads[0], std::this_thread::get_id());
}

TEST_F(Events, DroppedWithoutAHandler) {
    HController hc = open();
    ASSERT_GE(hc, 0);
    session().event(1);
    sync(hc);
    ASSERT_EQ(RegisterOnPLCChanged(hc, recording_handler), E_OK);
    session().event(2);
    ASSERT_TRUE(eventually([&] { return seen_.count() == 1; }));
    ASSERT_EQ(UnregisterOnPLCChanged(hc), E_OK);
    session().event(3);
    sync(hc);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::lock_guard<std::mutex> lk(seen_.mu);
    EXPECT_EQ(seen_.states, std::vector<unsigned>{2});
}

TEST_F(Events, HandlerMayCallTheLibraryAndLaterEventsWait) {
    // An event overtakes the reply the handler waits for: it must be held
    // back until the handler has returned.
    HController hc = open([](Session& s, const Request& r) {
        if (r.op != Op::GetPLCState) return s.reply(r, E_OK);
        s.event(2);
        s.reply(r, 0, [](wire::Writer& w) { w.u32(0x30).u32(0); });
    });
    ASSERT_GE(hc, 0);
    ASSERT_EQ(RegisterOnPLCChanged(hc, reentrant_handler), E_OK);
    session().event(1);
    ASSERT_TRUE(eventually([&] { return seen_.count() == 2; }));
    std::lock_guard<std::mutex> lk(seen_.mu);
    EXPECT_EQ(seen_.log,
              (std::vector<std::string>{"enter 1", "GetPLCState 0 48", "leave 1", "enter 2", "leave 2"}));
    EXPECT_EQ(seen_.max_depth, 1);
}

TEST_F(Events, UnregisterWaitsForTheHandlerInProgress) {
    HController hc = open();
    ASSERT_GE(hc, 0);
    ASSERT_EQ(RegisterOnPLCChanged(hc, slow_handler), E_OK);
    session().event(1);
    ASSERT_TRUE(eventually([&] { return seen_.started.load(); }));
    EXPECT_EQ(UnregisterOnPLCChanged(hc), E_OK);
    EXPECT_TRUE(seen_.finished);
    // Never called again.
    session().event(2);
    sync(hc);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen_.count(), 1u);
}

TEST_F(Events, UnregisterFromInsideTheHandlerDoesNotDeadlock) {
    HController hc = open();
    ASSERT_GE(hc, 0);
    ASSERT_EQ(RegisterOnPLCChanged(hc, self_unregistering_handler), E_OK);
    session().event(1);
    session().event(2);
    ASSERT_TRUE(eventually([&] { return seen_.inner_result != 1; }));
    EXPECT_EQ(seen_.inner_result, E_OK);
    sync(hc);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen_.count(), 1u);
}

TEST_F(Events, RefusedRegistrationDeliversNothing) {
    HController hc = open([](Session& s, const Request& r) {
        s.reply(r, r.op == Op::RegisterOnPLCChanged ? E_ACCESS : E_OK);
    });
    ASSERT_GE(hc, 0);
    EXPECT_EQ(RegisterOnPLCChanged(hc, recording_handler), E_ACCESS);
    session().event(1);
    sync(hc);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(seen_.count(), 0u);

    size_t before = peer_->ops().size();
    EXPECT_EQ(RegisterOnPLCChanged(hc, nullptr), E_INVALID);
    EXPECT_EQ(peer_->ops().size(), before);
    EXPECT_EQ(RegisterOnPLCChanged(0x7ffffff0, recording_handler), E_INVALID);
    EXPECT_EQ(UnregisterOnPLCChanged(0x7ffffff0), E_INVALID);
}
