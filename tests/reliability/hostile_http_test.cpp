// The simulator's control API (--http) against clients that never finish a
// request, never read an answer, hold connections open, or come from another
// site: each is refused or dropped within bounds of memory and time, and the
// API stays free for everyone else.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "scripted_peer.h"
#include "sim_process.h"
#include "support.h"

namespace {

using Clock = std::chrono::steady_clock;

// A raw HTTP client: the test says every byte; every wait is bounded.
class HttpClient {
public:
    ~HttpClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    // `rcvbuf` > 0: a small receive buffer, for a client that never reads.
    bool connect(int port, int rcvbuf = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (rcvbuf > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    // Sends all of `bytes` unless the server stops taking them for
    // `timeout_ms` or closes; what it answers meanwhile is kept.
    bool send(const std::string& bytes, int timeout_ms = 2000) {
        for (size_t at = 0; at < bytes.size();) {
            pollfd p{fd_, POLLOUT | POLLIN, 0};
            if (::poll(&p, 1, timeout_ms) <= 0) return false;
            if (p.revents & POLLIN) take();
            if ((p.revents & (POLLERR | POLLHUP)) && !(p.revents & POLLOUT)) return false;
            if (!(p.revents & POLLOUT)) continue;
            ssize_t n = ::send(fd_, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n <= 0 && errno != EAGAIN) return false;
            if (n > 0) at += static_cast<size_t>(n);
        }
        return true;
    }
    // Reads what comes within `timeout_ms` until `part` is among it, or,
    // without a part, until the server closes; true once it has happened.
    bool read_until(const std::string& part, int timeout_ms = 5000) {
        auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        auto done = [&] { return part.empty() ? closed_ : in_.find(part) != std::string::npos; };
        for (pollfd p{fd_, POLLIN, 0}; !done() && !closed_ && Clock::now() < deadline;)
            if (::poll(&p, 1, 50) > 0) take();
        return done();
    }
    bool read_to_end(int timeout_ms = 5000) { return read_until("", timeout_ms); }
    // The answer's status; 0 before one has come.
    int status() const {
        return in_.compare(0, 9, "HTTP/1.1 ") == 0 && in_.size() >= 12 ? std::stoi(in_.substr(9, 3)) : 0;
    }
    // A header of the answer ("" when absent).
    std::string header(const std::string& name) const {
        size_t at = in_.find("\r\n" + name + ": ");
        if (at == std::string::npos || at > in_.find("\r\n\r\n")) return "";
        at += name.size() + 4;
        return in_.substr(at, in_.find("\r\n", at) - at);
    }
    const std::string& received() const { return in_; }

private:
    void take() {
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) in_.append(buf, static_cast<size_t>(n));
        closed_ = closed_ || n == 0 || (n < 0 && errno != EAGAIN);
    }
    int fd_ = -1;
    bool closed_ = false;
    std::string in_;
};

// How often `part` occurs in `text`.
size_t count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class HostileHttp : public ::testing::Test {
protected:
    void SetUp() override {
        rlimit rl{};  // room for the test's own many connections
        ::getrlimit(RLIMIT_NOFILE, &rl);
        rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, 4096);
        ::setrlimit(RLIMIT_NOFILE, &rl);
        // Under the address sanitizer freed memory is held back (256 MiB by
        // default) and would count as memory the simulator keeps.
        std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
        if (asan.find("quarantine_size_mb") == std::string::npos)
            setenv("ASAN_OPTIONS", (asan + (asan.empty() ? "" : ":") + "quarantine_size_mb=16").c_str(), 1);
        sim_ = std::make_unique<tessaro::SimProcess>(TESSARO_SIM, args_);
        ASSERT_TRUE(sim_->listening()) << sim_->log();
        port_ = sim_->http_port();
        host_ = "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
    }
    std::unique_ptr<HttpClient> client(int rcvbuf = 0) {
        auto c = std::make_unique<HttpClient>();
        EXPECT_TRUE(c->connect(port_, rcvbuf));
        return c;
    }
    // Sends a whole request and returns the client with the whole answer.
    std::unique_ptr<HttpClient> ask(const std::string& request) {
        auto c = client();
        c->send(request);
        c->read_to_end();
        return c;
    }
    std::string get(const std::string& path, const std::string& extra = "") {
        return "GET " + path + " HTTP/1.1\r\n" + host_ + extra + "\r\n";
    }
    std::string put(const std::string& path, const std::string& body, const std::string& extra = "") {
        return "PUT " + path + " HTTP/1.1\r\n" + host_ + "Content-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
    }
    long hwm_kb() {  // the simulator's peak memory
        std::ifstream in("/proc/" + std::to_string(sim_->pid()) + "/status");
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
        return -1;
    }

