// The whole machine as the control API shows it, in-process: the mirror that
// lets it be written out without the machine's lock (every kind of change,
// and changes that land while the mirror copies), the text made once per
// version (a change that did not move the version would leave a stale text),
// library clients served while a large text is written, and the value that a
// write through the API answers with.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "control/api_json.h"
#include "control/control_port.h"
#include "control/machine_text.h"
#include "default_scenario.h"
#include "machine_mirror.h"
#include "request_path.h"
#include "scenario_writer.h"
#include "support.h"
#include "trace.h"

namespace tessaro::sim {
namespace {

using proto::Op;

// The default machine on a clock of the test's, with a request path, the
// control API's port and one library client.
class Whole : public ::testing::Test {
protected:
    Whole() { m.keep_start(default_scenario_text()); }

    // A request of the library client, as its connection would submit it.
    int32_t call(Op op, std::vector<Arg> args = {}) {
        Caller c{"client", session};
        c.greeted = true;
        Request r = Request::make(op, std::move(args));
        return path.submit(r, c, [](int64_t) { return true; }).result().value_or(INT_MIN);
    }
    int32_t h(const std::string& name) { return m.get_node(name); }
    static Fault fault(const std::string& body) {
        Fault f;
        std::string error;
        EXPECT_TRUE(parse_fault(body, f, error)) << error;
        return f;
    }
    void write(const std::string& name, const std::string& value) {
        ASSERT_EQ(call(Op::SetNodeValueString, {Arg{h(name), {}}, Arg{0, value}}), E_OK) << name;
        ASSERT_EQ(call(Op::WriteNodeSync, {Arg{h(name), {}}}), E_OK) << name;
    }

    // The machine written out under its lock: what any text of it must be.
    std::string under_lock() {
        std::string text, error;
        m.inspect([&](const MachineView& v) { EXPECT_TRUE(write_scenario(v, text, error)) << error; });
        return text;
    }
    static std::string written(const MachineView& v) {
        std::string text, error;
        EXPECT_TRUE(write_scenario(v, text, error)) << error;
        return text;
    }
    std::string text_now() {
        std::string error;
        auto t = text.machine(error);
        EXPECT_TRUE(t) << error;
        return t ? *t : error;
    }

    // Every kind of change that the machine text shows, each as a client or
    // the API makes it, in an order in which each succeeds.
    struct Step {
        const char* what;
        std::function<void()> make;
    };
    std::vector<Step> steps() {
        return {
            {"a value written by a library client", [this] { write("demo.Speed", "1300"); }},
            {"a value written through the API",
             [this] { EXPECT_EQ(port.write_node("api", "demo.Label", "Line B").result, E_OK); }},
            {"a node created", [this] { EXPECT_EQ(call(Op::CreateNodeOnController, {Arg{0, "scratch.n"}, Arg{VT_I32, {}}, Arg{}}), E_OK); }},
            {"a job node created",
             [this] {
                 EXPECT_EQ(call(Op::CreateJobNodeOnController, {Arg{0, "jobs.Demo.Outline.Edge3"}, Arg{0, "Line"}, Arg{}}), E_OK);
             }},
            {"a node renamed", [this] { EXPECT_EQ(call(Op::RenameNode, {Arg{h("scratch.n"), {}}, Arg{0, "m"}}), E_OK); }},
            {"a subtree moved",
             [this] {
                 EXPECT_EQ(call(Op::MoveSubtree, {Arg{h("demo.deep"), {}}, Arg{h("scratch"), {}}, Arg{0, {}}}), E_OK);
             }},
            {"a node deleted", [this] { EXPECT_EQ(call(Op::DeleteSingleNodeOnController, {Arg{h("scratch.m"), {}}}), E_OK); }},
            {"a job selected", [this] { EXPECT_EQ(call(Op::SelectNode, {Arg{h("jobs.Demo"), {}}}), E_OK); }},
            {"the job ready on time",
             [this] {
                 now += std::chrono::milliseconds(200);
                 m.run_due();
             }},
            {"a job run ended",
             [this] {
                 EXPECT_EQ(call(Op::JobStart), E_OK);
                 now += std::chrono::milliseconds(1100);
                 m.run_due();
             }},
            {"PLC bits set", [this] { EXPECT_EQ(port.change_plc("api", plc_bit(PLC_JOB_FAILED), 0).result, E_OK); }},
            {"a job's settings",
             [this] {
                 std::string full;
                 EXPECT_EQ(port.set_job("api", "Demo", JobOutcome::Failed, 5, full).result, E_OK);
             }},
            {"a fault added", [this] { EXPECT_EQ(port.add_fault("api", fault(R"({"op":"GetNode","times":1,"result":-3})")).result, E_OK); }},
            {"a fault spent by its last call", [this] { EXPECT_EQ(call(Op::GetNode, {Arg{0, "demo"}}), -3); }},
            {"a fault removed",
             [this] {
                 auto sent = port.add_fault("api", fault(R"({"op":"GetNodeName","result":-3})"));
                 EXPECT_EQ(port.remove_fault("api", sent.number).result, E_OK);
                 EXPECT_EQ(port.add_fault("api", fault(R"({"op":"GetNodeInfo","result":-3})")).result, E_OK);
             }},
            {"a reset", [this] { EXPECT_EQ(port.reset("api").result, E_OK); }},
        };
    }

