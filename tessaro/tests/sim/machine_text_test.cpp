// The whole machine as the control API shows it, in-process: the mirror that
// lets it be written out without the machine's lock (every kind of change,
// and changes that land while the mirror copies), the text made once per
// version (a change that did not move the version would leave a stale text),
// library clients served while a large text is written, and the value that a
// write through the API answers with.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <cstdlib>
#include <functional>
#include <future>
#include <regex>
#include <thread>
#include <utility>

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
using namespace std::chrono_literals;

// The default machine on a clock of the test's, with a request path, the
// control API's port and one library client.
class Whole : public ::testing::Test {
protected:
    Whole() { m.keep_start(default_scenario_text()); }

    // A request of the library client, as its connection would submit it.
    int32_t call(Op op, std::vector<Arg> args = {}) {
        Caller c{"client", session, nullptr, true};
        return path.submit(Request::make(op, std::move(args)), c, [](int64_t) { return true; }).result().value_or(INT_MIN);
    }
    void ok(Op op, std::vector<Arg> args = {}) { EXPECT_EQ(call(op, std::move(args)), E_OK) << proto::op_name(op); }
    static void ok(const ControlPort::Sent& sent) { EXPECT_EQ(sent.result, E_OK) << sent.op; }
    Arg h(const std::string& name) { return Arg{m.get_node(name), {}}; }
    static Fault fault(const std::string& body) { return test::load(R"({"faults": [)" + body + "]}").faults.at(0); }
    void write(const std::string& name, const std::string& value) {
        ok(Op::SetNodeValueString, {h(name), Arg{0, value}});
        ok(Op::WriteNodeSync, {h(name)});
    }

    // The machine written out: what any text of it must be.
    static std::string written(const MachineView& v) {
        std::string text, error;
        EXPECT_TRUE(write_scenario(v, text, error)) << error;
        return text;
    }
    std::string under_lock() {
        std::string text;
        m.inspect([&](const MachineView& v) { text = written(v); });
        return text;
    }
    std::string text_now() {
        std::string error;
        auto t = text.machine(error);
        return t ? *t : "<no text: " + error + ">";
    }

    // Every kind of change that the machine text shows, each as a client or
    // the API makes it, in an order in which each succeeds.
    struct Step { const char* what; std::function<void()> make; };
    std::vector<Step> steps() {
        return {
            {"a value written by a library client", [this] { write("demo.Speed", "1300"); }},
            {"a value written through the API", [this] { ok(port.write_node("api", "demo.Label", "Line B")); }},
            {"a node created", [this] { ok(Op::CreateNodeOnController, {Arg{0, "scratch.n"}, Arg{VT_I32, {}}, Arg{}}); }},
            {"a job node created",
             [this] { ok(Op::CreateJobNodeOnController, {Arg{0, "jobs.Demo.Outline.Edge3"}, Arg{0, "Line"}, Arg{}}); }},
            {"a node renamed", [this] { ok(Op::RenameNode, {h("scratch.n"), Arg{0, "m"}}); }},
            {"a subtree moved", [this] { ok(Op::MoveSubtree, {h("demo.deep"), h("scratch"), Arg{0, {}}}); }},
            {"a node deleted", [this] { ok(Op::DeleteSingleNodeOnController, {h("scratch.m")}); }},
            {"a job selected", [this] { ok(Op::SelectNode, {h("jobs.Demo")}); }},
            {"the job ready on time", [this] { now += 200ms; m.run_due(); }},
            {"a job run ended", [this] { ok(Op::JobStart); now += 1100ms; m.run_due(); }},
            {"PLC bits set", [this] { ok(port.change_plc("api", plc_bit(PLC_JOB_FAILED), 0)); }},
            {"a job's settings", [this] { std::string full; ok(port.set_job("api", "Demo", JobOutcome::Failed, 5, full)); }},
            {"a fault added", [this] { ok(port.add_fault("api", fault(R"({"op":"GetNodeName","result":-3})"))); }},
            {"a fault removed", [this] { ok(port.remove_fault("api", port.faults().at(0).index)); }},
            {"a fault added for one call", [this] { ok(port.add_fault("api", fault(R"({"op":"GetNode","times":1,"result":-3})"))); }},
            {"a fault spent by its last call", [this] { EXPECT_EQ(call(Op::GetNode, {Arg{0, "demo"}}), -3); }},
            {"a reset", [this] { ok(port.reset("api")); }},
        };
    }