    std::vector<std::string> args_{"--http", "127.0.0.1:0"};
    std::unique_ptr<tessaro::SimProcess> sim_;
    int port_ = 0;
    std::string host_;
};

TEST_F(HostileHttp, RequestsAreRefusedAtTheirBoundWhateverTheirFraming) {
    const std::string put_head = "PUT /api/nodes/demo.Speed HTTP/1.1\r\n" + host_ + "Content-Type: application/json\r\n";
    const std::string chunk = "10000\r\n" + std::string(0x10000, 'a') + "\r\n";
    const std::tuple<const char*, std::string, std::string, int> cases[] = {
        // what, the request's start, what is then sent again and again, the status wanted
        {"an endless chunked body", put_head + "Transfer-Encoding: chunked\r\n\r\n", chunk, 413},
        {"an endless header field", "GET /api/machine HTTP/1.1\r\n" + host_ + "X-Long: ", std::string(4096, 'b'), 431},
        {"endless small header fields", "GET /api/machine HTTP/1.1\r\n" + host_, "a: b\r\n", 431},
        {"a body with neither length nor chunks", put_head + "\r\n", std::string(0x10000, 'c'), 400},
    };
    constexpr size_t kGiveUp = 64u << 20;  // far more than any bound; an unbounded server takes it all
    long base = hwm_kb();
    for (const auto& [what, start, again, status] : cases) {
        auto c = client();
        ASSERT_TRUE(c->send(start)) << what;
        size_t sent = start.size();
        while (sent < kGiveUp && c->status() == 0 && c->send(again)) sent += again.size();
        EXPECT_TRUE(c->read_until("\r\n\r\n")) << what;
        EXPECT_EQ(c->status(), status) << what << ": " << c->received().substr(0, 300);
        EXPECT_LT(sent, 16u << 20) << what << ": the server kept reading";
        EXPECT_TRUE(c->read_to_end()) << what << ": the connection stays open";
    }
    // A body over the bound in one piece, and the reason in the answer.
    auto c = ask(put_head + "Transfer-Encoding: chunked\r\n\r\n300000\r\n" + std::string(0x300000, 'd') + "\r\n0\r\n\r\n");
    EXPECT_EQ(c->status(), 413);
    EXPECT_NE(c->received().find("{\"error\":\"the body is larger than 1 MiB\"}"), std::string::npos);
    EXPECT_LT(hwm_kb() - base, 24 * 1024) << "peak memory grew by " << hwm_kb() - base << " KiB";
}

TEST_F(HostileHttp, SlowAndIdleClientsNeitherHoldTheApiNorStayForever) {
    constexpr int kTrickling = 64, kIdle = 500;
    std::vector<std::unique_ptr<HttpClient>> trickling, idle;
    for (int i = 0; i < kTrickling; ++i) {
        trickling.push_back(client());
        trickling.back()->send("GET /api/machine HTTP/1.1\r\nX-Slow: ");
    }
    for (int i = 0; i < kIdle; ++i) idle.push_back(client());
    auto trickle = [&] { for (auto& t : trickling) t->send("x", 100); };
    trickle();
    // Another client is answered while all of them are still there.
    auto c = client();
    ASSERT_TRUE(c->send(get("/api/nodes/demo.Speed")));
    EXPECT_TRUE(c->read_until("\"value\":\"1200\"", 3000)) << c->received().substr(0, 200);
    EXPECT_EQ(c->status(), 200);
    // A header that trickles in is cut off at its deadline, though bytes
    // keep coming; an idle connection is closed without a word.
    auto start = Clock::now();
    while (trickling.front()->status() == 0 && Clock::now() - start < std::chrono::seconds(10)) {
        trickle();
        trickling.front()->read_until("\r\n\r\n", 200);
    }
    EXPECT_EQ(trickling.front()->status(), 408) << trickling.front()->received();
    EXPECT_NE(trickling.front()->received().find("the request's header did not arrive within 5 s"), std::string::npos);
    EXPECT_TRUE(trickling.back()->read_to_end(3000));
    EXPECT_TRUE(idle.front()->read_to_end(3000));
    EXPECT_TRUE(idle.front()->received().empty());
}

TEST_F(HostileHttp, StopsAtOnceWhateverItsClientsDo) {
    std::vector<std::unique_ptr<HttpClient>> trickling, others;
    for (int i = 0; i < 32; ++i) {  // headers trickling in, on and on
        trickling.push_back(client());
        trickling.back()->send("GET /api/machine HTTP/1.1\r\nX-Slow: x");
    }
    others.push_back(client(4096));  // an event stream never read
    others.back()->send(get("/api/events?after=0&machine=1"));
    others.push_back(client());  // half a body
    others.back()->send(put("/api/nodes/demo.Speed", "{\"value\":\"12\"}").substr(0, 120));
    std::atomic<bool> done{false};
    std::thread trickle([&] {
        while (!done) {
            for (auto& t : trickling) t->send("x", 100);
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The bound: a second, with room for a sanitizer's slower start of the stop.
    EXPECT_EQ(sim_->stop(2000), 0) << sim_->log();
    done = true;
    trickle.join();
}

TEST_F(HostileHttp, TraceReadersThatStopHoldBoundedMemoryAndAreDropped) {
    // The kept trace filled with refused writes of control characters, each
    // line escaped to six times its size when it is read as JSON.
    tessaro::sim::test::RawClient lib;
    ASSERT_TRUE(lib.connect(sim_->port()) && lib.hello());
    int32_t handle = lib.get_node("demo.Speed");
    ASSERT_GT(handle, 0);
    const std::string value(256u << 10, '\x01');
    for (int i = 0; i < 70; ++i)
        ASSERT_EQ(lib.result(lib.request(tessaro::proto::Op::SetNodeValueString).i32(handle).str(value)), E_INVALID);
    long base = hwm_kb();
    std::vector<std::unique_ptr<HttpClient>> readers;
    for (int i = 0; i < 12; ++i) {  // 4 of the trace, 8 of events
        readers.push_back(client(4096));
        readers.back()->send(get(i < 4 ? "/api/trace?after=0" : "/api/events?after=0&machine=1"));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    // Whole, one trace read is about 110 MB of text.
    EXPECT_LT(hwm_kb() - base, 160 * 1024) << "peak memory grew by " << hwm_kb() - base << " KiB";
    EXPECT_TRUE(peer::eventually([&] { return count(sim_->log(), "dropped: it has read nothing") == readers.size(); }, 20000))
        << sim_->log();
    // A reader that reads gets the trace whole: every line, in order.
    auto c = client();
    c->send(get("/api/trace?after=0"));
    EXPECT_TRUE(c->read_to_end(30000));
    EXPECT_EQ(c->status(), 200);
    EXPECT_EQ(c->header("Transfer-Encoding"), "chunked");
    EXPECT_GE(count(c->received(), "{\"seq\":"), 71u);  // a handshake, a lookup and 70 writes
    EXPECT_NE(c->received().find("\\u0001\\u0001"), std::string::npos);
    EXPECT_NE(c->received().find("]\n\r\n0\r\n\r\n"), std::string::npos);
}

TEST_F(HostileHttp, NothingAnotherSiteCanUse) {
    const std::string stream = "/api/events";
    // Requests a browser marks as coming from elsewhere, on every path.
    for (const std::string site : {"cross-site", "same-site"}) {
        const std::string mark = "Sec-Fetch-Site: " + site + "\r\n";
        for (const std::string& request :
             {get(stream, mark), get("/", mark), put("/api/nodes/demo.Speed", "{\"value\":\"7\"}", mark + "Origin: http://localhost:1\r\n")})
            EXPECT_EQ(ask(request)->status(), 403) << site << ": " << request.substr(0, 40);
    }

    // The eight stream places come back as soon as their clients leave.
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<HttpClient>> streams;
        for (int i = 0; i < 8; ++i) {
            streams.push_back(client());
            streams.back()->send(get(stream));
            EXPECT_TRUE(streams.back()->read_until("\r\n\r\n"));
            EXPECT_EQ(streams.back()->status(), 200) << "round " << round << ", stream " << i;
        }
        EXPECT_EQ(ask(get(stream))->status(), 503);
        streams.clear();
        EXPECT_TRUE(peer::eventually([&] {
            auto c = client();
            return c->send(get(stream)) && c->read_until("\r\n\r\n", 1000) && c->status() == 200;
        }, 1000));
    }

    // Every answer forbids framing and sniffing, and any script but the page's own.
    const std::pair<const char*, const char*> fixed[] = {{"X-Frame-Options", "DENY"}, {"X-Content-Type-Options", "nosniff"},
        {"Cross-Origin-Resource-Policy", "same-origin"}, {"Referrer-Policy", "no-referrer"}, {"Cache-Control", "no-store"}};
    for (const std::string& request :
         {get("/"), get("/app.js"), get("/api/machine"), get("/no/such"), get("/api/trace?after=x"),
          "PUT /api/plc HTTP/1.1\r\n" + host_ + "Content-Type: application/json\r\nContent-Length: 2000000\r\n\r\n",
          get("/", "X: " + std::string(20000, 'x') + "\r\n")}) {
        auto c = ask(request);
        EXPECT_NE(c->status(), 0) << request.substr(0, 40);
        for (const auto& [name, value] : fixed) EXPECT_EQ(c->header(name), value) << name << ": " << request.substr(0, 40);
        for (const char* part : {"frame-ancestors 'none'", "script-src 'self'", "default-src 'none'"})
            EXPECT_NE(c->header("Content-Security-Policy").find(part), std::string::npos) << part << ": " << request.substr(0, 40);
    }
}

TEST_F(HostileHttp, MalformedOrUnsafeRequestsAreRefusedWithTheirReason) {
    const std::tuple<std::string, int, std::string> cases[] = {
        {"GET * HTTP/1.1\r\n" + host_ + "\r\n", 400, "malformed HTTP request (its target is no path)"},
        {"GET /api/nodes/demo%2 HTTP/1.1\r\n" + host_ + "\r\n", 400, "its target is no path"},
        {"GET /api/nodes/demo%00 HTTP/1.1\r\n" + host_ + "\r\n", 400, "its target is no path"},
        {"GET /api/machine HTTP/1.1\r\n" + host_ + "X-A: one\r\n\ttwo\r\n\r\n", 400, "a header line is folded"},
        {"GET /api/machine HTTP/1.1\r\n" + host_ + std::string(101 * 6, 'x') + "\r\n\r\n", 400, "malformed HTTP"},
        {"BREW /api/machine HTTP/1.1\r\n" + host_ + "\r\n", 404, "no such resource or operation"},
        // What a plain form can send (from any page) is no change.
        {"POST /api/faults HTTP/1.1\r\n" + host_ + "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}", 415, "application/json"},
        {"PUT /api/plc HTTP/1.1\r\n" + host_ + "Content-Type: text/plain\r\nContent-Length: 2\r\n\r\n{}", 415, "application/json"},
        // A change must name its host; a plain read need not, and finds the value unchanged.
        {"PUT /api/nodes/demo.Speed HTTP/1.0\r\nContent-Type: application/json\r\nContent-Length: 13\r\n\r\n{\"value\":\"7\"}", 403,
         "a change must carry a Host header"},
        {"GET /api/nodes/demo.Speed HTTP/1.0\r\n\r\n", 200, "\"value\":\"1200\""},
        // Escapes in a path are decoded: the node's name as it is.
        {get("/api/nodes/demo%2ESpeed"), 200, "\"name\":\"demo.Speed\""},
        {get("/api/nodes/sys.%42oardAddr"), 200, "\"name\":\"sys.BoardAddr\""},
        {get("/api/nodes/demo%09x"), 404, "no node named \\\"demo\\tx\\\""},
    };
    for (const auto& [request, status, part] : cases) {
        auto c = ask(request);
        EXPECT_EQ(c->status(), status) << request.substr(0, 60);
        EXPECT_NE(c->received().find(part), std::string::npos) << request.substr(0, 60) << c->received();
    }
}

struct HostileHttpEveryAddress : HostileHttp {
    HostileHttpEveryAddress() { args_ = {"--http", "0.0.0.0:0"}; }
};

TEST_F(HostileHttpEveryAddress, WarnsAndNamesAnAddressABrowserOpens) {
    std::string port = std::to_string(port_);
    EXPECT_NE(sim_->log().find("control page and API on http://127.0.0.1:" + port + "/\n"), std::string::npos)
        << sim_->log();
    EXPECT_NE(sim_->log().find("warning: the control API on 0.0.0.0:" + port +
                               " can be reached from other machines: anyone who reaches it can change the machine"),
              std::string::npos)
        << sim_->log();
    EXPECT_EQ(ask(get("/api/machine"))->status(), 200);
}

}  // namespace
