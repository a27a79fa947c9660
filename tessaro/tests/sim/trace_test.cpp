// The trace's lines kept in memory: read back as the file has them, across
// reused slots, and bounded by size as well as by count; every line the
// simulator writes reads back as a trace::TraceLine that formats the same.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "default_scenario.h"
#include "machine.h"
#include "support.h"
#include "trace.h"
#include "trace/trace_line.h"

namespace tessaro::sim {
namespace {

using proto::Op;

Request named(Op op, std::vector<Arg> args, std::vector<std::string> nodes) {
    Request r = Request::make(op, std::move(args));
    r.nodes = std::move(nodes);
    return r;
}

// A line of the file as the HTTP API numbers it.
std::string numbered(uint64_t n, const std::string& line) { return "{\"seq\":" + std::to_string(n) + "," + line.substr(1); }

Outcome ended(std::optional<int32_t> result, std::optional<FaultHit::Kind> fault = {}, size_t index = 0) {
    Outcome o;
    if (result) o.reply.result = *result;
    else o.kind = Outcome::Kind::Silent;
    if (fault) o.fault = FaultHit{*fault, 0, 0, index};
    return o;
}

// Every kind of line the simulator writes (the control API's requests and a
// move among them) reads back as the file has it, and as a trace::TraceLine
// that formats the same.
TEST(Trace, KeptLinesReadBackAsTheFileHasThemWhenSlotsAreReused) {
    test::TempDir dir;
    Trace trace([](const std::string&) {});
    std::string error;
    ASSERT_TRUE(trace.open(dir.path + "/trace.jsonl", error)) << error;

    // In a cycle whose length does not divide the ring's, so that each slot
    // is reused by a line of another kind.
    using Kind = FaultHit::Kind;
    const std::string api = "http 127.0.0.1:8080";
    auto write = [&](size_t i) {
        const std::string n = std::to_string(i);
        switch (i % 12) {
            case 0: return trace.event("127.0.0.1:1", static_cast<uint32_t>(i));
            case 1: return trace.request("c1", named(Op::GetNode, {Arg{0, "demo.N" + n}}, {"demo.N" + n}), ended(0));
            case 2: return trace.request("c2", named(Op::SetNodeValueString, {Arg{7, ""}, Arg{0, "\xff" + n}}, {"a.b", ""}),
                                         ended(-14, Kind::Result, 3));
            case 3: return trace.request("c3", Request::decode(nullptr, 0), ended(std::nullopt));
            case 4: return trace.request("c4", named(Op::SetNodeValueString, {Arg{7, ""}, Arg{0, std::string(5000, 'x')}}, {}), ended(0));
            case 5: return trace.request(api, named(Op::ApiSetPlc, {Arg{32768, ""}, Arg{0, ""}}, {}), ended(0, Kind::Delay, 1));
            case 6: return trace.request(api, named(Op::ApiSetJob, {Arg{0, "Job"}, Arg{1, ""}, Arg{-1, ""}}, {"Job"}), ended(0));
            case 7: return trace.request(api, named(Op::ApiAddFault, {Arg{0, R"({"op": "JobStart"})"}}, {}), ended(0, Kind::Close));
            case 8: return trace.request("c", named(Op::MoveSubtree, {Arg{4, ""}, Arg{9, ""}, Arg{0, ""}}, {"a.b", ""}),
                                         ended(std::nullopt, Kind::Silent));
            case 9: return trace.request("c", named(Op::MoveSubtree, {Arg{4, ""}, Arg{5, ""}, Arg{0, ""}}, {"a.b", "c"}), ended(-3));
            default: return trace.request("c5", named(Op::GetNodeValueStringLen, {Arg{static_cast<int64_t>(i), ""}}, {""}), ended(4));
        }
    };
    const size_t total = Trace::kKeptLines + 12;
    for (size_t i = 0; i < total; ++i) write(i);

    std::ifstream file(dir.path + "/trace.jsonl");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), total);
    for (size_t i = 0; i < total; ++i)
        ASSERT_EQ(lines[i].find(R"("event":"PlcChanged")") != std::string::npos, i % 12 == 0) << lines[i];
    auto kept = trace.lines_after(0, Trace::kKeptLines);
    ASSERT_EQ(kept.size(), Trace::kKeptLines);
    for (size_t k = 0; k < kept.size(); ++k) {
        uint64_t number = total - Trace::kKeptLines + 1 + k;
        ASSERT_EQ(kept[k].first, number);
        ASSERT_EQ(kept[k].second, numbered(number, lines[number - 1])) << "line " << number;
    }
    for (size_t i = 0; i < 12; ++i) {
        std::string line_error;
        auto parsed = trace::parse(lines[i], line_error);
        EXPECT_EQ(parsed ? trace::format(*parsed) : line_error, lines[i]);
    }
    // Some of them, from the connection on.
    const std::pair<size_t, const char*> expected[] = {
        {2, R"("conn":"c2","op":"SetNodeValueString","args":[7,{"hex":"FF32"}],"node":"a.b","result":-14,"fault":{"index":3,"kind":"result"}})"},
        {5, R"("conn":"http 127.0.0.1:8080","op":"ApiSetPlc","args":[32768,0],"result":0,"fault":{"index":1,"kind":"delay"}})"},
        {6, R"("conn":"http 127.0.0.1:8080","op":"ApiSetJob","args":["Job",1,-1],"node":"Job","result":0})"},
        {7, R"("conn":"http 127.0.0.1:8080","op":"ApiAddFault","args":["{\"op\": \"JobStart\"}"],"result":0,"fault":{"index":0,"kind":"close"}})"},
        {8, R"("conn":"c","op":"MoveSubtree","args":[4,9,0],"node":"a.b","newparent":null,"result":null,"fault":{"index":0,"kind":"silent"}})"},
        {9, R"("conn":"c","op":"MoveSubtree","args":[4,5,0],"node":"a.b","newparent":"c","result":-3})"},
    };
    for (const auto& [i, text] : expected) EXPECT_EQ(lines[i].substr(lines[i].find(",\"conn\"") + 1), text);
    auto newest = trace.lines_after(total - 10, 3, {}, true);
    ASSERT_EQ(newest.size(), 3u);
    EXPECT_EQ(newest.front().first, total - 2);
    EXPECT_EQ(newest.back().second, numbered(total, lines.back()));
}