    // Each step's change lands at a mirror's first pause, the mirror copying
    // in pieces of one node: with `whole`, a new mirror's, which copies every
    // node; else a mirror's that has them and copies the changes noted since
    // (two writes make them more than a piece). After it, the text and a
    // mirror that copies in pieces of two show it at once.
    void land_each_step(bool whole) {
        MachineMirror kept(m, 1), small(m, 2);
        kept.update();
        ASSERT_EQ(text_now(), under_lock());
        int counter = 0;
        for (const Step& step : steps()) {
            MachineMirror fresh(m, 1);
            MachineMirror& mirror = whole ? fresh : kept;
            bool landed = false;
            mirror.between_pieces = [&] { if (!std::exchange(landed, true)) step.make(); };
            for (int i = 0; i < 2; ++i) write("demo.Counter", std::to_string(++counter));
            const std::string before = under_lock();
            uint64_t version = mirror.update();
            mirror.between_pieces = nullptr;
            ASSERT_TRUE(landed) << step.what;
            const std::string after = under_lock();
            ASSERT_NE(after, before) << step.what << " changes nothing the text shows";
            EXPECT_EQ(written(mirror.view()), after) << step.what;
            EXPECT_EQ(version, m.version()) << step.what;
            EXPECT_EQ(text_now(), after) << step.what;
            small.update();
            EXPECT_EQ(written(small.view()), after) << step.what;
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

TEST_F(Whole, ChangesThatLandWhileANewMirrorCopiesEveryNodeAreCopiedToo) { land_each_step(true); }
TEST_F(Whole, ChangesThatLandWhileAMirrorCopiesWhatChangedAreCopiedToo) { land_each_step(false); }

TEST_F(Whole, TheSameTextIsTheSamePointerUntilTheMachineChanges) {
    std::string error;
    auto machine = text.machine(error);
    auto state = text.state();
    EXPECT_EQ(*state, "{\"machine\":" + *machine + ",\"plc\":" + dump(plc_json(port)) +
                          ",\"faults\":" + dump(faults_json(port.faults())) + "}");
    auto event = text.state_event();
    EXPECT_EQ(*event, "event: machine\ndata: " + std::regex_replace(*state, std::regex("\n"), "\ndata: ") + "\n\n");
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
            std::string error;
            for (int seen = 0; going; ++calls[i]) {
                int before = written;
                auto t = i % 2 ? text.machine(error) : text.state();
                size_t at = t ? t->find("\"Speed\"") : std::string::npos;
                int shown = at == std::string::npos ? -1 : std::atoi(t->c_str() + t->find("\"value\": \"", at) + 10);
                if (shown < before || shown < seen) backwards = true;
                seen = shown;
            }
        });
    // Bounded as a whole: a caller that hangs fails below.
    const auto end = Clock::now() + 20s;
    for (int v = 2001; v <= 2020 && !backwards; ++v) {
        write("demo.Speed", std::to_string(v));
        written = v;
        // Every caller asks again after the write (a second call has begun after it).
        for (auto& c : calls)
            for (const int from = c; c < from + 2 && Clock::now() < end;) std::this_thread::yield();
    }
    going = false;
    for (auto& t : callers) t.join();
    EXPECT_FALSE(backwards);
    for (int i = 0; i < kCallers; ++i) EXPECT_GE(calls[i], 40) << "caller " << i;
}

TEST_F(Whole, ClientsAreServedWhileTheMachineIsWrittenOut) {
    std::future<std::string> client;
    bool in_time = false;
    text.on_write([&] {
        // A library client reads and writes while the text is being made.
        client = std::async(std::launch::async, [&] {
            Session s;
            int32_t node = m.get_node("demo.Label");
            std::string v;
            if (m.read_node(s, node) != E_OK || m.value_string(node, 64, v) != E_OK) v = "<read failed>";
            write("demo.Label", "meanwhile");
            return v;
        });
        // Bounded: a client kept waiting fails the test instead of hanging it.
        in_time = client.wait_for(5s) == std::future_status::ready;
    });
    const std::string during = text_now();
    text.on_write(nullptr);
    EXPECT_TRUE(in_time) << "the client waited for the machine to be written out";
    EXPECT_EQ(client.get(), "Line A");
    EXPECT_NE(during.find("\"Line A\""), std::string::npos);  // as it was when the text was begun
    EXPECT_NE(text_now().find("\"meanwhile\""), std::string::npos);
}

TEST_F(Whole, AWriteThroughTheApiAnswersWithTheValueItLeft) {
    // What a write answered: its result, and the value it left if any.
    auto answered = [](const ControlPort::Sent& s) {
        return std::to_string(s.result.value_or(INT_MIN)) + " " + s.value.value_or("(none)");
    };
    auto before = node_json(port, "demo.Label");
    ASSERT_TRUE(before);
    ControlPort::Sent mine = port.write_node("api", "demo.Label", "mine");
    write("demo.Label", "theirs");  // another client's write lands before the answer is made
    EXPECT_EQ(answered(mine), "0 mine");
    EXPECT_EQ(written_node_json(port, "demo.Label", mine, *before)["value"], "mine");
    EXPECT_EQ((*node_json(port, "demo.Label"))["value"], "theirs");

    // The value as the machine keeps it, not as it was given.
    EXPECT_EQ(answered(port.write_node("api", "demo.Features", "vacuum, laser")), "0 laser,vacuum");
    // A refused write left nothing.
    EXPECT_EQ(answered(port.write_node("api", "demo.Speed", "99999")), std::to_string(E_RANGE) + " (none)");
    // A fault that answers for the write instead of the machine: the
    // answer shows the node as it is.
    ok(port.add_fault("api", fault(R"({"op":"WriteNodeSync","result":0})")));
    ControlPort::Sent faulted = port.write_node("api", "demo.Label", "never");
    EXPECT_EQ(answered(faulted), "0 (none)");
    EXPECT_EQ(written_node_json(port, "demo.Label", faulted, *before)["value"], "theirs");
}

}  // namespace
}  // namespace tessaro::sim
