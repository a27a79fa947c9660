// Requests and replies: argument encoding, copies into caller buffers,
// out-parameters, time bounds, broken connections and concurrent callers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
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
using testutil::count_ops;
using testutil::eventually;
using testutil::ScopedEnv;
using testutil::Stopwatch;
namespace wire = tessaro::wire;

namespace {

int32_t last_i32(const Request& r) {
    wire::Reader f = r.fields();
    int32_t v = 0, last = 0;
    while (f.i32(v)) last = v;
    return last;
}

}  // namespace

TEST(Calls, ArgumentsReachTheControllerAndResultsComeBack) {
    ScriptedPeer p([](Session& s, const Request& r) {
        wire::Reader f = r.fields();
        std::string a, b;
        int32_t x = 0, y = 0, z = 0;
        switch (r.op) {
            case Op::GetNode:
                f.str(a);
                s.reply(r, a == "sys.BoardAddr" ? 42 : -1);
                break;
            case Op::SetNodeValueString:
                f.i32(x) && f.str(a);
                s.reply(r, x == 42 && a == "10.0.0.9" ? E_OK : E_RANGE);
                break;
            case Op::CreateNodeOnController:
                f.str(a) && f.i32(x) && f.i32(y);
                s.reply(r, a == "a.b" && x == VT_R64 && y == 0 ? E_OK : E_RANGE);
                break;
            case Op::CreateJobNodeOnController:
                f.str(a) && f.str(b) && f.i32(x);
                s.reply(r, a == "job.n" && b == "Step" && x == 0 ? E_OK : E_RANGE);
                break;
            case Op::MoveSubtree:
                f.i32(x) && f.i32(y) && f.i32(z);
                s.reply(r, x == 5 && y == 6 && z == 7 ? E_OK : E_RANGE);
                break;
            case Op::CreateNodeObjectCollection:
                s.reply(r, 12);
                break;
            default:
                s.reply(r, E_UNIMP);
        }
    });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    EXPECT_EQ(GetNode(hc, "sys.BoardAddr"), 42);
    EXPECT_EQ(GetNode(hc, "missing"), -1);
    EXPECT_EQ(GetNode(hc, nullptr), -1);
    EXPECT_EQ(SetNodeValueString(hc, 42, "10.0.0.9"), E_OK);
    EXPECT_EQ(CreateNodeOnController(hc, "a.b", VT_R64, 0), E_OK);
    EXPECT_EQ(CreateJobNodeOnController(hc, "job.n", "Step", 0), E_OK);
    EXPECT_EQ(MoveSubtree(hc, 5, 6, 7), E_OK);
    EXPECT_EQ(CreateNodeObjectCollection(hc), 12);
    EXPECT_EQ(JobStart(hc), E_UNIMP);  // codes pass through unchanged
    // Missing texts are refused locally.
    size_t before = p.ops().size();
    EXPECT_EQ(SetNodeValueString(hc, 42, nullptr), E_INVALID);
    EXPECT_EQ(CreateNodeOnController(hc, nullptr, VT_I32, 0), E_INVALID);
    EXPECT_EQ(CreateJobNodeOnController(hc, "x", nullptr, 0), E_INVALID);
    EXPECT_EQ(RenameNode(hc, 3, nullptr), E_INVALID);
    EXPECT_EQ(p.ops().size(), before);
}

// The text copies share one contract: size checked locally, passed on, text
// and terminator copied only when they fit.
struct TextCopy {
    const char* name;
    Op op;
    std::function<int(HController, char*, int)> call;
};

namespace {

void check_text_copy(const TextCopy& op) {
    SCOPED_TRACE(op.name);
    const std::string text = "hello;world";
    std::atomic<bool> liar{false};
    std::atomic<int32_t> seen_size{0};
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (r.op != op.op) return s.reply(r, E_UNIMP);
        int32_t size = last_i32(r);
        seen_size = size;
        if (!liar && static_cast<size_t>(size) < text.size() + 1) return s.reply(r, E_NOSPACE);
        s.reply(r, 0, [&](wire::Writer& w) { w.str(text); });
    });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);

    char buf[32];
    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(op.call(hc, buf, 12), E_OK);
    EXPECT_EQ(seen_size, 12);
    EXPECT_STREQ(buf, "hello;world");
    EXPECT_EQ(buf[12], '#');

    std::memset(buf, '#', sizeof buf);
    EXPECT_EQ(op.call(hc, buf, 11), E_NOSPACE);
    EXPECT_EQ(seen_size, 11);
    EXPECT_EQ(buf[0], '#');

    // A controller that answers with more than the buffer holds is refused too.
    liar = true;
    EXPECT_EQ(op.call(hc, buf, 5), E_NOSPACE);
    EXPECT_EQ(buf[0], '#');

    size_t before = p.ops().size();
    EXPECT_EQ(op.call(hc, nullptr, 12), E_INVALID);
    EXPECT_EQ(op.call(hc, buf, 0), E_INVALID);
    EXPECT_EQ(op.call(hc, buf, -3), E_INVALID);
    EXPECT_EQ(p.ops().size(), before);
}

}  // namespace

