#include "connection.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "protocol/frame_io.h"
#include "protocol/reply.h"
#include "trace.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {
constexpr size_t kMinBody = 7;          // kind, sequence number and operation
constexpr size_t kReadChunk = 64 << 10;  // per read from the socket
}  // namespace

Connection::Connection(ConnectionHost& host, RequestPath& path, int epfd, int fd, uint64_t id, std::string peer,
                       const ServerOptions& opt, LogFn log)
    : host_(host),
      path_(path),
      epfd_(epfd),
      fd_(fd),
      id_(id),
      peer_(std::move(peer)),
      opt_(opt),
      log_(std::move(log)),
      caller_{peer_, session_, this, false},
      handshake_deadline_(Clock::now() + std::chrono::milliseconds(opt.handshake_timeout_ms)) {}

Connection::~Connection() {
    if (!closed_) ::close(fd_);
}

void Connection::start() {
    log_("connection from " + peer_ + " opened");
    std::lock_guard<std::mutex> lk(out_mu_);
    reading_ = true;
    update_interest();
}

void Connection::set_reason(const std::string& why) {
    if (reason_.empty()) reason_ = why;
}

void Connection::update_interest() {
    uint32_t want = (reading_ ? EPOLLIN : 0u) | (out_off_ < out_.size() ? EPOLLOUT : 0u);
    if (dead_ || want == interest_) return;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = id_;
    if (::epoll_ctl(epfd_, EPOLL_CTL_MOD, fd_, &ev) == 0 || errno == ENOENT) interest_ = want;
}

// ---- input -----------------------------------------------------------------

void Connection::on_event(uint32_t events) {
    if (closed_) return;
    if (events & EPOLLOUT) flush_output();
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) read_input(events);
    bool dead;
    {
        std::lock_guard<std::mutex> lk(out_mu_);
        dead = dead_;
    }
    if (dead && !closed_) close("");
}

void Connection::read_input(uint32_t events) {
    if (phase_ != Phase::Reading) {
        // Input waits; only a broken socket is noticed now.
        if (events & (EPOLLHUP | EPOLLERR)) close("connection error");
        return;
    }
    static thread_local uint8_t chunk[kReadChunk];  // the loop thread's
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n > 0) in_.insert(in_.end(), chunk, chunk + n);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
        close(host_.stopping() ? "simulator stopping" : "connection error");
        return;
    }
    if (n == 0) {
        if (in_.size() > in_off_) {
            close("connection error");  // the connection broke inside a frame
            return;
        }
        std::lock_guard<std::mutex> lk(out_mu_);
        if (out_off_ == out_.size()) dead_ = true;  // nothing left to send: closed below
        phase_ = Phase::Draining;                 // else once the replies are out
        reading_ = false;
        update_interest();
        return;
    }
    serve_input();
}

void Connection::serve_input() {
    while (phase_ == Phase::Reading && !closed_) {
        size_t avail = in_.size() - in_off_;
        if (avail < wire::kFrameHeader) break;
        uint32_t len = wire::get_be32(in_.data() + in_off_);
        if (len == 0 || len > wire::kMaxFrame) {
            close("bad frame header");
            return;
        }
        if (len < kMinBody) {
            close("malformed frame");
            return;
        }
        if (avail - wire::kFrameHeader < len) break;
        size_t at = in_off_ + wire::kFrameHeader;
        in_off_ = at + len;
        serve(in_.data() + at, len);
    }
    if (in_off_ == in_.size()) {
        in_.clear();
        in_off_ = 0;
    } else if (in_off_ > (1u << 20) || phase_ == Phase::Reading) {
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(in_off_));
        in_off_ = 0;
    }
    if (in_.empty() || phase_ != Phase::Reading) frame_since_.reset();
    else if (!frame_since_) frame_since_ = Clock::now();
}

void Connection::serve(const uint8_t* body, size_t len) {
    pending_.request.read(body, len);
    pending_.restart();
    proceed();
}

// Runs the request's stages until it is answered or must wait; input waits
// with it.
void Connection::proceed() {
    switch (path_.run(pending_, caller_)) {
        case Wait::Done: deliver(); return;
        case Wait::Delay:
            hold(Phase::Delayed);
            host_.arm(shared_from_this(), Clock::now() + std::chrono::milliseconds(pending_.delay_ms));
            return;
        case Wait::Save:
            hold(Phase::Saving);
            host_.defer_save(shared_from_this());
            return;
    }
}

void Connection::delay_over() {
    if (closed_ || phase_ != Phase::Delayed) return;
    phase_ = Phase::Reading;
    proceed();
    resume();
}

void Connection::save_over(int saved) {
    if (closed_ || phase_ != Phase::Saving) return;
    pending_.saved = saved;
    phase_ = Phase::Reading;
    proceed();
    resume();
}

