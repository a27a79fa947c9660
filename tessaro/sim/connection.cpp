#include "connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "dispatch.h"
#include "hooks.h"
#include "protocol/frame_io.h"
#include "trace.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {
// How often a waiting reader looks at the stop flag.
constexpr int kPollSliceMs = 250;
}  // namespace

Connection::Connection(Machine& m, int fd, std::string peer, const ServerOptions& opt, LogFn log)
    : machine_(m), fd_(fd), peer_(std::move(peer)), opt_(opt), log_(std::move(log)) {}

Connection::~Connection() {
    stop();
    join();
    if (writer_.joinable()) {  // the reader never ran
        {
            std::lock_guard<std::mutex> lk(q_mu_);
            closing_ = true;
        }
        q_cv_.notify_all();
        writer_.join();
    }
    if (!fd_closed_) ::close(fd_);
}

void Connection::start() {
    log_("connection from " + peer_ + " opened");
    writer_ = std::thread([this] { write_loop(); });
    reader_ = std::thread([this] { run(); });
}

void Connection::stop() {
    {
        std::lock_guard<std::mutex> lk(q_mu_);
        stop_ = true;
    }
    q_cv_.notify_all();
    shutdown_socket();
}

void Connection::join() {
    if (reader_.joinable()) reader_.join();
}

void Connection::shutdown_socket() {
    std::lock_guard<std::mutex> lk(fd_mu_);
    if (!fd_closed_) ::shutdown(fd_, SHUT_RDWR);
}

void Connection::set_reason(const std::string& why) {
    std::lock_guard<std::mutex> lk(reason_mu_);
    if (reason_.empty()) reason_ = why;
}

void Connection::plc_changed(uint32_t word) {
    wire::Writer w(wire::Kind::Event, 0, static_cast<uint16_t>(proto::Op::PlcChanged));
    w.u32(word).u32(0);
    if (opt_.trace) opt_.trace->event(peer_, word);
    enqueue(w.frame());
}

bool Connection::enqueue(std::vector<uint8_t> frame) {
    std::lock_guard<std::mutex> lk(q_mu_);
    if (dead_ || closing_) return false;
    // Nothing ahead of it: send at once without blocking, which spares the
    // hand-off to the writer thread on every round trip. Whatever the socket
    // does not take now is left to the writer, still in order.
    if (queue_.empty() && !writing_) {
        ssize_t n = ::send(fd_, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == static_cast<ssize_t>(frame.size())) return true;
        if (n > 0) frame.erase(frame.begin(), frame.begin() + n);
    }
    if (queued_bytes_ + frame.size() > opt_.max_backlog_bytes) {
        dead_ = true;
        set_reason("output backlog (client not reading)");
        shutdown_socket();
        q_cv_.notify_all();
        return false;
    }
    queued_bytes_ += frame.size();
    queue_.push_back(std::move(frame));
    q_cv_.notify_all();
    return true;
}

void Connection::write_loop() {
    std::unique_lock<std::mutex> lk(q_mu_);
    while (true) {
        q_cv_.wait_for(lk, std::chrono::milliseconds(500), [this] { return !queue_.empty() || closing_ || dead_; });
        if (dead_) return;
        if (queue_.empty()) {
            if (closing_) return;
            continue;
        }
        std::vector<uint8_t> frame = std::move(queue_.front());
        queue_.pop_front();
        queued_bytes_ -= frame.size();
        writing_ = true;
        lk.unlock();
        wire::IoStatus st = wire::write_frame(fd_, frame, opt_.write_timeout_ms);
        lk.lock();
        writing_ = false;
        if (st != wire::IoStatus::Ok) {
            dead_ = true;
            set_reason(st == wire::IoStatus::Timeout ? "write timeout (client not reading)" : "write failed");
            shutdown_socket();
            q_cv_.notify_all();
            return;
        }
    }
}

bool Connection::delay(int64_t ms) {
    std::unique_lock<std::mutex> lk(q_mu_);
    return !q_cv_.wait_for(lk, std::chrono::milliseconds(ms), [this] { return stop_.load() || dead_; });
}

