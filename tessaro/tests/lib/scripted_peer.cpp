#include "scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "protocol/frame_io.h"

namespace peer {

Session::~Session() { ::close(fd_); }

void Session::reply(const Request& req, int32_t result, const std::function<void(wire::Writer&)>& fill) {
    wire::Writer w(wire::Kind::Reply, req.seq, static_cast<uint16_t>(req.op));
    w.i32(result);
    if (fill) fill(w);
    send_raw(w.frame());
}

void Session::send_raw(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> lk(mu_);
    if (!closed_) wire::write_frame(fd_, bytes, 2000);
}

void Session::event(uint32_t state, uint32_t reserved) {
    wire::Writer w(wire::Kind::Event, 0, static_cast<uint16_t>(Op::PlcChanged));
    w.u32(state).u32(reserved);
    send_raw(w.frame());
}

void Session::close() {
    std::lock_guard<std::mutex> lk(mu_);
    if (!closed_.exchange(true)) ::shutdown(fd_, SHUT_RDWR);
}

ScriptedPeer::ScriptedPeer(Script script, Hello hello, int family)
    : script_(std::move(script)), hello_(hello), family_(family) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage ss{};
    socklen_t len = 0;
    if (family == AF_INET6) {
        auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        len = sizeof *a;
    } else {
        auto* a = reinterpret_cast<sockaddr_in*>(&ss);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        len = sizeof *a;
    }
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&ss), &len) != 0) {
        ::close(fd);
        return;
    }
    port_ = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                                     : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
    listen_fd_ = fd;
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedPeer::~ScriptedPeer() {
    stop_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (auto& s : sessions_) s->close();
    }
    for (auto& t : threads_) t.join();
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

std::string ScriptedPeer::address() const {
    return (family_ == AF_INET6 ? std::string("[::1]:") : std::string("127.0.0.1:")) + std::to_string(port_);
}

size_t ScriptedPeer::accepted() const {
    std::lock_guard<std::mutex> lk(mu_);
    return sessions_.size();
}

Session* ScriptedPeer::session(size_t i, int timeout_ms) {
    std::unique_lock<std::mutex> lk(mu_);
    cv_.wait_for(lk, std::chrono::milliseconds(timeout_ms), [&] { return sessions_.size() > i; });
    return sessions_.size() > i ? sessions_[i].get() : nullptr;
}

std::vector<Op> ScriptedPeer::ops() const {
    std::lock_guard<std::mutex> lk(mu_);
    return ops_;
}

std::string ScriptedPeer::hello_magic() const {
    std::lock_guard<std::mutex> lk(mu_);
    return magic_;
}

uint32_t ScriptedPeer::hello_version() const {
    std::lock_guard<std::mutex> lk(mu_);
    return version_;
}

void ScriptedPeer::accept_loop() {
    while (!stop_) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) continue;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lk(mu_);
        sessions_.push_back(std::make_unique<Session>(fd));
        Session* s = sessions_.back().get();
        threads_.emplace_back([this, s] { serve(s); });
        cv_.notify_all();
    }
}

void ScriptedPeer::serve(Session* s) {
    std::vector<uint8_t> body;
    while (!s->closed()) {
        pollfd pfd{s->fd(), POLLIN, 0};
        if (::poll(&pfd, 1, 20) <= 0) continue;
        if (wire::read_frame(s->fd(), body, 2000) != wire::IoStatus::Ok) break;
        wire::Reader r(body);
        if (!r.ok()) break;
        Request req;
        req.seq = r.seq();
        req.op = static_cast<Op>(r.op());
        req.body = body;
        {
            std::lock_guard<std::mutex> lk(mu_);
            ops_.push_back(req.op);
        }
        if (req.op == Op::Hello) {
            std::string magic;
            uint32_t version = 0;
            r.str(magic) && r.u32(version);
            {
                std::lock_guard<std::mutex> lk(mu_);
                magic_ = magic;
                version_ = version;
            }
            switch (hello_) {
                case Hello::Accept:
                    s->reply(req, 0, [](wire::Writer& w) { w.u32(wire::kProtocolVersion).str("scripted"); });
                    break;
                case Hello::Refuse:
                    s->reply(req, -4);
                    s->close();
                    break;
                case Hello::WrongVersion:
                    s->reply(req, 0, [](wire::Writer& w) { w.u32(wire::kProtocolVersion + 1).str("future"); });
                    break;
                case Hello::Silent:
                    break;
            }
            continue;
        }
        if (script_)
            script_(*s, req);
        else
            s->reply(req, 0);
    }
}

uint16_t unused_port() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace peer