    // Each step's change lands at a mirror's first pause, the mirror copying
    // in pieces of one node: with `whole`, a new mirror's, which copies every
    // node; else a mirror's that has them and copies the changes noted since
    // (two writes make them more than a piece).
    void land_each_step(bool whole) {
        MachineMirror kept(m, 1);
        kept.update();
        int counter = 0;
        for (const Step& step : steps()) {
            MachineMirror fresh(m, 1);
            MachineMirror& mirror = whole ? fresh : kept;
            bool landed = false;
            mirror.between_pieces = [&] {
                if (!landed) step.make();
                landed = true;
            };
            write("demo.Counter", std::to_string(++counter));
            write("demo.Counter", std::to_string(++counter));
            uint64_t version = mirror.update();
            mirror.between_pieces = nullptr;
            ASSERT_TRUE(landed) << step.what;
            EXPECT_EQ(written(mirror.view()), under_lock()) << step.what;
            EXPECT_EQ(version, m.version()) << step.what;
        }
    }

    TimePoint now = Clock::now();
    Machine m{test::load(default_scenario_text()), [this] { return now; }};
    RequestPath path{m, nullptr, nullptr};
    Trace trace{[](const std::string&) {}};
    ControlPort port{path, trace};
    MachineText text{port};
    Session session;
};

TEST_F(Whole, EveryKindOfChangeShowsAtOnceInTheMirrorAndTheText) {
    MachineMirror small(m, 2);  // copies in pieces of two nodes
    std::string before = text_now();
    ASSERT_EQ(before, under_lock());
    for (const Step& step : steps()) {
        step.make();
        std::string now = under_lock();
        ASSERT_NE(now, before) << step.what << " changes nothing the text shows";
        EXPECT_EQ(text_now(), now) << step.what;
        small.update();
        EXPECT_EQ(written(small.view()), now) << step.what;
        before = now;
    }
}

TEST_F(Whole, ChangesThatLandWhileANewMirrorCopiesEveryNodeAreCopiedToo) { land_each_step(true); }
TEST_F(Whole, ChangesThatLandWhileAMirrorCopiesWhatChangedAreCopiedToo) { land_each_step(false); }

TEST_F(Whole, TheSameTextIsTheSamePointerUntilTheMachineChanges) {
    std::string error;
    auto machine = text.machine(error);
    auto state = text.state();
    EXPECT_EQ(*state, "{\"machine\":" + *machine + ",\"plc\":" + dump(plc_json(port)) +
                          ",\"faults\":" + dump(faults_json(port.faults())) + "}");
    auto event = text.state_event();
    std::string lines = "event: machine\n";
    for (size_t at = 0, end; at < state->size(); at = end + 1)
        lines += "data: " + state->substr(at, (end = std::min(state->find('\n', at), state->size())) - at) + "\n";
    EXPECT_EQ(*event, lines + "\n");
    write("demo.Speed", "1200");  // written back unchanged: a new version, the same text
    EXPECT_EQ(text.machine(error), machine);
    EXPECT_EQ(text.state(), state);
    EXPECT_EQ(text.state_event(), event);
    port.change_plc("api", plc_bit(PLC_JOB_FAILED), 0);
    EXPECT_NE(text.state(), state);
    EXPECT_NE(text.state_event(), event);
}

TEST_F(Whole, CallersAtOnceNeverGetAnOlderMachineThanTheyHadSeen) {
    constexpr int kCallers = 4;
    std::atomic<int> written{0}, calls[kCallers] = {};
    std::atomic<bool> going{true}, backwards{false};
    std::vector<std::thread> callers;
    for (int i = 0; i < kCallers; ++i)
        callers.emplace_back([&, i] {
            int seen = 0;
            std::string error;
            while (going) {
                int before = written;
                auto t = i % 2 ? text.machine(error) : text.state();
                size_t at = t ? t->find("\"Speed\"") : std::string::npos;
                int shown = at == std::string::npos ? -1 : std::atoi(t->c_str() + t->find("\"value\": \"", at) + 10);
                if (shown < before || shown < seen) backwards = true;
                seen = shown;
                ++calls[i];
            }
        });
    // Bounded as a whole: a caller that hangs fails below.
    const auto end = Clock::now() + std::chrono::seconds(20);
    for (int v = 2001; v <= 2020 && !backwards; ++v) {
        write("demo.Speed", std::to_string(v));
        written = v;
        // Every caller asks again after the write (a second call has begun after it).
        int from[kCallers];
        for (int i = 0; i < kCallers; ++i) from[i] = calls[i];
        while (Clock::now() < end) {
            bool all = true;
            for (int i = 0; i < kCallers; ++i) all = all && calls[i] >= from[i] + 2;
            if (all) break;
            std::this_thread::yield();
        }
    }
    going = false;
    for (auto& t : callers) t.join();
    EXPECT_FALSE(backwards);
    for (int i = 0; i < kCallers; ++i) EXPECT_GE(calls[i], 40) << "caller " << i;
}

TEST_F(Whole, ClientsAreServedWhileTheMachineIsWrittenOut) {
    std::mutex mu;
    std::condition_variable cv;
    bool served = false, in_time = false;
    std::string value = "<not read>";
    std::thread client;
    text.on_write([&] {
        // A library client reads and writes while the text is being made.
        client = std::thread([&] {
            Session s;
            int32_t node = m.get_node("demo.Label");
            std::string v;
            if (m.read_node(s, node) != E_OK || m.value_string(node, 64, v) != E_OK) v = "<read failed>";
            write("demo.Label", "meanwhile");
            std::lock_guard<std::mutex> lk(mu);
            value = v;
            served = true;
            cv.notify_all();
        });
        // Bounded: a client kept waiting fails the test instead of hanging it.
        std::unique_lock<std::mutex> lk(mu);
        in_time = cv.wait_for(lk, std::chrono::seconds(5), [&] { return served; });
    });
    std::string error;
    auto during = text.machine(error);
    client.join();
    text.on_write(nullptr);
    EXPECT_TRUE(in_time) << "the client waited for the machine to be written out";
    EXPECT_EQ(value, "Line A");
    ASSERT_TRUE(during);
    EXPECT_NE(during->find("\"Line A\""), std::string::npos);  // as it was when the text was begun
    EXPECT_NE(text_now().find("\"meanwhile\""), std::string::npos);
}

TEST_F(Whole, AWriteThroughTheApiAnswersWithTheValueItLeft) {
    auto before = node_json(port, "demo.Label");
    ASSERT_TRUE(before);
    ControlPort::Sent mine = port.write_node("api", "demo.Label", "mine");
    write("demo.Label", "theirs");  // another client's write lands before the answer is made
    ASSERT_EQ(mine.result, E_OK);
    EXPECT_EQ(mine.value, "mine");
    EXPECT_EQ(written_node_json(port, "demo.Label", mine, *before)["value"], "mine");
    EXPECT_EQ((*node_json(port, "demo.Label"))["value"], "theirs");

    // The value as the machine keeps it, not as it was given.
    EXPECT_EQ(port.write_node("api", "demo.Features", "vacuum, laser").value, "laser,vacuum");
    // A refused write left nothing.
    ControlPort::Sent refused = port.write_node("api", "demo.Speed", "99999");
    EXPECT_EQ(refused.result, E_RANGE);
    EXPECT_FALSE(refused.value);
    // A fault that answers for the write instead of the machine: the
    // answer shows the node as it is.
    ASSERT_EQ(port.add_fault("api", fault(R"({"op":"WriteNodeSync","result":0})")).result, E_OK);
    ControlPort::Sent faulted = port.write_node("api", "demo.Label", "never");
    EXPECT_EQ(faulted.result, E_OK);
    EXPECT_FALSE(faulted.value);
    EXPECT_EQ(written_node_json(port, "demo.Label", faulted, *before)["value"], "theirs");
}

}  // namespace
}  // namespace tessaro::sim