TEST(Calls, TextCopiesCopyOnlyWhatFitsAndNeverTruncate) {
    const TextCopy ops[] = {
        {"GetNodeValueString", Op::GetNodeValueString,
         [](HController hc, char* b, int n) { return GetNodeValueString(hc, 3, b, n); }},
        {"GetNodeName", Op::GetNodeName, [](HController hc, char* b, int n) { return GetNodeName(hc, 3, b, n); }},
        {"GetJobNames", Op::GetJobNames, [](HController hc, char* b, int n) { return GetJobNames(hc, b, n); }},
        {"GetSystemMessageXML", Op::GetSystemMessageXML,
         [](HController, char* b, int n) { return GetSystemMessageXML(9, b, n); }},
    };
    for (const TextCopy& op : ops) check_text_copy(op);
}

TEST(Calls, BinaryCopyIsExactAndUnterminated) {
    const std::vector<uint8_t> value = {0x00, 0xff, 0x41, 0x00, 0x7f};
    std::atomic<bool> liar{false};
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (r.op == Op::GetNodeValueBinCopyLen) return s.reply(r, static_cast<int32_t>(value.size()));
        int32_t size = last_i32(r);
        if (!liar && static_cast<size_t>(size) < value.size()) return s.reply(r, E_NOSPACE);
        s.reply(r, 0, [&](wire::Writer& w) { w.bytes(value.data(), value.size()); });
    });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    EXPECT_EQ(GetNodeValueBinCopyLen(hc, 1), 5);
    uint8_t buf[8];
    std::memset(buf, 0xaa, sizeof buf);
    EXPECT_EQ(GetNodeValueBinCopy(hc, 1, buf, 5), E_OK);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 5), value);
    EXPECT_EQ(buf[5], 0xaa);
    std::memset(buf, 0xaa, sizeof buf);
    EXPECT_EQ(GetNodeValueBinCopy(hc, 1, buf, 4), E_NOSPACE);
    liar = true;
    EXPECT_EQ(GetNodeValueBinCopy(hc, 1, buf, 4), E_NOSPACE);
    EXPECT_EQ(buf[0], 0xaa);
    EXPECT_EQ(GetNodeValueBinCopy(hc, 1, nullptr, 5), E_INVALID);
    EXPECT_EQ(GetNodeValueBinCopy(hc, 1, buf, 0), E_INVALID);
}

TEST(Calls, OutParametersAreWrittenOnlyOnSuccess) {
    std::atomic<int32_t> result{0};
    std::atomic<int32_t> value{3};
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (result != 0) return s.reply(r, result);
        if (r.op == Op::GetPLCState)
            return s.reply(r, 0, [](wire::Writer& w) { w.u32(0x30).u32(0x80000001u); });
        s.reply(r, 0, [&](wire::Writer& w) { w.i32(value); });
    });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);

    int count = -1, len = -1, types = -1;
    HNodeObject node = -9;
    unsigned state = 0, reserved = 0;
    EXPECT_EQ(GetNodeObjectCount(hc, 1, &count), E_OK);
    EXPECT_EQ(GetJobNamesLen(hc, &len), E_OK);
    EXPECT_EQ(GetJobNodeTypesCount(hc, &types), E_OK);
    EXPECT_EQ(GetNodeObjectAtIndex(hc, 1, 0, &node), E_OK);
    EXPECT_EQ(GetPLCState(hc, &state, &reserved), E_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(len, 3);
    EXPECT_EQ(types, 3);
    EXPECT_EQ(node, 3);
    EXPECT_EQ(state, 0x30u);
    EXPECT_EQ(reserved, 0x80000001u);

    // A failure from the controller leaves them alone, and so does a
    // negative count that comes with success.
    for (int32_t code : {E_NOEXIST, E_OK}) {
        result = code;
        value = -2;
        int c = 99;
        HNodeObject n = 99;
        unsigned s = 99, rs = 99;
        int want = code == E_OK ? E_FAILURE : code;
        EXPECT_EQ(GetNodeObjectCount(hc, 1, &c), want);
        EXPECT_EQ(GetJobNamesLen(hc, &c), want);
        EXPECT_EQ(GetJobNodeTypesCount(hc, &c), want);
        EXPECT_EQ(c, 99);
        if (code != E_OK) {
            EXPECT_EQ(GetNodeObjectAtIndex(hc, 1, 0, &n), code);
            EXPECT_EQ(GetPLCState(hc, &s, &rs), code);
            EXPECT_EQ(n, 99);
            EXPECT_EQ(s, 99u);
            EXPECT_EQ(rs, 99u);
        }
    }

    size_t before = p.ops().size();
    EXPECT_EQ(GetNodeObjectCount(hc, 1, nullptr), E_INVALID);
    EXPECT_EQ(GetJobNamesLen(hc, nullptr), E_INVALID);
    EXPECT_EQ(GetJobNodeTypesCount(hc, nullptr), E_INVALID);
    EXPECT_EQ(GetNodeObjectAtIndex(hc, 1, 0, nullptr), E_INVALID);
    EXPECT_EQ(GetPLCState(hc, nullptr, &reserved), E_INVALID);
    EXPECT_EQ(GetPLCState(hc, &state, nullptr), E_INVALID);
    EXPECT_EQ(p.ops().size(), before);
}

