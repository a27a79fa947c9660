// Answering from a recording, in-process, on a clock of the test's: files
// the loader refuses; reads answered as at the same moment of the recording
// however often they are asked; actions in their turn; divergences; tokens
// of a redacted recording; unused calls; connections matched by their first
// call.
#include <gtest/gtest.h>

#include "replay/replay.h"
#include "support.h"

namespace tessaro::sim::replay {
namespace {

using proto::Op;

std::string at(int ms, const std::string& call, int conn = 0) { return test::recorded_at(ms, call, conn); }
const std::string kPlc = R"("op":"GetPLCState","args":[],"result":0,"reply":)";

struct Replayed {
    explicit Replayed(const std::string& text, bool strict = false)
        : m(test::load("{}")), replay(load(text), m, strict, [this](const std::string& l) { log += l + "\n"; },
                                      [this] { return now; }) {}
    static Recording load(const std::string& text) {
        Recording r;
        std::string error;
        EXPECT_TRUE(r.load_text(text, "in", error)) << error;
        return r;
    }
    Outcome call(Op op, std::vector<proto::Field> args = {}, Session* s = nullptr) {
        Request r = Request::make(op, std::move(args));
        Outcome o;
        replay.answer(s ? *s : session, &sink, "c", r, o);
        return o;
    }
    int32_t result(Op op, std::vector<proto::Field> args = {}) { return call(op, std::move(args)).reply.result; }
    void wait(int ms) { now += std::chrono::milliseconds(ms); }

