// Fault rules: which calls they hit, and what a hit does to a request.
#include <gtest/gtest.h>

#include "dispatch.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using proto::Op;

Fault fault(Op op, int32_t result, uint64_t call = 0, uint64_t times = 0) {
    Fault f;
    f.op = op;
    f.result = result;
    f.call = call;
    f.times = times;
    return f;
}

TEST(FaultTable, CallAndTimesPickTheWindowOfMatchingCalls) {
    const std::tuple<uint64_t, uint64_t, std::vector<int>> cases[] = {
        {0, 0, {1, 2, 3, 4, 5}}, {2, 0, {2}}, {0, 2, {1, 2}}, {2, 2, {2, 3}}};
    for (const auto& [call, times, expected] : cases) {
        Fault f = fault(Op::GetNode, -1, call, times);
        f.node = "a";
        FaultTable t({f});
        std::vector<int> hit;
        for (int i = 1; i <= 5; ++i) {
            EXPECT_FALSE(t.check({Op::GetNode, {"b"}, {}}));  // not counted: another node,
            EXPECT_FALSE(t.check({Op::ReadNode, {"a"}, {}}));  // another operation
            if (t.check({Op::GetNode, {"a"}, {}})) hit.push_back(i);
        }
        EXPECT_EQ(hit, expected) << "call " << call << ", times " << times;
    }
}

TEST(FaultTable, FirstListedFaultWinsButAllCount) {
    // The second fault counts the first call too, although the first one hit it.
    FaultTable t({fault(Op::JobStart, -9, 0, 1), fault(Op::JobStart, -14, 2)});
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
              {"name": "v", "type": "VT_I32", "value": "5"}, {"name": "w", "type": "VT_I32", "value": "6"},
              {"name": "u", "type": "VT_I32", "value": "7"}]}],
            "faults": [
              {"op": "GetNodeInfo", "node": "f.v", "result": -12},
              {"op": "GetNodeValueString", "handle": 3, "result": -3},
              {"op": "SetNodeValueString", "node": "f.v", "result": -13, "delay_ms": 40},
              {"op": "SetNodeValueString", "node": "f.w", "action": "silent"},
              {"op": "SetNodeValueString", "node": "f.u", "action": "close"}]})")) {}

    Outcome send(const wire::Writer& w) {
        return respond(m, s, nullptr, w.body(), [this](int64_t ms) {
            delays.push_back(ms);
            return true;
        });
    }
    static test::Reply reply_of(const Outcome& o) { return test::Reply({o.frame.begin() + 4, o.frame.end()}); }
    static wire::Writer req(Op op) { return wire::Writer(wire::Kind::Request, 1, static_cast<uint16_t>(op)); }

    Machine m;
    Session s;
    std::vector<int64_t> delays;
};

TEST_F(FaultedRequests, FaultedRepliesKeepTheirShape) {
    test::Reply record = reply_of(send(req(Op::GetNodeInfo).i32(m.get_node("f.v"))));
    EXPECT_EQ(record.result, E_NOEXIST);
    EXPECT_TRUE(record.fields.at_end());  // a record only with E_OK
    EXPECT_EQ(reply_of(send(req(Op::GetNodeInfo).i32(m.get_node("f.w")))).result, E_OK);  // other nodes work

    ASSERT_EQ(m.get_node("f.w"), 3);
    test::Reply copy = reply_of(send(req(Op::GetNodeValueString).i32(3).i32(100)));
    EXPECT_EQ(copy.result, E_NOSPACE);
    std::string text = "x";
    EXPECT_TRUE(copy.fields.str(text) && copy.fields.at_end());
    EXPECT_EQ(text, "");
}

TEST_F(FaultedRequests, FaultedWritesHaveNoEffect) {
    const std::tuple<const char*, Outcome::Kind, const char*> cases[] = {
        {"f.v", Outcome::Kind::Reply, "5"}, {"f.w", Outcome::Kind::Silent, "6"}, {"f.u", Outcome::Kind::Close, "7"}};
    for (auto [node, kind, kept] : cases) {
        int32_t h = m.get_node(node);
        Outcome o = send(req(Op::SetNodeValueString).i32(h).str("9"));
        EXPECT_EQ(o.kind, kind) << node;
        if (kind == Outcome::Kind::Reply) { EXPECT_EQ(reply_of(o).result, E_ACCESS); }
        std::string v;
        EXPECT_EQ(m.write_sync(s, h), E_OK);
        EXPECT_EQ(m.value_string(h, 16, v), E_OK);
        EXPECT_EQ(v, kept) << node;
    }
    EXPECT_EQ(delays, std::vector<int64_t>{40});  // the result fault waited out its delay
}

}  // namespace
}  // namespace tessaro::sim
