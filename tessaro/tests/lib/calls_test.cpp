// Requests and replies: each operation's request against the list of
// operations, arguments refused before any traffic, copies into caller
// buffers, out-parameters, time bounds, broken connections and concurrent
// callers, and the records handed out. That every field of a record is
// converted is shown end to end, by the programs against the simulator.
#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "scripted_peer.h"

using namespace peer;
namespace proto = tessaro::proto;

// A call and its text, for tables of calls.
#define CALL(expr) {#expr, [&] { return (expr); }}
using Call = std::pair<const char*, std::function<int()>>;

namespace {

// Calls `op` with the connection first, then for parameter i the number i,
// the text "t<i>", a buffer or a handler. Returns the numbers and texts that
// its request should carry, in order: all of them, the connection aside.
template <typename R, typename... P, size_t... I>
std::vector<std::string> call(R (*op)(P...), HController hc, bool on_connection, std::index_sequence<I...>) {
    char buf[sizeof...(P)][64] = {};
    std::string sent[sizeof...(P)];
    auto make = [&](auto type, size_t i) {
        using T = typename decltype(type)::type;
        if constexpr (std::is_same_v<T, XAL_PLC_CHANGED_CALLBACK>) return T([](HController, unsigned, unsigned) { return 0; });
        else if constexpr (std::is_same_v<T, const char*>) return T(std::strcpy(buf[i], (sent[i] = "t" + std::to_string(i)).c_str()));
        else if constexpr (std::is_pointer_v<T>) return reinterpret_cast<T>(buf[i]);
        else return static_cast<T>(std::stoi(sent[i] = std::to_string(i == 0 ? hc : static_cast<int>(i))));
    };
    op(make(std::common_type<P>{}, I)...);
    std::vector<std::string> out(sent + (on_connection ? 1 : 0), sent + sizeof...(P));
    out.erase(std::remove(out.begin(), out.end(), ""), out.end());
    return out;
}
template <typename R, typename... P>
constexpr size_t arity(R (*)(P...)) { return sizeof...(P); }

// A request as "<operation>: <tag><value> ...", up to a "?" for what is no
// field or of a type no request carries.
std::string fields_of(const std::vector<uint8_t>& body) {
    std::string out = std::to_string(body[5] << 8 | body[6]) + ":";
    for (size_t at = 7; at < body.size();) {
        const char t = static_cast<char>(body[at]);
        const uint32_t v = at + 5 <= body.size() ? wire::get_be32(&body[at + 1]) : 0;
        const size_t n = t == 's' ? v : 0;
        if ((t != 'i' && t != 's') || at + 5 + n > body.size()) return out + "?";
        out += " " + std::string(1, t) +
               (t == 's' ? std::string(&body[at + 5], &body[at + 5 + n]) : std::to_string(int32_t(v)));
        at += 5 + n;
    }
    return out;
}

}  // namespace