    Machine m;
    std::chrono::steady_clock::time_point now{};
    std::string log;
    Replay replay;
    Session session;
    test::Events sink;
};

proto::Field num(int64_t v) { return proto::Field{v, {}}; }
proto::Field text(std::string s) { return proto::Field{0, std::move(s)}; }

TEST(Replay, TheLoaderRefusesWhatItCannotAnswerFromWithTheLine) {
    const std::string good = at(0, kPlc + "[1,0]");
    const std::pair<std::string, std::string> cases[] = {
        {"", "in: no calls to replay (the file is empty)"},
        {at(0, R"("op":"DestroyNodeInfo","args":[],"result":0)"), "in: no calls to replay"},
        {good + good.substr(0, good.size() - 1), "in:2: the last line is cut short"},
        {good + R"({"time":"2026-12-09T10:00:00.000000Z","conn":"c","op":"JobStart","args":[],"result":0})" "\n",
         "in:2: a simulator's trace line in a recording"},
        {R"({"time":"2026-12-09T10:00:00.000000Z","conn":"c","op":"GetPLCState","args":[],"result":0})" "\n",
         "in:1: the reply of GetPLCState is not recorded (a trace written before replies were)"},
        {at(0, R"("op":"GetNodeInfo","args":[3],"result":0)"), "in:1: the record of GetNodeInfo is not recorded"},
        {good + "{\"op\":1}\n", "in:2: column 2: expected the key \"time\", not \"op\""},
    };
    for (const auto& [text, error] : cases) {
        Recording r;
        std::string got;
        EXPECT_FALSE(r.load_text(text, "in", got)) << text;
        EXPECT_EQ(got, error);
    }
}

TEST(Replay, ReadsAreAnsweredAsAtTheSameMomentHoweverOftenTheyAreAsked) {
    Replayed r(at(0, R"("op":"JobStart","args":[],"result":0)") + at(10, kPlc + "[1,0]") + at(100, kPlc + "[2,0]") +
               at(200, kPlc + "[3,0]"));
    EXPECT_EQ(r.result(Op::JobStart), E_OK);
    std::vector<int64_t> seen;
    for (int step : {5, 45, 60, 1, 49, 250}) {  // before the first, between them, twice at once, after the last
        r.wait(step);
        seen.push_back(r.call(Op::GetPLCState).reply.fields.at(0).num);
    }
    EXPECT_EQ(seen, (std::vector<int64_t>{1, 1, 2, 2, 2, 3}));
    Replay::Counts c = r.replay.counts();
    EXPECT_EQ(c.matched, 7u);
    EXPECT_EQ(c.divergences + c.unused, 0u);
    EXPECT_FALSE(r.replay.failed());
}

TEST(Replay, ActionsComeInTheirTurnAndAnythingElseDivergesWithTheClosestCall) {
    Replayed r(at(0, R"("op":"GetNode","args":["a.N"],"result":-1)") +
               at(1, R"("op":"CreateNodeOnController","args":["a.N",1,0],"node":"a.N","result":0)") +
               at(2, R"("op":"GetNode","args":["a.N"],"result":9)") +
               at(3, R"("op":"SetNodeValueString","args":[9,"12"],"node":"a.N","result":0)") +
               at(4, R"("op":"SetNodeValueString","args":[9,"13"],"node":"a.N","result":-9)"));
    EXPECT_EQ(r.result(Op::GetNode, {text("a.N")}), -1);
    Outcome o = r.call(Op::SetNodeValueString, {num(9), text("12")});  // not yet
    EXPECT_EQ(o.reply.result, E_FAILURE);
    EXPECT_EQ(o.divergence,
              "SetNodeValueString a.N [9,\"12\"] matches no recorded call; closest recorded: line 4: "
              "SetNodeValueString a.N [9,\"12\"]");
    o = r.call(Op::WriteNodeSync, {num(9)});  // no such call near: the one expected
    EXPECT_NE(o.divergence.find("line 2: CreateNodeOnController a.N [\"a.N\",1,0] (op WriteNodeSync, recorded "
                                "CreateNodeOnController)"),
              std::string::npos)
        << o.divergence;
    EXPECT_EQ(r.result(Op::CreateNodeOnController, {text("a.N"), num(1), num(0)}), E_OK);
    EXPECT_EQ(r.result(Op::GetNode, {text("a.N")}), 9);  // the same call, answered as it was after the change
    EXPECT_EQ(r.result(Op::SetNodeValueString, {num(9), text("12")}), E_OK);
    o = r.call(Op::SetNodeValueString, {num(9), text("14")});
    EXPECT_EQ(o.reply.result, E_FAILURE);
    EXPECT_NE(o.divergence.find("(args[1] \"14\", recorded \"13\")"), std::string::npos) << o.divergence;
    EXPECT_EQ(r.result(Op::SetNodeValueString, {num(9), text("13")}), -9);
    EXPECT_NE(r.log.find("replay: divergence on c (recorded process 7 hc=0): SetNodeValueString a.N [9,\"14\"]"),
              std::string::npos)
        << r.log;
    EXPECT_EQ(r.replay.summary(), "replay: 5 calls matched, 3 divergences, 0 unused");
    // Each recorded call once among the closest, nearest first.
    nlohmann::json report = nlohmann::json::parse(r.replay.report());
    EXPECT_EQ(report["diverged"][2]["closest"].size(), 2u);
    EXPECT_EQ(report["diverged"][2]["closest"][0]["line"], 5);
    EXPECT_TRUE(r.replay.failed());
}

TEST(Replay, ATokenStandsForOneValueAndReadsBackAsIt) {
    const std::string token = "REDACTED-0123456789abcdef";
    const std::string set = R"("op":"SetNodeValueString","args":[4,")" + token + R"("],"result":0)";
    Replayed r(at(0, set) + at(1, R"("op":"GetNodeValueString","args":[4,64],"result":0,"reply":[")" + token + "\"]") +
               at(2, set));
    EXPECT_EQ(r.result(Op::SetNodeValueString, {num(4), text("s3cret")}), E_OK);
    EXPECT_EQ(r.call(Op::GetNodeValueString, {num(4), num(64)}).reply.fields.at(0).str, "s3cret");
    EXPECT_EQ(r.result(Op::SetNodeValueString, {num(4), text("other")}), E_FAILURE);
    EXPECT_EQ(r.result(Op::SetNodeValueString, {num(4), text("s3cret")}), E_OK);
}

TEST(Replay, ConnectionsAreMatchedByTheirFirstCallAndWhatNoneAskedIsUnused) {
    const std::string text = at(0, R"("op":"GetNode","args":["a"],"result":1)", 0) +
                             at(1, R"("op":"GetNode","args":["b"],"result":2)", 1) +
                             at(2, R"("op":"GetNode","args":["c"],"result":3)", 1);
    for (bool strict : {false, true}) {
        Replayed r(text, strict);
        Session second;
        EXPECT_EQ(r.call(Op::GetNode, {proto::Field{0, "b"}}, &second).reply.result, 2);
        EXPECT_EQ(r.call(Op::GetNode, {proto::Field{0, "c"}}, &second).reply.result, 3);
        EXPECT_EQ(r.replay.summary(), "replay: 2 calls matched, 0 divergences, 1 unused");
        EXPECT_EQ(r.replay.failed(), strict);
        EXPECT_NE(r.replay.report().find(R"("unused_calls":[{"line":1,"op":"GetNode"}])"), std::string::npos);
    }
}

}  // namespace
}  // namespace tessaro::sim::replay
