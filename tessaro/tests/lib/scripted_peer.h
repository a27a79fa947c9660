// A scripted stand-in for the controller, for tests of libtessaro.so: a TCP
// server on the loopback interface, built on the protocol codec, that checks
// the Hello exchange, answers it as told and hands every other request to a
// script. The script may answer, stay silent, send arbitrary bytes, close the
// connection or push events; tests may push events or close from their own
// thread too. Also the few helpers, and the standard headers, that the tests
// share.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
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
    wire::Reader fields() const { return wire::Reader(body); }  // positioned at the first field
};

// One accepted connection.
class Session {
public:
    explicit Session(int fd) : fd_(fd) {}
    ~Session() {
        close();
        if (flooder_.joinable()) flooder_.join();
        ::close(fd_);
    }

    // A reply with `result` first; `fill` appends the further fields.
    void reply(const Request& req, int32_t result, const std::function<void(wire::Writer&)>& fill = {}) {
        wire::Writer w(wire::Kind::Reply, req.seq, static_cast<uint16_t>(req.op));
        w.i32(result);
        if (fill) fill(w);
        send_raw(w.frame());
    }
    void send_raw(const std::vector<uint8_t>& bytes) { sent(bytes); }
    void event(uint32_t state, uint32_t reserved = 0) {
        wire::Writer w(wire::Kind::Event, 0, static_cast<uint16_t>(Op::PlcChanged));
        send_raw(w.u32(state).u32(reserved).frame());
    }
    // Pushes `state` events, 64 a millisecond, on a thread of its own, until
    // the connection ends. The pauses between batches leave the script's
    // replies a chance at the socket.
    void flood(uint32_t state) {
        flooder_ = std::thread([this, state] {
            wire::Writer ev(wire::Kind::Event, 0, static_cast<uint16_t>(Op::PlcChanged));
            const std::vector<uint8_t> one = ev.u32(state).u32(0).frame();
            std::vector<uint8_t> batch;
            for (int i = 0; i < 64; ++i) batch.insert(batch.end(), one.begin(), one.end());
            while (sent(batch)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
    }
    // Shuts the connection down; the library sees it closed.
    void close() {
        std::lock_guard<std::mutex> lk(mu_);
        closed_ = true;
        ::shutdown(fd_, SHUT_RDWR);
    }
    int fd() const { return fd_; }

private:
    // False once the bytes can no longer be sent.
    bool sent(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::mutex> lk(mu_);
        return !closed_ && wire::write_frame(fd_, bytes, 2000) == wire::IoStatus::Ok;
    }

    std::mutex mu_;
    int fd_;
    bool closed_ = false;
    std::thread flooder_;
};

// The answer to a Hello with the right magic and version; any other Hello is
// refused.
enum class Hello { Accept, Refuse, WrongVersion, Silent };

class ScriptedPeer {
public:
    // Answers every request but Hello; without one, each request gets result 0.
    using Script = std::function<void(Session&, const Request&)>;

    explicit ScriptedPeer(Script script = {}, Hello hello = Hello::Accept, int family = AF_INET)
        : script_(std::move(script)), hello_(hello), v6_(family == AF_INET6) {
        sockaddr_in a4{};
        sockaddr_in6 a6{};
        a4.sin_family = AF_INET;
        a4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a6.sin6_family = AF_INET6;
        a6.sin6_addr = in6addr_loopback;
        sockaddr* sa = v6_ ? reinterpret_cast<sockaddr*>(&a6) : reinterpret_cast<sockaddr*>(&a4);
        socklen_t len = v6_ ? sizeof a6 : sizeof a4;
        listen_fd_ = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (listen_fd_ < 0 || ::bind(listen_fd_, sa, len) != 0 || ::listen(listen_fd_, 16) != 0 ||
            ::getsockname(listen_fd_, sa, &len) != 0)
            return;
        port_ = ntohs(v6_ ? a6.sin6_port : a4.sin_port);
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
    std::string address() const { return (v6_ ? "[::1]:" : "127.0.0.1:") + std::to_string(port_); }
    // A new library connection to this peer.
    HController connect() const { return DetectRemoteController(address().c_str(), 1610); }

    // The first connection accepted, waited for (boundedly).
    Session* session() {
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait_for(lk, std::chrono::seconds(3), [&] { return !sessions_.empty(); });
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
            cv_.notify_all();
        }
    }

    void serve(Session& s) {
        std::vector<uint8_t> body;
        while (wire::read_frame(s.fd(), body, -1) == wire::IoStatus::Ok) {
            wire::Reader r(body);
            if (!r.ok()) break;
            Request req{r.seq(), static_cast<Op>(r.op()), body};
            {
                std::lock_guard<std::mutex> lk(mu_);
                ops_.push_back(req.op);
            }
            if (req.op == Op::Hello)
                hello(s, req, r);
            else if (script_)
                script_(s, req);
            else
                s.reply(req, 0);
        }
    }

    void hello(Session& s, const Request& req, wire::Reader& r) {
        std::string magic;
        uint32_t version = 0;
        bool right = r.str(magic) && r.u32(version) && r.at_end() && magic == wire::kMagic &&
                     version == wire::kProtocolVersion;
        if (!right || hello_ == Hello::Refuse) {
            s.reply(req, E_INVALID);
            return s.close();
        }
        if (hello_ == Hello::Silent) return;
        const uint32_t answer = wire::kProtocolVersion + (hello_ == Hello::WrongVersion ? 1 : 0);
        s.reply(req, 0, [&](wire::Writer& w) { w.u32(answer).str("scripted"); });
    }

    Script script_;
    Hello hello_;
    bool v6_;
    int listen_fd_;
    uint16_t port_ = 0;
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::vector<std::thread> threads_;
    std::vector<Op> ops_;
    std::thread acceptor_;
};

// The last i32 field of a request (0 without one): the buffer size of a copy,
// or the argument of a one-argument operation.
inline int32_t last_i32(const Request& r) {
    wire::Reader f = r.fields();
    int32_t v = 0, last = 0;
    while (f.i32(v)) last = v;
    return last;
}

// Sets an environment variable for the lifetime of the object.
struct ScopedEnv {
    const char* name;
    std::optional<std::string> old;
    ScopedEnv(const char* n, const std::string& value) : name(n) {
        if (const char* o = std::getenv(n)) old = o;
        ::setenv(n, value.c_str(), 1);
    }
    ~ScopedEnv() { old ? ::setenv(name, old->c_str(), 1) : ::unsetenv(name); }
};

struct Stopwatch {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    long ms() const {
        auto d = std::chrono::steady_clock::now() - start;
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    }
};

// Polls `done` every 5 ms for up to `timeout_ms`; true once it holds.
template <typename Pred>
bool eventually(Pred done, int timeout_ms = 3000) {
    for (Stopwatch sw; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5)))
        if (sw.ms() > timeout_ms) return false;
    return true;
}

}  // namespace peer
