// A program that exits while its connection is alive: the reader thread is
// reading, a handler is receiving a stream of events and another thread waits
// for a reply that never comes. The process must exit at once, with status 0
// and without sanitizer reports (ctest fails the run on a report or a hang).
#include <cstdio>

#include "scripted_peer.h"

namespace {

std::atomic<int> g_events{0};

int count_event(HController hc, unsigned, unsigned) {
    unsigned state = 0, reserved = 0;
    GetPLCState(hc, &state, &reserved);  // re-entrant calls keep going too
    ++g_events;
    return 0;
}

// Never destroyed, like the program's own connection: the peer's threads keep
// running through exit as well.
peer::ScriptedPeer* g_peer = nullptr;

}  // namespace

int main() {
    peer::ScriptedPeer* p = g_peer = new peer::ScriptedPeer([](peer::Session& s, const peer::Request& r) {
        if (r.op == peer::Op::ReadNode) return;  // never answered
        if (r.op == peer::Op::GetPLCState) return s.reply(r, 0, [](peer::wire::Writer& w) { w.u32(1).u32(0); });
        s.reply(r, 0);
    });
    HController hc = p->connect();
    if (hc < 0 || RegisterOnPLCChanged(hc, count_event) != E_OK) {
        std::fprintf(stderr, "no connection\n");
        return 1;
    }
    std::thread([hc] {
        for (;;) ReadNode(hc, 1);
    }).detach();
    std::thread([s = p->session()] {
        for (unsigned i = 0;; ++i) {
            s->event(i);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }).detach();
    if (!peer::eventually([] { return g_events >= 20; })) {
        std::fprintf(stderr, "events did not arrive\n");
        return 1;
    }
    return 0;  // static destruction runs with everything still going
}
