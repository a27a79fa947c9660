// Requests and replies: what reaches the controller and what is refused
// before, copies into caller buffers, out-parameters, time bounds, broken
// connections and concurrent callers.
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "scripted_peer.h"

using namespace peer;

namespace {

// A call and its text, for tables of calls.
#define CALL(expr) {#expr, [&] { return (expr); }}
using Call = std::pair<const char*, std::function<int()>>;

// A request as its operation and its i32 and text fields, e.g.
// "CreateNodeOnController s:a.b i:4 i:0"; "?" marks a field of another type.
std::string describe(const Request& r) {
    std::string out = tessaro::proto::op_name(r.op);
    for (wire::Reader f = r.fields(), next = f; f.remaining() > 0; f = next) {
        int32_t i = 0;
        std::string s;
        if (next.i32(i))
            out += " i:" + std::to_string(i);
        else if ((next = f).str(s))
            out += " s:" + s;
        else
            return out + " ?";
    }
    return out;
}

}  // namespace

// Each operation sends the request of its name with its arguments, and
// passes the controller's result (or handle) on.
TEST(Calls, EveryOperationSendsItsArgumentsOrRefusesBadOnesLocally) {
    std::mutex mu;
    std::string seen;
    ScriptedPeer p([&](Session& s, const Request& r) {
        {
            std::lock_guard<std::mutex> lk(mu);
            seen = describe(r);
        }
        s.reply(r, 42);
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    char buf[16];
    int n = 0;
    unsigned u = 0;
    const std::pair<Call, const char*> calls[] = {
        {CALL(GetNode(hc, "sys.BoardAddr")), " s:sys.BoardAddr"}, {CALL(GetParentNode(hc, 5)), " i:5"},
        {CALL(ReadNode(hc, 5)), " i:5"}, {CALL(GetNodeValueStringLen(hc, 5)), " i:5"},
        {CALL(GetNodeValueString(hc, 5, buf, 16)), " i:5 i:16"}, {CALL(GetNodeValueBinCopyLen(hc, 5)), " i:5"},
        {CALL(GetNodeValueBinCopy(hc, 5, buf, 15)), " i:5 i:15"},
        {CALL(SetNodeValueString(hc, 5, "10.0.0.9")), " i:5 s:10.0.0.9"}, {CALL(WriteNodeSync(hc, 5)), " i:5"},
        {CALL(GetNodeNameLen(hc, 5)), " i:5"}, {CALL(GetNodeName(hc, 5, buf, 14)), " i:5 i:14"},
        {CALL(CreateNodeOnController(hc, "a.b", VT_R64, 3)), " s:a.b i:4 i:3"},
        {CALL(CreateJobNodeOnController(hc, "j.n", "Step", 3)), " s:j.n s:Step i:3"},
        {CALL(DeleteSingleNodeOnController(hc, 5)), " i:5"}, {CALL(RenameNode(hc, 5, "new")), " i:5 s:new"},
        {CALL(MoveSubtree(hc, 5, 6, 7)), " i:5 i:6 i:7"}, {CALL(CreateNodeObjectCollection(hc)), ""},
        {CALL(GetSubnodes(hc, 5, 6)), " i:5 i:6"}, {CALL(GetNodeObjectCount(hc, 5, &n)), " i:5"},
        {CALL(GetNodeObjectAtIndex(hc, 5, 6, &n)), " i:5 i:6"}, {CALL(DestroyNodeObjectCollection(hc, 5)), " i:5"},
        {CALL(GetJobNamesLen(hc, &n)), ""}, {CALL(GetJobNames(hc, buf, 13)), " i:13"},
        {CALL(SelectNode(hc, 5)), " i:5"}, {CALL(JobStart(hc)), ""}, {CALL(GetJobNodeTypesCount(hc, &n)), ""},
        {CALL(GetPLCState(hc, &u, &u)), ""}, {CALL(GetSystemMessageXMLLen(5)), " i:5"},
        {CALL(GetSystemMessageXML(5, buf, 12)), " i:5 i:12"},
    };
    for (const auto& [call, fields] : calls) {
        EXPECT_EQ(call.second(), 42) << call.first;
        std::lock_guard<std::mutex> lk(mu);
        EXPECT_EQ(seen, std::string(call.first, std::strchr(call.first, '(')) + fields);
    }
    EXPECT_TRUE(n == 0 && u == 0);  // no out-parameter is written on a failure

    // Arguments that cannot be right are refused without traffic.
    const size_t sent = p.requests();
    const std::string huge(wire::kMaxFrame, 'x');  // no frame can carry it
    const Call invalid[] = {
        CALL(SetNodeValueString(hc, 1, nullptr)),       CALL(SetNodeValueString(hc, 1, huge.c_str())),
        CALL(CreateNodeOnController(hc, nullptr, VT_I32, 0)), CALL(RenameNode(hc, 3, nullptr)),
        CALL(CreateJobNodeOnController(hc, nullptr, "Step", 0)), CALL(CreateJobNodeOnController(hc, "j", nullptr, 0)),
        CALL(GetNodeValueString(hc, 1, nullptr, 8)),    CALL(GetNodeValueString(hc, 1, buf, 0)),
        CALL(GetNodeName(hc, 1, buf, -3)),              CALL(GetJobNames(hc, nullptr, 8)),
        CALL(GetSystemMessageXML(1, buf, 0)),           CALL(GetNodeValueBinCopy(hc, 1, nullptr, 8)),
        CALL(GetNodeValueBinCopy(hc, 1, buf, 0)),       CALL(GetNodeObjectCount(hc, 1, nullptr)),
        CALL(GetNodeObjectAtIndex(hc, 1, 0, nullptr)),  CALL(GetJobNamesLen(hc, nullptr)),
        CALL(GetJobNodeTypesCount(hc, nullptr)),        CALL(GetPLCState(hc, nullptr, &u)),
        CALL(GetPLCState(hc, &u, nullptr)),             CALL(RegisterOnPLCChanged(hc, nullptr)),
    };
    for (const auto& [text, call] : invalid) EXPECT_EQ(call(), E_INVALID) << text;
    EXPECT_EQ(GetNode(hc, nullptr), -1);
    EXPECT_EQ(GetNode(hc, huge.c_str()), -1);
    EXPECT_EQ(GetJobNodeTypeInfo(hc, -1), nullptr);
    EXPECT_EQ(p.requests(), sent);
    EXPECT_EQ(ReadNode(hc, 1), 42);  // and the connection is unharmed
}

// A copy into the caller's buffer: the controller is told the buffer size,
// and the value (with a terminator, for a text) is copied only when it fits.
TEST(Calls, CopiesIntoBuffersCopyOnlyWhatFitsAndNeverTruncate) {
    const std::string text = "hello;world", binary("\0\xff" "A\0\x7f", 5);
    std::atomic<bool> liar{false};
    std::atomic<int32_t> told{0};
    ScriptedPeer p([&](Session& s, const Request& r) {
        const bool is_text = r.op != Op::GetNodeValueBinCopy;
        const std::string& value = is_text ? text : binary;
        told = last_i32(r);
        if (!liar && static_cast<size_t>(told) < value.size() + is_text) return s.reply(r, E_NOSPACE);
        s.reply(r, 0, [&](wire::Writer& w) { is_text ? w.str(value) : w.bytes(value.data(), value.size()); });
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    char buf[32];
    int size = 0;
    const Call copies[] = {CALL(GetNodeValueString(hc, 3, buf, size)), CALL(GetNodeName(hc, 3, buf, size)),
                           CALL(GetJobNames(hc, buf, size)), CALL(GetSystemMessageXML(9, buf, size)),
                           CALL(GetNodeValueBinCopy(hc, 3, buf, size))};
    for (const auto& [name, copy] : copies) {
        SCOPED_TRACE(name);
        const bool is_text = std::strstr(name, "BinCopy") == nullptr;
        const std::string& value = is_text ? text : binary;
        const int fits = static_cast<int>(value.size()) + is_text;
        liar = false;
        std::memset(buf, '#', sizeof buf);
        size = fits;
        EXPECT_EQ(copy(), E_OK);
        EXPECT_EQ(told, fits);
        EXPECT_EQ(std::string(buf, fits + 1), value + (is_text ? std::string(1, '\0') : "") + "#");
        std::memset(buf, '#', sizeof buf);
        size = fits + 1;  // fewer bytes than asked: a whole text, but only part of a binary value
        EXPECT_EQ(copy(), is_text ? E_OK : E_NOSPACE);
        EXPECT_EQ(buf[0], is_text ? value[0] : '#');
        std::memset(buf, '#', sizeof buf);
        size = fits - 1;
        EXPECT_EQ(copy(), E_NOSPACE);
        EXPECT_EQ(told, fits - 1);
        liar = true;  // a controller that sends more than the buffer holds is refused too
        EXPECT_EQ(copy(), E_NOSPACE);
        EXPECT_EQ(buf[0], '#');
    }
}

TEST(Calls, OutParametersAreWrittenOnlyOnSuccess) {
    std::atomic<int32_t> value{3};
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (r.op == Op::GetPLCState) return s.reply(r, 0, [](wire::Writer& w) { w.u32(0x30).u32(0x80000001u); });
        s.reply(r, 0, [&](wire::Writer& w) { w.i32(value); });
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    int count = -1, len = -1, types = -1;
    HNodeObject node = -1;
    unsigned state = 0, reserved = 0;
    auto counts = [&] {
        return std::vector<int>{GetNodeObjectCount(hc, 1, &count), GetJobNamesLen(hc, &len),
                                GetJobNodeTypesCount(hc, &types)};
    };
    EXPECT_EQ(counts(), std::vector<int>(3, E_OK));
    EXPECT_EQ(GetNodeObjectAtIndex(hc, 1, 0, &node), E_OK);
    EXPECT_EQ(GetPLCState(hc, &state, &reserved), E_OK);
    EXPECT_EQ((std::vector<int>{count, len, types, node}), std::vector<int>(4, 3));
    EXPECT_TRUE(state == 0x30u && reserved == 0x80000001u) << state << " " << reserved;
    value = -2;  // a negative count that comes with success is nonsense, and is refused
    EXPECT_EQ(counts(), std::vector<int>(3, E_FAILURE));
    EXPECT_EQ((std::vector<int>{count, len, types}), std::vector<int>(3, 3));
}

TEST(Calls, MissingReplyTimesOutAndLateReplyIsDiscarded) {
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "300");
    std::mutex mu;
    std::optional<Request> held;
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (last_i32(r) == 2) return s.reply(r, E_OK);
        std::lock_guard<std::mutex> lk(mu);
        held = r;  // never answered
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    EXPECT_EQ(ReadNode(hc, 1), E_TIMEOUT);
    {
        std::lock_guard<std::mutex> lk(mu);
        ASSERT_TRUE(held.has_value());
        p.session()->reply(*held, E_BUSY);  // too late: nobody waits for it
    }
    EXPECT_EQ(ReadNode(hc, 2), E_OK);
    EXPECT_EQ(GetNode(hc, "silent"), -1);  // the other kinds of result time out too
    EXPECT_EQ(GetJobInfo(hc), nullptr);
    EXPECT_EQ(ReadNode(hc, 2), E_OK);  // still usable
}

// What the controller sends in place of the reply to GetPLCState; nothing
// means it closes the connection.
TEST(Calls, ClosedConnectionOrBadFrameIsUnavailableNowAndLater) {
    // A frame in answer to `r`, and one with the fields of a valid reply.
    auto to = [](const Request& r, wire::Kind kind = wire::Kind::Reply, Op op = Op::GetPLCState) {
        return wire::Writer(kind, r.seq, static_cast<uint16_t>(op));
    };
    auto full = [](wire::Writer w) { return w.i32(0).u32(1).u32(0).frame(); };
    using Frame = std::function<std::vector<uint8_t>(const Request&)>;
    const std::pair<const char*, Frame> cases[] = {
        {"Closed", [](const Request&) { return std::vector<uint8_t>{}; }},
        {"OversizedHeader", [](const Request&) { return std::vector<uint8_t>{0, 0x40, 0, 1}; }},
        {"BodyShorterThanFixedPart", [](const Request&) { return std::vector<uint8_t>{0, 0, 0, 3, 2, 0, 0}; }},
        {"ResultWithWrongTag", [&](const Request& r) { return to(r).u32(0).frame(); }},
        {"FieldsCutOff", [&](const Request& r) { return to(r).i32(0).u32(1).frame(); }},
        {"ReplyOfAnotherOperation", [&](const Request& r) { return full(to(r, wire::Kind::Reply, Op::JobStart)); }},
        {"RequestFromTheController", [&](const Request& r) { return full(to(r, wire::Kind::Request)); }},
        {"UnknownFrameKind", [&](const Request& r) { return full(to(r, wire::Kind(9))); }},
        {"UndecodableEvent", [&](const Request& r) { return to(r, wire::Kind::Event, Op::PlcChanged).u32(1).frame(); }},
        {"FrameCutShort",  // the rest never comes
         [&](const Request& r) {
             auto f = full(to(r));
             return std::vector<uint8_t>(f.begin(), f.end() - 2);
         }},
    };
    for (const auto& [name, frame] : cases) {
        SCOPED_TRACE(name);
        // Only a stalled frame may end in a timeout: all else must be seen at once.
        const bool stalls = std::string(name) == "FrameCutShort";
        ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", stalls ? "300" : "5000");
        ScriptedPeer p([&, frame = frame](Session& s, const Request& r) {
            std::vector<uint8_t> f = frame(r);
            f.empty() ? s.close() : s.send_raw(f);
        });
        HController hc = p.connect();
        ASSERT_GE(hc, 0);
        unsigned state = 0, reserved = 0;
        const int first = GetPLCState(hc, &state, &reserved);
        EXPECT_TRUE(first == E_UNAVAIL || (stalls && first == E_TIMEOUT)) << first;
        // Broken for good: every later call fails at once, without traffic.
        ASSERT_TRUE(eventually([&] { return ReadNode(hc, 1) == E_UNAVAIL; }));
        const size_t before = p.requests();
        EXPECT_EQ(JobStart(hc), E_UNAVAIL);
        EXPECT_EQ(GetNode(hc, "x"), -1);
        EXPECT_EQ(GetNodeInfo(hc, 1), nullptr);
        EXPECT_EQ(RegisterOnPLCChanged(hc, [](HController, unsigned, unsigned) { return 0; }), E_UNAVAIL);
        EXPECT_EQ(UnregisterOnPLCChanged(hc), E_UNAVAIL);
        EXPECT_EQ(p.requests(), before);
        EXPECT_EQ(state, 0u);
    }
}

// Replies reach their callers out of order and with several callers at once,
// and a break wakes every caller still waiting.
TEST(Calls, EveryCallerGetsItsOwnReplyOrTheBreak) {
    std::mutex mu;
    std::optional<Request> held;  // the request for 111, answered after the next one
    ScriptedPeer p([&](Session& s, const Request& r) {
        std::lock_guard<std::mutex> lk(mu);
        if (last_i32(r) == 999) return;  // never answered
        if (last_i32(r) == 111) {
            held = r;
            return;
        }
        s.reply(r, last_i32(r));
        if (held) s.reply(*held, 111);
        held.reset();
    });
    HController hc = p.connect();
    ASSERT_GE(hc, 0);
    int first = 0;
    std::thread t([&] { first = GetNodeValueStringLen(hc, 111); });
    ASSERT_TRUE(eventually([&] { return p.requests(Op::GetNodeValueStringLen) == 1; }));
    EXPECT_EQ(GetNodeValueStringLen(hc, 222), 222);
    t.join();
    EXPECT_EQ(first, 111);

    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 4; ++k)
        threads.emplace_back([&, k] {
            for (int i = 0; i < 50; ++i) wrong += GetNodeNameLen(hc, k * 1000 + i) != k * 1000 + i;
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong, 0);

    std::atomic<int> unavailable{0};
    threads.clear();
    for (int k = 0; k < 3; ++k) threads.emplace_back([&] { unavailable += ReadNode(hc, 999) == E_UNAVAIL; });
    ASSERT_TRUE(eventually([&] { return p.requests(Op::ReadNode) == 3; }));
    p.session()->close();
    for (auto& th : threads) th.join();
    EXPECT_EQ(unavailable, 3);
}

TEST(Calls, SystemMessagesUseTheNewestLiveConnection) {
    auto answer = [](int32_t len) { return [len](Session& s, const Request& r) { s.reply(r, len); }; };
    ScriptedPeer older(answer(111)), newer(answer(222));
    ASSERT_GE(older.connect(), 0);
    ASSERT_GE(newer.connect(), 0);
    EXPECT_EQ(GetSystemMessageXMLLen(5), 222);
    newer.session()->close();
    EXPECT_TRUE(eventually([] { return GetSystemMessageXMLLen(5) == 111; }));
    older.session()->close();
    EXPECT_TRUE(eventually([] { return GetSystemMessageXMLLen(5) == E_UNAVAIL; }));
}
