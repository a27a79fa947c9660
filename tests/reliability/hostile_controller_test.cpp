// The program, through its links, against a controller that breaks the
// protocol in one request: each case must end with the mode's failure status
// inside the program's own time bounds (the kill deadline), without a crash
// and with bounded memory.
#include <gtest/gtest.h>

#include <climits>

#include "child_process.h"
#include "scripted_peer.h"

namespace {

using peer::Op;
using peer::Request;
using peer::Session;
namespace wire = tessaro::wire;

constexpr double kCallS = 3.0;        // the library's reply timeout
constexpr double kConnectS = 0.5;     // the sleep after a successful connection
constexpr double kSlackS = 5.0;       // scheduling on a loaded machine, sanitizers
constexpr double kStretch = 2.0;      // waits count 10 ms sleeps, which a busy machine stretches
constexpr long kMemoryLeadKb = 16384;  // above a well-behaved run: four of the largest frames

std::vector<uint8_t> be32(uint32_t v) {
    std::vector<uint8_t> b(4);
    wire::put_be32(b.data(), v);
    return b;
}
std::vector<uint8_t> cat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
// A reply to `req` carrying its result field, then `tail` as raw bytes.
std::vector<uint8_t> reply_with(const Request& req, const std::vector<uint8_t>& tail) {
    wire::Writer w(wire::Kind::Reply, req.seq, static_cast<uint16_t>(req.op));
    std::vector<uint8_t> body = cat(w.i32(0).body(), tail);
    return cat(be32(static_cast<uint32_t>(body.size())), body);
}
// The first `n` bytes of a frame that announces 20 body bytes.
std::vector<uint8_t> cut_frame(size_t n) { return cat(be32(20), std::vector<uint8_t>(n, 0x02)); }

// The answers of a sound controller with one variable "v" and one job "J.J".
void answer(Session& s, const Request& req) {
    switch (req.op) {
        case Op::GetNode: return s.reply(req, 7);
        case Op::GetNodeValueStringLen: return s.reply(req, 5);
        case Op::GetNodeValueString: return s.reply(req, 0, [](wire::Writer& w) { w.str("hello"); });
        case Op::GetJobInfo:
            return s.reply(req, 0, [](wire::Writer& w) { w.count(1).str("J.J").str("J").str(""); });
        case Op::GetJobNamesLen: return s.reply(req, 0, [](wire::Writer& w) { w.i32(3); });
        case Op::GetJobNames: return s.reply(req, 0, [](wire::Writer& w) { w.str("J.J"); });
        case Op::GetPLCState: return s.reply(req, 0, [](wire::Writer& w) { w.u32(0).u32(0); });
        default: return s.reply(req, 0);
    }
}

struct Case {
    const char* what;
    const char* link;
    Op op;  // the request that gets the hostile answer
    std::function<void(Session&, const Request&)> hostile;
    int status;
    const char* err;
    double bound_s;  // the program's own bound: its connection, calls and waits
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.what; }

const char* const kReadFailed = "Failed to read variable v as a string!\n";

const Case kCases[] = {
    {"never answers", "zunaReadStr", Op::GetNode, [](Session&, const Request&) {}, 2, kReadFailed, kCallS},
    {"answers garbage", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request&) { s.send_raw({'H', 'T', 'T', 'P', '/', '1', '.', '1', ' ', '2', '0', '0'}); }, 2,
     kReadFailed, 0},
    {"frame over the cap", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request&) { s.send_raw(be32(wire::kMaxFrame + 1)); }, 2, kReadFailed, 0},
    {"frame too short for its header", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request&) { s.send_raw(cat(be32(3), {2, 0, 0})); }, 2, kReadFailed, 0},
    {"request kind instead of reply", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request& req) {
         s.send_raw(wire::Writer(wire::Kind::Request, req.seq, uint16_t(req.op)).i32(7).frame());
     },
     2, kReadFailed, 0},
    {"reply of another operation", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request& req) {
         s.send_raw(wire::Writer(wire::Kind::Reply, req.seq, uint16_t(Op::ReadNode)).i32(7).frame());
     },
     2, kReadFailed, 0},
    {"result of the wrong field type", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request& req) {
         s.send_raw(wire::Writer(wire::Kind::Reply, req.seq, uint16_t(req.op)).str("7").frame());
     },
     2, kReadFailed, 0},
    {"text of the wrong field type", "zunaReadStr", Op::GetNodeValueString,
     [](Session& s, const Request& req) { s.reply(req, 0, [](wire::Writer& w) { w.bytes("hello", 5); }); }, 2,
     kReadFailed, 0},
    {"text length of 2^31", "zunaReadStr", Op::GetNodeValueString,
     [](Session& s, const Request& req) { s.send_raw(reply_with(req, cat({'s'}, be32(0x80000000u)))); }, 2,
     kReadFailed, 0},
    {"length query of 2^31-1", "zunaReadStr", Op::GetNodeValueStringLen,
     [](Session& s, const Request& req) { s.reply(req, INT_MAX); }, 2, kReadFailed, 0},
    {"record list of 10^9 entries", "zunaSelectJob", Op::GetJobInfo,
     [](Session& s, const Request& req) { s.send_raw(reply_with(req, cat({'n'}, be32(1000000000u)))); }, 2, "", 0},
    {"closes mid-reply", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request&) {
         s.send_raw(cut_frame(5));
         s.close();
     },
     2, kReadFailed, 0},
    {"sends fewer bytes than it announced", "zunaReadStr", Op::GetNode,
     [](Session& s, const Request&) { s.send_raw(cut_frame(5)); }, 2, kReadFailed, kCallS},
    // The flood never meets the ready wait's condition: the wait must still
    // end after its 10 s, and the flood must not pile up in memory.
    {"flood of PLC-change events", "zunaRunJob", Op::RegisterOnPLCChanged,
     [](Session& s, const Request& req) {
         s.reply(req, 0);
         s.flood(0x4004);
     },
     5, "", 10.0},
};