Connection::Read Connection::next_frame(std::vector<uint8_t>& body, const TimePoint* deadline) {
    while (true) {
        if (stop_) {
            set_reason("simulator stopping");
            return Read::Ended;
        }
        int wait = kPollSliceMs;
        if (deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) return Read::Timeout;
            wait = static_cast<int>(std::min<int64_t>(left, wait));
        }
        pollfd pfd{fd_, POLLIN, 0};
        int rc = ::poll(&pfd, 1, wait);
        if (rc < 0 && errno != EINTR) {
            set_reason("connection error");
            return Read::Ended;
        }
        if (rc <= 0) continue;
        switch (wire::read_frame(fd_, body, opt_.frame_timeout_ms)) {
            case wire::IoStatus::Ok:
                if (body.size() < 7) {
                    set_reason("malformed frame");
                    return Read::Ended;
                }
                return Read::Frame;
            case wire::IoStatus::Closed:
                if (stop_) set_reason("simulator stopping");
                return Read::Ended;
            case wire::IoStatus::BadFrame: set_reason("bad frame header"); return Read::Ended;
            case wire::IoStatus::Timeout: set_reason("incomplete frame"); return Read::Ended;
            case wire::IoStatus::Error: set_reason(stop_ ? "simulator stopping" : "connection error"); return Read::Ended;
        }
    }
}

bool Connection::handshake() {
    const OpLayout& hello = *op_layout(proto::Op::Hello);
    TimePoint deadline = Clock::now() + std::chrono::milliseconds(opt_.handshake_timeout_ms);
    std::vector<uint8_t> body;
    // Answers the frame in `body`, and records it in the trace.
    auto answer = [&](std::vector<uint8_t> frame, std::optional<FaultHit> fault = std::nullopt) {
        Outcome o;
        o.frame = std::move(frame);
        o.fault = fault;
        trace_request(opt_, peer_, body, o);
        enqueue(std::move(o.frame));
    };
    while (true) {
        Read rd = next_frame(body, &deadline);
        if (rd == Read::Timeout) set_reason("handshake timeout");
        if (rd != Read::Frame) return false;
        wire::Reader r(body);
        if (r.kind() != wire::Kind::Request || r.op() != static_cast<uint16_t>(proto::Op::Hello)) {
            const OpLayout* layout = op_layout(r.op());
            answer(layout ? plain_reply(*layout, r.seq(), E_ACCESS) : result_only_reply(r.seq(), r.op(), E_ACCESS));
            set_reason("request before handshake");
            return false;
        }
        std::vector<Arg> args;
        if (!decode_args(hello, r, args)) {
            answer(plain_reply(hello, r.seq(), E_INVALID));
            set_reason("handshake failed (malformed hello)");
            return false;
        }
        std::optional<FaultHit> hit = machine_.fault_for(hello, args);
        if (hit) {
            if (hit->kind == FaultHit::Kind::Silent) continue;
            if (hit->delay_ms > 0 && !delay(hit->delay_ms)) return false;
            if (hit->kind == FaultHit::Kind::Close) {
                set_reason("closed by fault");
                return false;
            }
            if (hit->kind == FaultHit::Kind::Result) {
                answer(plain_reply(hello, r.seq(), hit->result), hit);
                set_reason("handshake refused by fault");
                return false;
            }
        }
        std::string why;
        if (check_hello(args, why) != E_OK) {
            answer(plain_reply(hello, r.seq(), E_INVALID));
            set_reason("handshake failed (" + why + ")");
            return false;
        }
        answer(execute(machine_, session_, this, hello, r.seq(), args), hit);
        return true;
    }
}

void Connection::run() {
    if (handshake()) {
        std::vector<uint8_t> body;
        DelayFn wait = [this](int64_t ms) { return delay(ms); };
        while (next_frame(body, nullptr) == Read::Frame) {
            Outcome o = serve(machine_, session_, this, opt_, peer_, body, wait);
            if (o.kind == Outcome::Kind::Close) {
                set_reason(stop_ ? "simulator stopping" : "closed by fault");
                break;
            }
            if (o.kind == Outcome::Kind::Reply && !enqueue(std::move(o.frame))) break;
        }
    }
    machine_.end_session(session_);
    {
        std::lock_guard<std::mutex> lk(q_mu_);
        closing_ = true;
    }
    q_cv_.notify_all();
    writer_.join();
    {
        std::lock_guard<std::mutex> lk(fd_mu_);
        ::shutdown(fd_, SHUT_RDWR);
        ::close(fd_);
        fd_closed_ = true;
    }
    std::string why;
    {
        std::lock_guard<std::mutex> lk(reason_mu_);
        why = reason_;
    }
    log_("connection from " + peer_ + " closed" + (why.empty() ? "" : ": " + why));
    finished_ = true;
}

}  // namespace tessaro::sim
