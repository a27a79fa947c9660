// Fault rules: which calls they hit, and what a hit does to a request.
#include <gtest/gtest.h>

#include "dispatch.h"
#include "faults.h"
#include "support.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

using proto::Op;

Fault fault(Op op, int32_t result) {
    Fault f;
    f.op = op;
    f.result = result;
    return f;
}

// Which of `n` identical calls the table hits (1-based call numbers).
std::vector<int> hits(FaultTable& t, const FaultQuery& q, int n) {
    std::vector<int> out;
    for (int i = 1; i <= n; ++i)
        if (t.check(q)) out.push_back(i);
    return out;
}

TEST(FaultTable, CallAndTimesPickTheWindow) {
    FaultQuery q{Op::GetNode, {"a"}, {}};
    Fault every = fault(Op::GetNode, -1);
    FaultTable all({every});
    EXPECT_EQ(hits(all, q, 4), (std::vector<int>{1, 2, 3, 4}));

    Fault second = every;
    second.call = 2;
    FaultTable t2({second});
    EXPECT_EQ(hits(t2, q, 4), (std::vector<int>{2}));

    Fault first_two = every;
    first_two.times = 2;
    FaultTable t3({first_two});
    EXPECT_EQ(hits(t3, q, 4), (std::vector<int>{1, 2}));

    Fault window = every;
    window.call = 2;
    window.times = 2;
    FaultTable t4({window});
    EXPECT_EQ(hits(t4, q, 5), (std::vector<int>{2, 3}));
}

TEST(FaultTable, MatchesOpNodeAndHandle) {
    Fault by_node = fault(Op::ReadNode, -12);
    by_node.node = "sys.BoardAddr";
    Fault by_handle = fault(Op::GetDeviceInfo, -12);
    by_handle.handle = 3;
    FaultTable t({by_node, by_handle});
    EXPECT_FALSE(t.check({Op::GetNode, {"sys.BoardAddr"}, {}}));
    EXPECT_FALSE(t.check({Op::ReadNode, {"sys.Other"}, {5}}));
    EXPECT_TRUE(t.check({Op::ReadNode, {"sys.BoardAddr"}, {2}}));
    EXPECT_FALSE(t.check({Op::GetDeviceInfo, {}, {4}}));
    EXPECT_TRUE(t.check({Op::GetDeviceInfo, {}, {3}}));
    EXPECT_TRUE(t.watches(Op::ReadNode));
    EXPECT_FALSE(t.watches(Op::JobStart));
}

TEST(FaultTable, FirstListedFaultWinsButAllCount) {
    Fault a = fault(Op::JobStart, -9);
    a.times = 1;
    Fault b = fault(Op::JobStart, -14);
    b.call = 2;  // counted on the first call too, although a hit it
    FaultTable t({a, b});
    FaultQuery q{Op::JobStart, {}, {}};
    EXPECT_EQ(t.check(q)->result, -9);
    EXPECT_EQ(t.check(q)->result, -14);
    EXPECT_FALSE(t.check(q));
}

// Faults as the machine applies them to whole requests.
class FaultedRequests : public ::testing::Test {
protected:
    FaultedRequests()
        : m(test::load(R"({
            "nodes": [{"name": "f", "type": "FOLDER", "children": [
              {"name": "v", "type": "VT_I32", "value": "5"},
              {"name": "w", "type": "VT_I32", "value": "6"}]}],
            "faults": [
              {"op": "GetNodeInfo", "node": "f.v", "result": -12},
              {"op": "SetNodeValueString", "node": "f.v", "result": -13},
              {"op": "GetNodeValueString", "handle": 3, "result": -3},
              {"op": "GetNode", "node": "f.slow", "delay_ms": 40},
              {"op": "GetPLCState", "action": "silent"},
              {"op": "JobStart", "action": "close"}
            ]})")) {}

    Outcome send(const wire::Writer& w) {
        std::vector<uint8_t> frame = w.frame();
        std::vector<uint8_t> body(frame.begin() + 4, frame.end());
        return respond(m, s, nullptr, body, [this](int64_t ms) {
            delays.push_back(ms);
            return true;
        });
    }
    static test::Reply reply_of(const Outcome& o) { return test::Reply({o.frame.begin() + 4, o.frame.end()}); }
    wire::Writer req(Op op) { return wire::Writer(wire::Kind::Request, 1, static_cast<uint16_t>(op)); }
    int32_t h(const char* n) { return m.get_node(n); }

    Machine m;
    Session s;
    std::vector<int64_t> delays;
};

TEST_F(FaultedRequests, RecordRepliesCarryOnlyTheResult) {
    Outcome o = send(req(Op::GetNodeInfo).i32(h("f.v")));
    ASSERT_EQ(o.kind, Outcome::Kind::Reply);
    test::Reply r = reply_of(o);
    EXPECT_EQ(r.result, E_NOEXIST);
    EXPECT_TRUE(r.fields.at_end());
    // The other node is not affected.
    test::Reply ok = reply_of(send(req(Op::GetNodeInfo).i32(h("f.w"))));
    EXPECT_EQ(ok.result, E_OK);
}

TEST_F(FaultedRequests, FaultedWritesHaveNoEffect) {
    Outcome o = send(req(Op::SetNodeValueString).i32(h("f.v")).str("9"));
    test::Reply r = reply_of(o);
    EXPECT_EQ(r.result, E_ACCESS);
    EXPECT_EQ(m.write_sync(s, h("f.v")), E_OK);
    std::string v;
    ASSERT_EQ(m.value_string(h("f.v"), 16, v), E_OK);
    EXPECT_EQ(v, "5");
}

TEST_F(FaultedRequests, CopyRepliesKeepTheirFields) {
    ASSERT_EQ(h("f.w"), 3);
    Outcome o = send(req(Op::GetNodeValueString).i32(3).i32(100));
    test::Reply r = reply_of(o);
    EXPECT_EQ(r.result, E_NOSPACE);
    std::string text = "x";
    EXPECT_TRUE(r.fields.str(text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(r.fields.at_end());
}

TEST_F(FaultedRequests, SilentCloseAndDelay) {
    EXPECT_EQ(send(req(Op::GetPLCState)).kind, Outcome::Kind::Silent);
    EXPECT_EQ(send(req(Op::JobStart)).kind, Outcome::Kind::Close);
    Outcome o = send(req(Op::GetNode).str("f.slow"));
    ASSERT_EQ(o.kind, Outcome::Kind::Reply);
    EXPECT_EQ(delays, (std::vector<int64_t>{40}));
    test::Reply r = reply_of(o);
    EXPECT_EQ(r.result, -1);  // carried out after the delay: no such node
}

}  // namespace
}  // namespace tessaro::sim