// Every operation of the list sends one request of its own operation number
// whose fields have the listed types and carry the call's arguments in order
// (the connection aside), and nothing more. The calls are made from the list,
// so an operation added to it is checked as well. Arguments that are bad
// without asking the controller send nothing.
TEST(Calls, RequestsAreLaidOutAsTheirRowsOfTheListAndBadArgumentsSendNone) {
    std::mutex mu;
    std::vector<Request> seen;
    ScriptedPeer p([&](Session& s, const Request& r) {
        std::lock_guard<std::mutex> lk(mu);
        seen.push_back(r);
        s.reply(r, E_FAILURE);  // no out-value is written, no record made
    });
    const HController hc = p.connect();  // each call below fails without it
    auto check = [&](const char* name, Op op, const std::string& request, const std::vector<std::string>& sent) {
        std::string expected = std::to_string(static_cast<int>(op)) + ":";
        for (size_t k = 0; k < request.size(); ++k) expected += " " + request.substr(k, 1) + (k < sent.size() ? sent[k] : "");
        std::lock_guard<std::mutex> lk(mu);
        ASSERT_EQ(seen.size(), 1u) << name;
        EXPECT_EQ(fields_of(seen[0].body), expected) << name;
        seen.clear();
    };
#define XAL_LOCAL_OP(...)
#define XAL_WIRE_OP(name, wire, request, roles, ...) /* roles 'm': no connection */ \
    check(#name, Op::name, request, call(&::name, hc, roles[0] != 'm', std::make_index_sequence<arity(&::name)>{}));
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP

    char buf[8];
    unsigned u = 0;
    const std::string huge(wire::kMaxFrame, 'x');  // no frame can carry it
    const Call invalid[] = {
        CALL(SetNodeValueString(hc, 1, nullptr)),       CALL(SetNodeValueString(hc, 1, huge.c_str())),
        CALL(CreateNodeOnController(hc, nullptr, VT_I32, 0)), CALL(RenameNode(hc, 3, nullptr)),
        CALL(CreateJobNodeOnController(hc, "j", nullptr, 0)), CALL(GetNodeValueString(hc, 1, nullptr, 8)),
        CALL(GetNodeName(hc, 1, buf, -3)),              CALL(GetJobNames(hc, nullptr, 8)),
        CALL(GetSystemMessageXML(1, buf, 0)),           CALL(GetNodeValueBinCopy(hc, 1, buf, 0)),
        CALL(GetNodeObjectCount(hc, 1, nullptr)),       CALL(GetNodeObjectAtIndex(hc, 1, 0, nullptr)),
        CALL(GetJobNamesLen(hc, nullptr)),              CALL(GetJobNodeTypesCount(hc, nullptr)),
        CALL(GetPLCState(hc, &u, nullptr)),             CALL(RegisterOnPLCChanged(hc, nullptr)),
        CALL(ReadNode(hc + 1, 1)),                      CALL(UnregisterOnPLCChanged(-1)),
    };
    for (const auto& [text, call] : invalid) EXPECT_EQ(call(), E_INVALID) << text;
    EXPECT_EQ(GetNode(hc, nullptr), -1);
    EXPECT_EQ(GetJobNodeTypeInfo(hc, -1), nullptr);
    std::lock_guard<std::mutex> lk(mu);
    EXPECT_TRUE(seen.empty());
}

// A copy into the caller's buffer: the value (with a terminator, for a text)
// is copied only when it fits, whatever the controller sends. Nor is a
// negative count or length taken (all of them share one decoder). The
// controller's own refusals pass through, as the programs' runs show.
// Replies are read whole: one of the largest frame a peer accepts (one byte
// more breaks the connection: the hostile controller's tests), and one that
// comes a byte at a time.
TEST(Calls, OutParametersGetOnlyWhatFitsAndMakesSenseOfRepliesReadWhole) {
    const std::string text = "hello;world", binary("\0\xff" "A\0\x7f", 5);
    const size_t head = wire::Writer(wire::Kind::Reply, 2, 0).i32(0).bytes(nullptr, 0).body().size();
    const std::string largest(wire::kMaxFrame - head, 'v');
    ScriptedPeer p([&](Session& s, const Request& r) {
        if (r.op == Op::GetNodeValueStringLen) {
            int one = 1;  // each byte in a segment of its own
            ::setsockopt(s.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            for (uint8_t b : wire::Writer(wire::Kind::Reply, r.seq, static_cast<uint16_t>(r.op)).i32(4321).frame()) {
                s.send_raw({b});
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return;
        }
        const std::string& bin = last_i32(r) > 64 ? largest : binary;  // by the buffer's size
        s.reply(r, 0, [&](wire::Writer& w) {
            if (r.op == Op::GetNodeObjectCount) w.i32(-2);
            else r.op == Op::GetNodeValueBinCopy ? w.bytes(bin.data(), bin.size()) : w.str(text);
        });
    });
    const HController hc = p.connect();  // each call below fails without it
    char buf[32];
    int size = 0;
    const Call copies[] = {CALL(GetNodeValueString(hc, 3, buf, size)), CALL(GetNodeName(hc, 3, buf, size)),
                           CALL(GetJobNames(hc, buf, size)), CALL(GetSystemMessageXML(9, buf, size)),
                           CALL(GetNodeValueBinCopy(hc, 3, buf, size))};
    for (const Call& c : copies) {
        const bool is_text = std::strstr(c.first, "BinCopy") == nullptr;
        const std::string whole = is_text ? text + '\0' : binary;
        const int fits = static_cast<int>(whole.size());
        // The result, and the buffer up to one byte past the value, for a buffer size.
        auto attempt = [&](int n) {
            std::memset(buf, '#', sizeof buf);
            size = n;
            const int rc = c.second();
            return std::to_string(rc) + " " + std::string(buf, whole.size() + 1);
        };
        const std::string ok = "0 " + whole + "#", nospace = std::to_string(E_NOSPACE) + " " + std::string(fits + 1, '#');
        EXPECT_EQ(attempt(fits), ok) << c.first;
        EXPECT_EQ(attempt(fits - 1), nospace) << c.first;
        // Fewer bytes than asked: a whole text, but only part of a binary value.
        EXPECT_EQ(attempt(fits + 1), is_text ? ok : nospace) << c.first;
    }
    int count = 3;
    EXPECT_EQ(GetNodeObjectCount(hc, 1, &count), E_FAILURE);
    EXPECT_EQ(count, 3);
    std::string whole(largest.size(), '#');
    EXPECT_EQ(GetNodeValueBinCopy(hc, 1, whole.data(), static_cast<int>(whole.size())), E_OK);
    EXPECT_TRUE(whole == largest);
    EXPECT_EQ(GetNodeValueStringLen(hc, 1), 4321);
}

// Replies reach their callers by sequence number: out of order, or too late
// (the caller has timed out, and the reply is dropped); a break wakes every
// caller still waiting. Requests that belong to no connection, system
// messages, go to the newest connection still alive.
TEST(Calls, EveryCallerGetsItsOwnReplyTheTimeoutOrTheBreak) {
    ::setenv("TESSARO_CALL_TIMEOUT_MS", "1000", 1);
    std::vector<Request> held;  // the requests for 111 and 333, answered after the next one
    ScriptedPeer p([&](Session& s, const Request& r) {  // one connection: the script runs on one thread
        if (last_i32(r) == 999) return;  // never answered
        if (last_i32(r) == 111 || last_i32(r) == 333) return held.push_back(r);
        s.reply(r, last_i32(r));
        for (const Request& h : held) s.reply(h, last_i32(h));
        held.clear();
    });
    const HController hc = p.connect();  // each call below fails without it
    EXPECT_EQ(GetNodeValueStringLen(hc, 333), E_TIMEOUT);
    int first = 0;
    std::thread t([&] { first = GetNodeValueStringLen(hc, 111); });
    ASSERT_TRUE(eventually([&] { return p.requests(Op::GetNodeValueStringLen) == 2; }));
    EXPECT_EQ(GetNodeValueStringLen(hc, 222), 222);
    t.join();
    EXPECT_EQ(first, 111);

    ScriptedPeer newer;  // system messages go to the newest connection still alive
    ASSERT_GE(newer.connect(), 0);
    EXPECT_EQ(GetSystemMessageXMLLen(5), 0);
    newer.session()->close();
    EXPECT_TRUE(eventually([] { return GetSystemMessageXMLLen(5) == 5; }));

    std::atomic<int> unavailable{0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 3; ++k) threads.emplace_back([&] { unavailable += ReadNode(hc, 999) == E_UNAVAIL; });
    ASSERT_TRUE(eventually([&] { return p.requests(Op::ReadNode) == 3; }));
    p.session()->close();
    for (auto& th : threads) th.join();
    EXPECT_EQ(unavailable, 3);
}

// Destroy takes back exactly what was handed out. (Job node types stay with the
// library, and the snapshot example, which never destroys them, shows them
// end to end.)
TEST(Calls, OnlyLiveRecordsAreTakenBack) {
    ScriptedPeer p([&](Session& s, const Request& r) {
        auto send = [&](const auto& v) { s.reply(r, 0, [&](wire::Writer& w) { proto::put(w, v); }); };
        const proto::Device dev{5, "D", "drv", 42, "", 0, 0, "", "", {"X"}, {}};  // a state outside the enumeration
        if (r.op == Op::GetNodeInfo) return send(proto::NodeInfo{});
        if (r.op == Op::GetJobInfo) return send(proto::JobInfo{{"jobs.A"}, {"A"}, ""});
        send(std::vector<proto::Device>{dev, dev});
    });
    const HController hc = p.connect();  // each call below fails without it
    XAL_NODEINFO* n = GetNodeInfo(hc, 1);
    XAL_JOBINFO* j = GetJobInfo(hc);
    XAL_DEVICEINFO* all = GetAllDeviceInfo(hc);
    ASSERT_TRUE(n && j && all);
    EXPECT_EQ(all->device[0]->state, XAL_DEV_UNKNOWN_FAILURE);  // the catch-all for a state outside the enumeration
    XAL_NODEINFO on_stack{};
    EXPECT_EQ(DestroyNodeInfo(&on_stack), E_INVALID);
    EXPECT_EQ(DestroyNodeInfo(nullptr), E_INVALID);
    EXPECT_EQ(DestroyJobInfo(reinterpret_cast<XAL_JOBINFO*>(n)), E_INVALID);  // of another family
    EXPECT_EQ(DestroySingleDeviceInfo(all->device[1]), E_INVALID);            // an entry of a list
    EXPECT_EQ((std::vector<int>{DestroyNodeInfo(n), DestroyJobInfo(j), DestroyDeviceInfo(all)}),
              std::vector<int>(3, E_OK));
    EXPECT_EQ(DestroyJobInfo(j), E_INVALID);  // taken back already
}
