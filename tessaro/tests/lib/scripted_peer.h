// A scripted stand-in for the controller, for tests of libtessaro.so: a TCP
// server on the loopback interface, built on the protocol codec, that answers
// the Hello as told and hands every other request to a script. The script may
// answer, stay silent, send arbitrary bytes, close the connection or push
// events; tests may push events or close from their own thread too. Also the
// few helpers, and the standard headers, that the tests share.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "protocol/frame_io.h"
#include "protocol/messages.h"
#include "protocol/wire.h"
#include "xal_tessaro.h"

namespace peer {

using tessaro::proto::Op;
namespace wire = tessaro::wire;

struct Request {
    uint32_t seq = 0;
    Op op = Op::Hello;
    std::vector<uint8_t> body;
};

// One accepted connection.
class Session {
public:
    explicit Session(int fd) : fd(fd) {}
    ~Session() {
        close();
        if (flooder_.joinable()) flooder_.join();
        ::close(fd);
    }

    // A reply with `result` first; `fill` appends the further fields.
    void reply(const Request& req, int32_t result, const std::function<void(wire::Writer&)>& fill = {}) {
        wire::Writer w(wire::Kind::Reply, req.seq, static_cast<uint16_t>(req.op));
        w.i32(result);
        if (fill) fill(w);
        send_raw(w.frame());
    }
    // False once the bytes can no longer be sent.
    bool send_raw(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lk(mu_);
        return !closed_ && wire::write_frame(fd, bytes, 2000) == wire::IoStatus::Ok;
    }
    // False once the connection has ended.
    bool event(uint32_t state, uint32_t reserved = 0) {
        return send_raw(wire::Writer(wire::Kind::Event, 0, uint16_t(Op::PlcChanged)).u32(state).u32(reserved).frame());
    }
    // Pushes `state` events, 64 a millisecond, on a thread of its own, until
    // the connection ends. The pauses leave the script's replies a chance at
    // the socket.
    void flood(uint32_t state) {
        flooder_ = std::thread([this, state] {
            for (int i = 1; event(state); ++i)
                if (i % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }
    // Shuts the connection down; the library sees it closed.
    void close() {
        std::lock_guard<std::mutex> lk(mu_);
        closed_ = true;
        ::shutdown(fd, SHUT_RDWR);
    }

    const int fd;

private:
    std::mutex mu_;
    bool closed_ = false;
    std::thread flooder_;
};

// The answer to a Hello: accepted, refused, of another protocol version, none.
enum class Hello { Accept, Refuse, WrongVersion, Silent };

class ScriptedPeer {
public:
    // Answers every request but Hello; without one, each request gets result 0.
    using Script = std::function<void(Session&, const Request&)>;

    // Listens on a free port of 127.0.0.1.
    explicit ScriptedPeer(Script script = {}, Hello hello = Hello::Accept)
        : script_(std::move(script)), hello_(hello) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&sa), len) != 0 || ::listen(listen_fd_, 16) != 0 ||
            ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
            return;
        port_ = ntohs(sa.sin_port);
        acceptor_ = std::thread([this] { accept_loop(); });
    }
    // Shutting the sockets down wakes the threads blocked on them.
    ~ScriptedPeer() {
        ::shutdown(listen_fd_, SHUT_RDWR);
        if (acceptor_.joinable()) acceptor_.join();
        for (auto& s : sessions_) s->close();
        for (auto& t : threads_) t.join();
        ::close(listen_fd_);
    }

    // 0 when the peer could not listen.
    uint16_t port() const { return port_; }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    // A new library connection to this peer.
    HController connect() const { return DetectRemoteController(address().c_str(), 1610); }

    // The first connection accepted; a connection is, before its Hello is answered.
    Session* session() {
        std::lock_guard<std::mutex> lk(mu_);
        return sessions_.empty() ? nullptr : sessions_[0].get();
    }
    // Requests received so far, Hello included: all of them, or those of `op`.
    size_t requests(std::optional<Op> op = {}) const {
        std::lock_guard<std::mutex> lk(mu_);
        return op ? static_cast<size_t>(std::count(ops_.begin(), ops_.end(), *op)) : ops_.size();
    }

private:
    void accept_loop() {
        for (;;) {
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
            if (fd < 0) return;  // shut down
            std::lock_guard<std::mutex> lk(mu_);
            sessions_.push_back(std::make_unique<Session>(fd));
            threads_.emplace_back([this, s = sessions_.back().get()] { serve(*s); });
        }
    }

    // The library's Hello itself is checked by the simulator, end to end.
    void serve(Session& s) {
        std::vector<uint8_t> body;
        while (wire::read_frame(s.fd, body, -1) == wire::IoStatus::Ok) {
            wire::Reader r(body);
            if (!r.ok()) break;
            Request req{r.seq(), static_cast<Op>(r.op()), body};
            std::unique_lock<std::mutex> lk(mu_);
            ops_.push_back(req.op);
            lk.unlock();
            if (req.op != Op::Hello)
                script_ ? script_(s, req) : s.reply(req, 0);
            else if (hello_ != Hello::Silent)
                s.reply(req, hello_ == Hello::Refuse ? E_INVALID : 0, [&](wire::Writer& w) {
                    w.u32(wire::kProtocolVersion + (hello_ == Hello::WrongVersion)).str("scripted");
                });
        }
    }

    Script script_;
    Hello hello_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    mutable std::mutex mu_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::vector<std::thread> threads_;
    std::vector<Op> ops_;
    std::thread acceptor_;
};

// The last i32 field of a request (0 without one): the buffer size of a copy,
// or the argument of a one-argument operation.
inline int32_t last_i32(const Request& r) {
    wire::Reader f(r.body);
    int32_t v = 0, last = 0;
    while (f.i32(v)) last = v;
    return last;
}

// Polls `done` every 5 ms for up to `timeout_ms`; true once it holds.
template <typename Pred>
bool eventually(Pred done, int timeout_ms = 3000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (std::chrono::steady_clock::now() > deadline) return false;
    return true;
}

}  // namespace peer
