// Calls of the stand-in library to a tessaro-sim process on loopback: what
// one library call costs a program end to end, against the floor of a bare
// TCP ping-pong between two threads measured in the same run; how many
// requests the simulator serves with several clients (through the library,
// and from bare protocol clients); and how a subnode listing grows with the
// number of children.
#include <benchmark/benchmark.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ControllerWrap.h"
#include "protocol/frame_io.h"
#include "protocol/messages.h"
#include "protocol/wire.h"
#include "sim_process.h"
#include "xal_tessaro.h"

namespace {

using tessaro::proto::Op;
namespace wire = tessaro::wire;

// A machine with folders of 10, 1,000 and 10,000 children, written once.
std::string listingScenario() {
    char path[] = "/tmp/roundtrip-bench-XXXXXX";
    int fd = mkstemp(path);
    if (fd == -1) return "";
    close(fd);
    std::ofstream f(path);
    f << "{\"nodes\":[";
    const int sizes[] = {10, 1000, 10000};
    for (int s = 0; s < 3; ++s) {
        f << (s ? "," : "") << "{\"name\":\"Kids" << sizes[s] << "\",\"type\":\"FOLDER\",\"children\":[";
        for (int i = 0; i < sizes[s]; ++i) f << (i ? "," : "") << "{\"name\":\"v" << i << "\",\"type\":\"VT_I32\"}";
        f << "]}";
    }
    f << "]}\n";
    return path;
}

HController connect(const tessaro::SimProcess& sim) {
    return sim.listening() ? DetectRemoteController(sim.address().c_str(), 1610) : -1;
}

// BENCH_SIM names another tessaro-sim to measure (an older build, say).
const tessaro::SimProcess& defaultSim() {
    static const char* other = std::getenv("BENCH_SIM");
    static tessaro::SimProcess sim(other && *other ? other : TESSARO_SIM);
    return sim;
}

// A connection to the default simulator, or to the one that
// TESSARO_SIM_ADDRESS names (scripts/bench.sh measures one that a browser
// watches that way).
HController connectDefault() {
    if (const char* address = std::getenv("TESSARO_SIM_ADDRESS")) return DetectRemoteController(address, 1610);
    return connect(defaultSim());
}

HController connection() {
    static HController hc = connectDefault();
    return hc;
}

void BM_OneRequest(benchmark::State& state) {
    HController hc = connection();
    HNodeObject h = hc == -1 ? -1 : GetNode(hc, "sys.BoardAddr");
    if (h == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(GetNodeValueStringLen(hc, h));
}
BENCHMARK(BM_OneRequest)->UseRealTime();

// The floor: 32 bytes to a thread that sends them back, over loopback TCP
// with Nagle's algorithm off, blocking reads and writes, nothing decoded.
// The same echo thread, answering frames, serves the library in
// BM_OneRequestBarePeer: the library's own share of a round trip.
bool exact(bool out, int fd, uint8_t* p, size_t n) {
    for (size_t done = 0; done < n;) {
        ssize_t k = out ? ::send(fd, p + done, n - done, MSG_NOSIGNAL) : ::recv(fd, p + done, n - done, 0);
        if (k <= 0) return false;
        done += static_cast<size_t>(k);
    }
    return true;
}

class Loopback {
public:
    // frames: answer each request frame with result 0 (Hello: as a
    // controller); otherwise send back every 32 bytes.
    explicit Loopback(bool frames) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        lfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(lfd_, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(lfd_, 1) != 0 ||
            ::getsockname(lfd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            return;
        port_ = ntohs(sa.sin_port);
        echo_ = std::thread([this, frames] {
            sfd_ = ::accept4(lfd_, nullptr, nullptr, SOCK_CLOEXEC);
            int one = 1;
            ::setsockopt(sfd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            frames ? answer() : echo();
        });
    }
    ~Loopback() {
        ::shutdown(lfd_, SHUT_RDWR);
        if (sfd_ >= 0) ::shutdown(sfd_, SHUT_RDWR);
        if (echo_.joinable()) echo_.join();
        for (int fd : {sfd_, lfd_}) ::close(fd);
    }
    uint16_t port() const { return port_; }

private:
    void echo() {
        uint8_t b[32];
        while (exact(false, sfd_, b, sizeof b) && exact(true, sfd_, b, sizeof b)) {
        }
    }
    void answer() {
        std::vector<uint8_t> body;
        uint8_t hdr[4];
        while (exact(false, sfd_, hdr, 4)) {
            body.resize(wire::get_be32(hdr));
            if (body.size() < 7 || !exact(false, sfd_, body.data(), body.size())) return;
            wire::Reader r(body);
            wire::Writer w(wire::Kind::Reply, r.seq(), r.op());
            w.i32(0);
            if (r.op() == static_cast<uint16_t>(Op::Hello)) w.u32(wire::kProtocolVersion).str("bare");
            std::vector<uint8_t> frame = w.frame();
            if (!exact(true, sfd_, frame.data(), frame.size())) return;
        }
    }
    int lfd_ = -1, sfd_ = -1;
    uint16_t port_ = 0;
    std::thread echo_;
};

void BM_PingPong(benchmark::State& state) {
    Loopback peer(false);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(peer.port());
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (peer.port() == 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        state.SkipWithError("no loopback socket");
        ::close(fd);
        return;
    }
    uint8_t buf[32] = {'p', 'i', 'n', 'g'};
    for (auto _ : state)
        if (!exact(true, fd, buf, sizeof buf) || !exact(false, fd, buf, sizeof buf)) state.SkipWithError("ping-pong broke");
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
}
BENCHMARK(BM_PingPong)->UseRealTime();

// Connections are never closed, so the peer serves its one connection for
// the rest of the run.
void BM_OneRequestBarePeer(benchmark::State& state) {
    static Loopback peer(true);
    static HController hc = DetectRemoteController(("127.0.0.1:" + std::to_string(peer.port())).c_str(), 1610);
    if (hc == -1) {
        state.SkipWithError("no bare peer");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(GetNodeValueStringLen(hc, 1));
}
BENCHMARK(BM_OneRequestBarePeer)->UseRealTime();

void BM_ReadStrRoundTrips(benchmark::State& state) {
    HController hc = connection();
    if (hc == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    char buf[64];
    for (auto _ : state) {
        // What readStr asks: lookup, refresh, length, copy.
        HNodeObject h = GetNode(hc, "sys.BoardAddr");
        ReadNode(hc, h);
        int len = GetNodeValueStringLen(hc, h);
        int rc = GetNodeValueString(hc, h, buf, len + 1);
        benchmark::DoNotOptimize(rc);
    }
    state.SetItemsProcessed(state.iterations() * 4);  // requests
}
BENCHMARK(BM_ReadStrRoundTrips)->UseRealTime();

void BM_NodeInfoRecord(benchmark::State& state) {
    HController hc = connection();
    if (hc == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    HNodeObject h = GetNode(hc, "demo.Speed");
    for (auto _ : state) {
        XAL_NODEINFO* info = GetNodeInfo(hc, h);
        DestroyNodeInfo(info);
    }
}
BENCHMARK(BM_NodeInfoRecord)->UseRealTime();

// Every client thread has its own connection, kept across runs (the library
// never closes one); items/s is the simulator's request rate over all of them.
void BM_Clients(benchmark::State& state) {
    static std::vector<HController> conns(32, -1);
    HController& hc = conns[static_cast<size_t>(state.thread_index())];
    if (hc == -1) hc = connectDefault();
    HNodeObject h = hc == -1 ? -1 : GetNode(hc, "demo.Speed");
    if (h == -1) {
        state.SkipWithError("no connection");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(GetNodeValueStringLen(hc, h));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Clients)->Threads(8)->Threads(32)->UseRealTime();

// The same load without the library: each thread a bare protocol client on
// its own socket, one request in flight, so the figure is the simulator's
// alone (and the library's share is the difference to BM_Clients).
class BareClient {
public:
    explicit BareClient(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        ok_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
              setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 &&
              call(Op::Hello, [](wire::Writer& w) { w.str(wire::kMagic).u32(wire::kProtocolVersion); }) == 0;
    }
    ~BareClient() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return ok_; }
    // The result of one request; INT32_MIN when it fails.
    template <class F>
    int32_t call(Op op, F fields) {
        wire::Writer w(wire::Kind::Request, ++seq_, static_cast<uint16_t>(op));
        fields(w);
        int32_t rc = INT32_MIN;
        if (wire::write_frame(fd_, w.frame(), 3000) != wire::IoStatus::Ok ||
            wire::read_frame(fd_, body_, 3000) != wire::IoStatus::Ok || !wire::Reader(body_).i32(rc))
            return INT32_MIN;
        return rc;
    }

private:
    int fd_ = -1;
    bool ok_ = false;
    uint32_t seq_ = 0;
    std::vector<uint8_t> body_;
};

void BM_BareClients(benchmark::State& state) {
    static std::vector<std::unique_ptr<BareClient>> clients(32);
    auto& c = clients[static_cast<size_t>(state.thread_index())];
    if (!c && defaultSim().listening()) c = std::make_unique<BareClient>(defaultSim().port());
    int32_t node = c && c->ok() ? c->call(Op::GetNode, [](wire::Writer& w) { w.str("demo.Speed"); }) : -1;
    if (node <= 0) {
        state.SkipWithError("no connection");
        return;
    }
    auto ask = [node](wire::Writer& w) { w.i32(node); };
    for (auto _ : state) benchmark::DoNotOptimize(c->call(Op::GetNodeValueStringLen, ask));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareClients)->Threads(8)->Threads(32)->UseRealTime();

// varSubnodes prints one line per child; its output goes to /dev/null.
void BM_Subnodes(benchmark::State& state) {
    static const std::string scenario = listingScenario();
    static tessaro::SimProcess sim(TESSARO_SIM, {"--scenario", scenario});
    static HController hc = connect(sim);
    if (hc == -1) {
        state.SkipWithError("no simulator");
        return;
    }
    const std::string node = "Kids" + std::to_string(state.range(0));
    // The listing's lines go to /dev/null, the benchmark's report still to
    // the real standard output.
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    int null = open("/dev/null", O_WRONLY);
    if (saved == -1 || null == -1 || dup2(null, STDOUT_FILENO) == -1) {
        state.SkipWithError("cannot redirect standard output");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(varSubnodes(hc, node.c_str()));
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(null);
    state.SetItemsProcessed(state.iterations() * state.range(0));  // children
}
BENCHMARK(BM_Subnodes)->Arg(10)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
