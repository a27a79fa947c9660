// Answers library clients from a recording instead of the machine
// (tessaro-sim --replay FILE, docs/record.md).
//
// Each connection is matched to a recorded one when it makes its first
// call: the first recorded connection not yet matched whose first call is
// the same, else the first not yet matched. From then on:
//
// - an action (a change, a selection, a job's start, a registration) must
//   be the connection's next recorded action, and is answered as it was;
// - a read is answered as it was answered at the same moment of the
//   recording: among the same calls since the last action, the last one
//   asked no later after that action than this one is after its replay (the
//   first one when none was), else the last one before that action. A
//   program that polls more or less often gets the answers the line gave it
//   at those moments;
// - the PLC events the connection received are pushed at their recorded
//   delays after the action they followed, to a connection registered for
//   them.
//
// A request that matches nothing is a divergence: it is answered with
// E_FAILURE and reported with the recorded calls closest to it and the
// fields that differ. Recorded calls that no request asked for are unused.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <nlohmann/json.hpp>

#include "log.h"
#include "machine.h"
#include "recording.h"
#include "request.h"

namespace tessaro::sim::replay {

class Replay {
public:
    // `strict`: unused calls fail the replay too. `clock` (default: the
    // steady clock) says when a read is asked; events keep the steady clock.
    using ClockFn = std::function<std::chrono::steady_clock::time_point()>;
    Replay(Recording recording, Machine& machine, bool strict, LogFn log, ClockFn clock = {});
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // Starts and stops pushing the recorded events.
    void start();
    void stop();

    // Answers a library client's request from the recording into `o`, and
    // names the nodes it addresses in `r.nodes`, as recorded, for the trace.
    // `conn` is the client's name in the trace. Any thread.
    void answer(Session& s, PlcSink* sink, const std::string& conn, Request& r, Outcome& o);
    // The connection of `s` has ended: nothing more reaches it.
    void end(Session& s);

    struct Counts {
        uint64_t matched = 0;
        uint64_t divergences = 0;
        uint64_t unused = 0;
    };
    Counts counts();
    // "replay: 57 calls matched, 0 divergences, 3 unused"
    std::string summary();
    // The same as JSON, with each divergence and unused call.
    std::string report();
    // Something diverged, or with `strict` went unused.
    bool failed();

private:
    struct Live;
    struct Progress {
        bool claimed = false;
        uint32_t next_action = 0;                // index into the session's actions
        std::unordered_set<uint64_t> asked;      // keys of the reads asked
    };
    struct Due {
        std::chrono::steady_clock::time_point when;
        uint64_t order;
        std::shared_ptr<Live> live;
        uint32_t word;
        bool operator>(const Due& o) const { return when != o.when ? when > o.when : order > o.order; }
    };

    using Bindings = std::vector<std::pair<std::string, std::string>>;
    bool same_args(const std::vector<trace::Arg>& recorded, const std::vector<trace::Arg>& asked, Bindings& bind);
    void bind(const Bindings& b);
    void claim(Live& l, uint64_t key);
    bool answer_action(Live& l, Request& r, Outcome& o);
    bool answer_read(Live& l, Request& r, uint64_t key, Outcome& o);
    void answer_as(const trace::TraceLine& line, Request& r, Outcome& o);
    void schedule_events(const std::shared_ptr<Live>& l, uint32_t after, int64_t since_us);
    void diverge(Live& l, Request& r, Outcome& o, const std::string& why);
    uint64_t unused_calls(std::vector<const RecordedCall*>* list, size_t max);
    void run_events();

    Recording rec_;
    Machine& machine_;
    bool strict_;
    LogFn log_;
    ClockFn clock_;

    std::mutex mu_;
    std::unordered_map<Session*, std::shared_ptr<Live>> live_;
    std::vector<Progress> progress_;  // per recorded session
    // Redaction tokens and the values they stand for in this replay.
    std::unordered_map<std::string, std::string> tokens_, values_;
    uint64_t matched_ = 0, divergences_ = 0;
    nlohmann::ordered_json diverged_ = nlohmann::ordered_json::array();  // the first kMaxKept
    std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
    uint64_t due_order_ = 0;
    std::condition_variable cv_;
    bool stop_ = false;
    std::thread events_;
};

}  // namespace tessaro::sim::replay