TEST(Trace, LinesGivenUpWhileTheyAreCopiedAreLeftOutNotMixedUp) {
    Trace trace([](const std::string&) {});
    auto line = [&](uint64_t n) {
        std::string name = "demo.N" + std::to_string(n);
        trace.request("c", named(Op::GetNode, {Arg{0, name}}, {name}), ended(0));
    };
    for (uint64_t n = 1; n <= 3000; ++n) line(n);  // more than one piece
    // While the first piece is out, a whole ring of lines takes every slot.
    bool landed = false;
    trace.between_pieces = [&] {
        for (uint64_t n = 3001; !landed && n <= 3000 + Trace::kKeptLines; ++n) line(n);
        landed = true;
    };
    auto kept = trace.lines_after(0, Trace::kKeptLines);
    ASSERT_TRUE(landed);
    ASSERT_FALSE(kept.empty());
    for (size_t k = 0; k < kept.size(); ++k) {
        const auto& [number, text] = kept[k];
        ASSERT_TRUE(k == 0 || number > kept[k - 1].first) << number;
        ASSERT_NE(text.find("\"demo.N" + std::to_string(number) + "\""), std::string::npos) << number << " " << text;
    }
    EXPECT_LE(kept.back().first, 3000u) << "lines traced after the call are the next call's";
}

TEST(Trace, LargeLinesKeepFewerLinesRatherThanAllTheMemory) {
    Trace trace([](const std::string&) {});
    const std::string big(1 << 20, 'v');
    for (int i = 0; i < 100; ++i)
        trace.request("c", named(Op::SetNodeValueString, {Arg{7, ""}, Arg{0, big}}, {"demo.Label", ""}), ended(0));
    auto kept = trace.lines_after(0, Trace::kKeptLines);
    ASSERT_FALSE(kept.empty());
    EXPECT_LE(kept.size() * big.size(), Trace::kKeptBytes);
    EXPECT_EQ(kept.back().first, 100u) << "the newest lines are the ones kept";
    EXPECT_EQ(kept.front().first + kept.size() - 1, 100u);

    // Small lines take the place of the large ones again.
    for (int i = 0; i < 200; ++i) trace.request("c", named(Op::GetNode, {Arg{0, "demo.Speed"}}, {"demo.Speed"}), ended(0));
    kept = trace.lines_after(0, Trace::kKeptLines);
    EXPECT_EQ(kept.back().first, 300u);
    EXPECT_GE(kept.size(), 200u);
}

// A PLC event is traced after the machine's lock is released: while its line
// waits for a stalled reader of the trace, the machine still answers others.
TEST(Trace, AStalledReaderHoldsUpNoOneButTheEventsWriter) {
    test::TempDir dir;
    std::string fifo = dir.path + "/trace.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // opened, never read
    ASSERT_GE(reader, 0);
    Trace trace([](const std::string&) {});
    std::string error;
    ASSERT_TRUE(trace.open(fifo, error)) << error;
    int filler = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);  // without it, the event's line would not wait
    char block[4096] = {};
    while (::write(filler, block, sizeof block) > 0) {}  // the pipe is full: the next line waits
    ::close(filler);

    struct TracingSink : PlcSink {
        Trace& trace;
        std::atomic<bool> entered{false}, left{false};
        explicit TracingSink(Trace& t) : trace(t) {}
        void plc_changed(uint32_t word) override {
            entered = true;
            trace.event("c", word);
            left = true;
        }
    } sink(trace);
    Machine m(test::load(default_scenario_text()));
    Session s;
    ASSERT_EQ(m.register_plc(s, &sink), E_OK);
    std::thread changer([&] { m.change_plc(plc_bit(PLC_ATTENTION), 0); });
    for (int i = 0; i < 2000 && !sink.entered; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(sink.entered);
    // The line is held up for up to 2 s; the machine answers meanwhile.
    uint32_t word = m.plc_state();
    uint32_t inspected = ~word;
    m.inspect([&](const MachineView& v) { inspected = v.plc_word; });
    EXPECT_EQ(inspected, word);
    EXPECT_FALSE(sink.left) << "the machine waited for the trace's reader";
    EXPECT_NE(word & plc_bit(PLC_ATTENTION), 0u);
    while (::read(reader, block, sizeof block) > 0) {}  // the reader takes the lines: the event goes on
    changer.join();
    m.end_session(s);
    ::close(reader);
}

}  // namespace
}  // namespace tessaro::sim