class HostileController : public ::testing::TestWithParam<Case> {
protected:
    // The program through `link`, killed when it outlives its bound (137).
    struct Ran {
        int status;
        std::string out, err;
        long max_rss_kb;
    };
    static Ran run(const std::string& link, const std::string& name, peer::ScriptedPeer& p, double bound_s) {
        tessaro::ChildProcess run({ZUNA_BIN_DIR + link, "-c", p.address(), "-n", name});
        int status = run.wait(static_cast<int>(1000 * (kConnectS + kStretch * bound_s + kSlackS)));
        return {status, run.out(), run.err(), run.max_rss_kb()};
    }
};

TEST_P(HostileController, EndsWithItsFailureStatusInBoundedTimeAndMemory) {
    const Case& c = GetParam();
    peer::ScriptedPeer sound(answer);
    ASSERT_NE(sound.port(), 0);
    Ran base = run("zunaReadStr", "v", sound, kCallS);
    ASSERT_EQ(base.status, 0) << base.err;
    ASSERT_EQ(base.out, "hello\n");

    peer::ScriptedPeer hostile([&](Session& s, const Request& req) {
        req.op == c.op ? c.hostile(s, req) : answer(s, req);
    });
    ASSERT_NE(hostile.port(), 0);
    Ran r = run(c.link, c.link == std::string("zunaReadStr") ? "v" : "J", hostile, c.bound_s);
    EXPECT_EQ(r.status, c.status) << r.err;  // 137: it outlived its bound
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.err);
    EXPECT_LE(r.max_rss_kb, base.max_rss_kb + kMemoryLeadKb);
    EXPECT_GE(hostile.requests(c.op), 1u);  // the hostile answer was given
}

INSTANTIATE_TEST_SUITE_P(Reliability, HostileController, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& i) {
                             std::string n;
                             for (const char* p = i.param.what; *p; ++p)
                                 n += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return n;
                         });

}  // namespace