TEST(Calls, MissingReplyTimesOutAndLateReplyIsDiscarded) {
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "300");
    std::mutex mu;
    std::optional<Request> held;
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (r.op == Op::ReadNode && last_i32(r) == 2) return s.reply(r, E_OK);
        std::lock_guard<std::mutex> lk(mu);
        held = r;  // silent
    });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);

    Stopwatch sw;
    EXPECT_EQ(ReadNode(hc, 1), E_TIMEOUT);
    EXPECT_GE(sw.ms(), 250);
    EXPECT_LT(sw.ms(), 1500);
    {
        std::lock_guard<std::mutex> lk(mu);
        ASSERT_TRUE(held.has_value());
        p.session(0)->reply(*held, E_BUSY);  // too late: nobody waits for it
    }
    EXPECT_EQ(ReadNode(hc, 2), E_OK);

    sw = Stopwatch();
    EXPECT_EQ(GetNode(hc, "silent"), -1);
    EXPECT_EQ(GetJobInfo(hc), nullptr);
    EXPECT_LT(sw.ms(), 2000);
    EXPECT_EQ(ReadNode(hc, 2), E_OK);  // still usable
}

TEST(Calls, ClosedConnectionIsUnavailableNowAndLater) {
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "5000");
    ScriptedPeer p([](Session& s, const Request&) { s.close(); });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    Stopwatch sw;
    EXPECT_EQ(ReadNode(hc, 1), E_UNAVAIL);
    EXPECT_LT(sw.ms(), 1000);
    unsigned state = 0, reserved = 0;
    EXPECT_EQ(GetPLCState(hc, &state, &reserved), E_UNAVAIL);
    EXPECT_EQ(GetNode(hc, "x"), -1);
    EXPECT_EQ(GetNodeInfo(hc, 1), nullptr);
    EXPECT_EQ(RegisterOnPLCChanged(hc, [](HController, unsigned, unsigned) { return 0; }), E_UNAVAIL);
    EXPECT_EQ(UnregisterOnPLCChanged(hc), E_UNAVAIL);
    EXPECT_EQ(count_ops(p, Op::ReadNode), 1u);
    EXPECT_EQ(p.ops().size(), 2u);  // Hello and the one ReadNode
}

TEST(Calls, BreakWakesEveryWaiter) {
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "5000");
    ScriptedPeer p([](Session&, const Request&) {});
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    std::atomic<int> unavailable{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&, i] { unavailable += ReadNode(hc, i) == E_UNAVAIL; });
    ASSERT_TRUE(eventually([&] { return count_ops(p, Op::ReadNode) == 3; }));
    Stopwatch sw;
    p.session(0)->close();
    for (auto& t : waiters) t.join();
    EXPECT_EQ(unavailable, 3);
    EXPECT_LT(sw.ms(), 2000);
}

// Frames that break the protocol, sent in place of the reply to ReadNode.
struct BadReply {
    const char* name;
    std::function<std::vector<uint8_t>(const Request&)> frame;
};

namespace {

std::vector<uint8_t> header_only(uint32_t len) {
    std::vector<uint8_t> f(4);
    wire::put_be32(f.data(), len);
    return f;
}

wire::Writer reply_to(const Request& r, Op op = Op::ReadNode) {
    return wire::Writer(wire::Kind::Reply, r.seq, static_cast<uint16_t>(op));
}

void check_bad_reply(const BadReply& bad) {
    SCOPED_TRACE(bad.name);
    ScriptedPeer p([&](Session& s, const Request& r) { s.send_raw(bad.frame(r)); });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    int first = ReadNode(hc, 1);
    EXPECT_TRUE(first == E_UNAVAIL || first == E_TIMEOUT) << first;
    // Broken for good: later calls fail at once, without traffic.
    ASSERT_TRUE(eventually([&] { return ReadNode(hc, 1) == E_UNAVAIL; }));
    size_t before = p.ops().size();
    Stopwatch sw;
    EXPECT_EQ(JobStart(hc), E_UNAVAIL);
    EXPECT_LT(sw.ms(), 100);
    EXPECT_EQ(p.ops().size(), before);
}

}  // namespace

