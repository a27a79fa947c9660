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

Outcome ended(std::optional<int32_t> result, std::optional<FaultHit> fault = std::nullopt) {
    Outcome o;
    if (result) o.reply.result = *result;
    else o.kind = Outcome::Kind::Silent;
    o.fault = fault;
    return o;
}

TEST(Trace, KeptLinesReadBackAsTheFileHasThemWhenSlotsAreReused) {
    test::TempDir dir;
    Trace trace([](const std::string&) {});
    std::string error;
    ASSERT_TRUE(trace.open(dir.path + "/trace.jsonl", error)) << error;

    // Every kind of line, in a cycle whose length does not divide the
    // ring's, so that each slot is reused by a line of another kind.
    const size_t total = Trace::kKeptLines + 7;
    FaultHit hit;
    hit.kind = FaultHit::Kind::Result;
    hit.index = 3;
    for (size_t i = 0; i < total; ++i) {
        std::string n = std::to_string(i);
        switch (i % 7) {
            case 0: trace.event("127.0.0.1:1", static_cast<uint32_t>(i)); break;
            case 1: trace.request("c1", named(Op::GetNode, {Arg{0, "demo.N" + n}}, {"demo.N" + n}), ended(0)); break;
            case 2: trace.request("c2", named(Op::SetNodeValueString, {Arg{7, ""}, Arg{0, "\xff" + n}}, {"a.b", ""}),
                                  ended(-14, hit));
                break;
            case 3: trace.request("c3", Request::decode(nullptr, 0), ended(std::nullopt)); break;
            case 4: trace.request("c4", named(Op::SetNodeValueString, {Arg{7, ""}, Arg{0, std::string(5000, 'x')}}, {}),
                                  ended(0));
                break;
            default: trace.request("c5", named(Op::GetNodeValueStringLen, {Arg{static_cast<int64_t>(i), ""}}, {""}), ended(4)); break;
        }
    }

    std::ifstream file(dir.path + "/trace.jsonl");
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), total);
    for (size_t i = 0; i < total; ++i)
        ASSERT_EQ(lines[i].find(R"("event":"PlcChanged")") != std::string::npos, i % 7 == 0) << lines[i];
    auto kept = trace.lines_after(0, Trace::kKeptLines);
    ASSERT_EQ(kept.size(), Trace::kKeptLines);
    for (size_t k = 0; k < kept.size(); ++k) {
        uint64_t number = total - Trace::kKeptLines + 1 + k;
        ASSERT_EQ(kept[k].first, number);
        ASSERT_EQ(kept[k].second, numbered(number, lines[number - 1])) << "line " << number;
    }
    for (size_t i = 0; i < 7; ++i) {
        std::string line_error;
        auto parsed = trace::parse(lines[i], line_error);
        ASSERT_TRUE(parsed) << line_error << "\n" << lines[i];
        EXPECT_EQ(trace::format(*parsed), lines[i]);
    }
    EXPECT_NE(lines[2].find(R"("args":[7,{"hex":"FF32"}],"node":"a.b","result":-14,"fault":{"index":3,"kind":"result"})"),
              std::string::npos)
        << lines[2];
    auto newest = trace.lines_after(total - 10, 3, {}, true);
    ASSERT_EQ(newest.size(), 3u);
    EXPECT_EQ(newest.front().first, total - 2);
    EXPECT_EQ(newest.back().second, numbered(total, lines.back()));
}

// The control API's requests and a move, as the simulator traces them: each
// line reads back as what it says.
TEST(Trace, ApiRequestsAndMovesReadBack) {
    Trace trace([](const std::string&) {});
    FaultHit delay;
    delay.index = 1;
    FaultHit close;
    close.kind = FaultHit::Kind::Close;
    FaultHit silent;
    silent.kind = FaultHit::Kind::Silent;
    trace.request("http 127.0.0.1:8080", named(Op::ApiSetPlc, {Arg{32768, ""}, Arg{0, ""}}, {}), ended(0, delay));
    trace.request("http 127.0.0.1:8080", named(Op::ApiSetJob, {Arg{0, "Job"}, Arg{1, ""}, Arg{-1, ""}}, {"Job"}), ended(0));
    trace.request("http 127.0.0.1:8080", named(Op::ApiAddFault, {Arg{0, R"({"op": "JobStart"})"}}, {}), ended(0, close));
    trace.request("c", named(Op::MoveSubtree, {Arg{4, ""}, Arg{9, ""}, Arg{0, ""}}, {"a.b", ""}), ended(std::nullopt, silent));
    trace.request("c", named(Op::MoveSubtree, {Arg{4, ""}, Arg{5, ""}, Arg{0, ""}}, {"a.b", "c"}), ended(-3));
    const char* expected[] = {
        R"("conn":"http 127.0.0.1:8080","op":"ApiSetPlc","args":[32768,0],"result":0,"fault":{"index":1,"kind":"delay"}})",
        R"("conn":"http 127.0.0.1:8080","op":"ApiSetJob","args":["Job",1,-1],"node":"Job","result":0})",
        R"("conn":"http 127.0.0.1:8080","op":"ApiAddFault","args":["{\"op\": \"JobStart\"}"],"result":0,"fault":{"index":0,"kind":"close"}})",
        R"("conn":"c","op":"MoveSubtree","args":[4,9,0],"node":"a.b","newparent":null,"result":null,"fault":{"index":0,"kind":"silent"}})",
        R"("conn":"c","op":"MoveSubtree","args":[4,5,0],"node":"a.b","newparent":"c","result":-3})",
    };
    auto kept = trace.lines_after(0, 10);
    ASSERT_EQ(kept.size(), 5u);
    for (size_t i = 0; i < kept.size(); ++i) {
        const std::string& line = kept[i].second;
        EXPECT_EQ(line.substr(line.find(",\"conn\"") + 1), expected[i]);
        std::string error;
        auto parsed = trace::parse(line, error);
        ASSERT_TRUE(parsed) << error << "\n" << line;
        EXPECT_EQ(trace::format(*parsed), line);
    }
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
        if (!landed)
            for (uint64_t n = 3001; n <= 3000 + Trace::kKeptLines; ++n) line(n);
        landed = true;
    };
    auto kept = trace.lines_after(0, Trace::kKeptLines);
    ASSERT_TRUE(landed);
    ASSERT_FALSE(kept.empty());
    uint64_t before = 0;
    for (const auto& [number, text] : kept) {
        ASSERT_GT(number, before);
        ASSERT_NE(text.find("\"demo.N" + std::to_string(number) + "\""), std::string::npos) << number << " " << text;
        before = number;
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
    int filler = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(filler, 0);
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
    bool inspected = false;
    m.inspect([&](const MachineView& v) { inspected = v.plc_word == word; });
    EXPECT_TRUE(inspected);
    EXPECT_FALSE(sink.left) << "the machine waited for the trace's reader";
    EXPECT_NE(word & plc_bit(PLC_ATTENTION), 0u);
    while (::read(reader, block, sizeof block) > 0) {}  // the reader takes the lines: the event goes on
    changer.join();
    m.end_session(s);
    ::close(reader);
}

}  // namespace
}  // namespace tessaro::sim