// Takes no input until the request in `pending_` is answered.
void Connection::hold(Phase why) {
    phase_ = why;
    std::lock_guard<std::mutex> lk(out_mu_);
    reading_ = false;
    update_interest();
}

// Takes input again once the request that held it is answered, starting
// with what arrived meanwhile.
void Connection::resume() {
    if (phase_ != Phase::Reading || closed_) return;
    {
        std::lock_guard<std::mutex> lk(out_mu_);
        reading_ = true;
        update_interest();
    }
    serve_input();
}

// Acts on the answered request's outcome: its reply is encoded here, and
// only here.
void Connection::deliver() {
    const Request& r = pending_.request;
    const Outcome& o = pending_.outcome;
    switch (o.kind) {
        case Outcome::Kind::Silent: return;
        case Outcome::Kind::Close: close(host_.stopping() ? "simulator stopping" : "closed by fault"); return;
        case Outcome::Kind::Reply: break;
    }
    if (!send(proto::encode_reply(r.op, r.seq, o.reply)) || caller_.greeted) return;
    // The handshake: only a Hello that succeeds lets the connection on.
    std::string why;
    if (r.layout && r.layout->op == proto::Op::Hello && r.kind == wire::Kind::Request)
        why = o.fault ? "handshake refused by fault"
                      : "handshake failed (" + (o.why.empty() ? std::string("malformed hello") : o.why) + ")";
    else
        why = "request before handshake";
    close(why);
}

// ---- output ----------------------------------------------------------------

void Connection::plc_changed(uint32_t word) {
    if (opt_.trace) opt_.trace->event(peer_, word);
    send(proto::encode_plc_event(word));
}

bool Connection::send(const std::vector<uint8_t>& frame) {
    std::lock_guard<std::mutex> lk(out_mu_);
    if (dead_) return false;
    const uint8_t* p = frame.data();
    size_t n = frame.size();
    if (out_off_ == out_.size()) {
        // Nothing ahead of it: straight to the socket, which takes it whole
        // unless the client lags behind.
        ssize_t sent = ::send(fd_, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent == static_cast<ssize_t>(n)) return true;
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            fail_output("write failed");
            return false;
        }
        if (sent > 0) p += sent, n -= static_cast<size_t>(sent);
        out_.clear();
        out_off_ = 0;
        out_since_ = Clock::now();
    }
    if (out_.size() - out_off_ + n > opt_.max_backlog_bytes) {
        fail_output("output backlog (client not reading)");
        return false;
    }
    out_.insert(out_.end(), p, p + n);
    update_interest();
    return true;
}

void Connection::flush_output() {
    std::lock_guard<std::mutex> lk(out_mu_);
    while (!dead_ && out_off_ < out_.size()) {
        ssize_t sent = ::send(fd_, out_.data() + out_off_, out_.size() - out_off_, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) fail_output("write failed");
            break;
        }
        out_off_ += static_cast<size_t>(sent);
        out_since_ = Clock::now();
    }
    if (out_off_ == out_.size()) {
        out_.clear();
        out_off_ = 0;
        if (phase_ == Phase::Draining) dead_ = true;  // every reply is out: closed by the caller
    }
    update_interest();
}

// Under out_mu_: nothing more is sent; the loop closes the connection.
void Connection::fail_output(const std::string& why) {
    set_reason(why);
    dead_ = true;
    ::shutdown(fd_, SHUT_RDWR);  // wakes the loop (EPOLLHUP) and tells the client at once
}

void Connection::check_time(TimePoint now) {
    if (closed_) return;
    bool dead = false;
    {
        std::lock_guard<std::mutex> lk(out_mu_);
        if (!dead_ && out_off_ < out_.size() && now - out_since_ > std::chrono::milliseconds(opt_.write_timeout_ms))
            fail_output("write timeout (client not reading)");
        dead = dead_;
    }
    if (dead) close("");
    else if (!caller_.greeted && now > handshake_deadline_ && phase_ == Phase::Reading) close("handshake timeout");
    else if (frame_since_ && now - *frame_since_ > std::chrono::milliseconds(opt_.frame_timeout_ms))
        close("incomplete frame");
}

void Connection::close(const std::string& why) {
    if (closed_) return;
    closed_ = true;
    path_.end_session(session_);  // no event is queued for it after this
    std::string reason;
    {
        std::lock_guard<std::mutex> lk(out_mu_);
        if (!why.empty()) set_reason(why);
        dead_ = true;
        ::epoll_ctl(epfd_, EPOLL_CTL_DEL, fd_, nullptr);
        ::close(fd_);
        reason = reason_;
    }
    log_("connection from " + peer_ + " closed" + (reason.empty() ? "" : ": " + reason));
}

}  // namespace tessaro::sim