TEST(Calls, BadFramesBreakTheConnectionForGood) {
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "400");
    const BadReply cases[] = {
        {"ZeroLengthHeader", [](const Request&) { return header_only(0); }},
        {"OversizedHeader", [](const Request&) { return header_only(wire::kMaxFrame + 1); }},
        {"BodyShorterThanFixedPart",
         [](const Request&) {
             auto f = header_only(3);
             f.insert(f.end(), {2, 0, 0});
             return f;
         }},
        {"NoResult", [](const Request& r) { return reply_to(r).frame(); }},
        {"ResultWithWrongTag", [](const Request& r) { return reply_to(r).u32(0).frame(); }},
        {"ReplyOfAnotherOperation", [](const Request& r) { return reply_to(r, Op::JobStart).i32(0).frame(); }},
        {"RequestFromTheController",
         [](const Request& r) {
             return wire::Writer(wire::Kind::Request, r.seq, static_cast<uint16_t>(Op::ReadNode)).i32(0).frame();
         }},
        {"UnknownFrameKind",
         [](const Request& r) {
             return wire::Writer(static_cast<wire::Kind>(9), r.seq, static_cast<uint16_t>(Op::ReadNode))
                 .i32(0)
                 .frame();
         }},
        {"UndecodableEvent",
         [](const Request&) {
             return wire::Writer(wire::Kind::Event, 0, static_cast<uint16_t>(Op::PlcChanged)).u32(1).frame();
         }},
        {"FrameCutShort",
         [](const Request& r) {
             auto f = reply_to(r).i32(0).frame();
             f.resize(f.size() - 2);  // the peer then stalls: the rest never comes
             return f;
         }},
    };
    for (const BadReply& bad : cases) check_bad_reply(bad);
}

TEST(Calls, RepliesAreRoutedBySequenceNumber) {
    std::mutex mu;
    std::optional<Request> first;
    ScriptedPeer p([&](Session& s, const Request& r) {
        std::lock_guard<std::mutex> lk(mu);
        if (!first) {
            first = r;
            return;
        }
        // Answer the second request first.
        s.reply(r, last_i32(r));
        s.reply(*first, last_i32(*first));
    });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    int a = 0;
    std::thread t([&] { a = GetNodeValueStringLen(hc, 111); });
    ASSERT_TRUE(eventually([&] { return count_ops(p, Op::GetNodeValueStringLen) == 1; }));
    EXPECT_EQ(GetNodeValueStringLen(hc, 222), 222);
    t.join();
    EXPECT_EQ(a, 111);
}

TEST(Calls, ConcurrentCallersGetTheirOwnReplies) {
    ScriptedPeer p([](Session& s, const Request& r) { s.reply(r, last_i32(r)); });
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) wrong += GetNodeNameLen(hc, t * 1000 + i) != t * 1000 + i;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(wrong, 0);
}

TEST(Calls, SystemMessagesUseTheNewestLiveConnection) {
    auto answer = [](int32_t len) {
        return [len](Session& s, const Request& r) { s.reply(r, len); };
    };
    ScriptedPeer older(answer(111));
    ScriptedPeer newer(answer(222));
    ASSERT_GE(testutil::connect_to(older), 0);
    ASSERT_GE(testutil::connect_to(newer), 0);
    EXPECT_EQ(GetSystemMessageXMLLen(5), 222);
    newer.session(0)->close();
    EXPECT_TRUE(eventually([] { return GetSystemMessageXMLLen(5) == 111; }));
    older.session(0)->close();
    EXPECT_TRUE(eventually([] { return GetSystemMessageXMLLen(5) == E_UNAVAIL; }));
}

TEST(Calls, RequestTooLargeForAFrameIsRefusedLocally) {
    ScriptedPeer p;
    HController hc = testutil::connect_to(p);
    ASSERT_GE(hc, 0);
    std::string huge(wire::kMaxFrame, 'x');
    EXPECT_EQ(SetNodeValueString(hc, 1, huge.c_str()), E_INVALID);
    EXPECT_EQ(GetNode(hc, huge.c_str()), -1);
    EXPECT_EQ(ReadNode(hc, 1), E_OK);  // the connection is unharmed
    EXPECT_EQ(count_ops(p, Op::SetNodeValueString), 0u);
}
