#include "connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "diag_log.h"
#include "dial.h"
#include "protocol/frame_io.h"
#include "settings.h"
#include "protocol/wire.h"

namespace tessaro::lib {

namespace {

using Clock = std::chrono::steady_clock;

// Slice of the reader thread's idle wait, so that it notices a connection
// broken by another thread even if the wake-up by shutdown() were lost.
constexpr int kIdlePollMs = 500;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

const char* describe(wire::IoStatus st) {
    switch (st) {
        case wire::IoStatus::Closed: return "closed by the controller";
        case wire::IoStatus::Timeout: return "a frame stalled halfway";
        case wire::IoStatus::Error: return "socket error or frame cut short";
        case wire::IoStatus::BadFrame: return "bad frame length header";
        case wire::IoStatus::Ok: break;
    }
    return "ok";
}

}  // namespace

Connection::Connection(int fd, int call_timeout_ms, std::string peer)
    : call_timeout_ms_(call_timeout_ms), peer_(std::move(peer)), fd_(fd), seq_(kHelloSeq + 1) {}

bool Connection::start(HController handle) {
    handle_ = handle;
    try {
        std::thread([this] { reader_main(); }).detach();
    } catch (const std::exception&) {
        mark_broken("cannot start the reader thread");
        std::lock_guard<std::mutex> wl(write_mu_);
        ::close(fd_);
        fd_ = -1;
        return false;
    }
    return true;
}

bool Connection::alive() const {
    std::lock_guard<std::mutex> lk(mu_);
    return !broken_;
}

uint32_t Connection::next_seq() {
    std::lock_guard<std::mutex> lk(mu_);
    uint32_t s = seq_++;
    if (seq_ == 0) seq_ = kHelloSeq + 1;  // 0 is reserved for events
    return s;
}

int Connection::call(uint32_t seq, proto::Op op, const std::vector<uint8_t>& frame, std::vector<uint8_t>& reply) {
    auto deadline = Clock::now() + std::chrono::milliseconds(call_timeout_ms_);
    Pending slot;
    slot.op = op;
    bool on_reader = false;
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (broken_) return E_UNAVAIL;
        on_reader = std::this_thread::get_id() == reader_id_;
        pending_[seq] = &slot;
    }
    int rc = send(frame);
    if (rc == E_OK) {
        if (on_reader) {
            rc = pump(slot, deadline);
        } else {
            std::unique_lock<std::mutex> lk(mu_);
            cv_.wait_until(lk, deadline, [&] { return slot.done || broken_; });
            rc = slot.done ? E_OK : broken_ ? E_UNAVAIL : E_TIMEOUT;
        }
    }
    {
        std::lock_guard<std::mutex> lk(mu_);
        pending_.erase(seq);
        if (slot.done) {
            rc = E_OK;
            reply = std::move(slot.body);
        }
    }
    if (rc == E_TIMEOUT)
        log_event("hc=%d: %s (seq %u): no reply within %d ms", handle_, proto::op_name(op), seq, call_timeout_ms_);
    return rc;
}

int Connection::send(const std::vector<uint8_t>& frame) {
    wire::IoStatus st;
    {
        std::lock_guard<std::mutex> wl(write_mu_);
        if (fd_ < 0) return E_UNAVAIL;
        st = wire::write_frame(fd_, frame, call_timeout_ms_);
        if (st == wire::IoStatus::Ok) return E_OK;
        // A frame written in part leaves the stream unframeable.
        ::shutdown(fd_, SHUT_RDWR);
    }
    mark_broken(std::string("sending a request: ") + wire::io_status_name(st));
    return E_UNAVAIL;
}

void Connection::fail(const std::string& why) {
    mark_broken("protocol error: " + why);
    shutdown_socket();
}

void Connection::mark_broken(const std::string& why) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (broken_) return;
        // Logged before anyone can see the connection broken, so the line is
        // in the log by the time a caller gets E_UNAVAIL.
        log_event("hc=%d (%s): connection closed: %s", handle_, peer_.c_str(), why.c_str());
        broken_ = true;
    }
    cv_.notify_all();
}

void Connection::shutdown_socket() {
    std::lock_guard<std::mutex> wl(write_mu_);
    if (fd_ >= 0) ::shutdown(fd_, SHUT_RDWR);  // wakes the reader thread
}

void Connection::reader_main() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        reader_id_ = std::this_thread::get_id();
    }
    std::vector<uint8_t> body;
    for (;;) {
        deliver_events();
        Read r = read_one(kIdlePollMs, body);
        if (r == Read::Broken) break;
        if (r == Read::Frame) dispatch(body);
    }
    deliver_events();  // events that arrived before the break still count
    std::lock_guard<std::mutex> wl(write_mu_);
    ::close(fd_);
    fd_ = -1;
}

Connection::Read Connection::read_one(int wait_ms, std::vector<uint8_t>& body) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (broken_) return Read::Broken;
    }
    pollfd pfd{fd_, POLLIN, 0};
    int n = ::poll(&pfd, 1, wait_ms);
    if (n < 0) {
        if (errno == EINTR) return Read::Idle;
        mark_broken(std::string("poll: ") + std::strerror(errno));
        return Read::Broken;
    }
    if (n == 0) return Read::Idle;
    // The frame has begun; the rest of it must follow within the call timeout.
    wire::IoStatus st = wire::read_frame(fd_, body, call_timeout_ms_);
    if (st == wire::IoStatus::Ok) return Read::Frame;
    mark_broken(describe(st));
    shutdown_socket();
    return Read::Broken;
}

void Connection::dispatch(const std::vector<uint8_t>& body) {
    wire::Reader r(body);
    if (!r.ok()) {
        fail("frame shorter than its fixed part");
        return;
    }
    switch (r.kind()) {
        case wire::Kind::Reply: {
            std::unique_lock<std::mutex> lk(mu_);
            auto it = pending_.find(r.seq());
            if (it == pending_.end() || it->second->done) {
                lk.unlock();
                log_event("hc=%d: discarded a reply (op %u, seq %u) that nobody waits for", handle_,
                          static_cast<unsigned>(r.op()), r.seq());
                return;
            }
            if (static_cast<uint16_t>(it->second->op) != r.op()) {
                lk.unlock();
                fail("reply of operation " + std::to_string(r.op()) + " to a request of " +
                     proto::op_name(it->second->op));
                return;
            }
            it->second->body = body;
            it->second->done = true;
            lk.unlock();
            cv_.notify_all();
            return;
        }
        case wire::Kind::Event: {
            if (r.op() != static_cast<uint16_t>(proto::Op::PlcChanged)) {
                log_event("hc=%d: ignored an event of unknown operation %u", handle_, static_cast<unsigned>(r.op()));
                return;
            }
            Event ev{0, 0};
            if (!r.u32(ev.state) || !r.u32(ev.reserved)) {
                fail("undecodable PlcChanged event");
                return;
            }
            bool dropped = false;
            {
                std::lock_guard<std::mutex> lk(mu_);
                if (handler_ == nullptr) return;  // nobody listens on this connection
                if (events_.size() >= kMaxQueuedEvents) {
                    events_.pop_front();
                    dropped = true;
                }
                events_.push_back(ev);
            }
            if (dropped) log_event("hc=%d: event queue full, dropped the oldest PlcChanged event", handle_);
            return;
        }
        case wire::Kind::Request:
            break;
    }
    fail("frame of kind " + std::to_string(static_cast<unsigned>(r.kind())) + " from the controller");
}

void Connection::deliver_events() {
    for (;;) {
        XAL_PLC_CHANGED_CALLBACK handler = nullptr;
        Event ev{0, 0};
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (events_.empty() || handler_running_) return;
            ev = events_.front();
            events_.pop_front();
            handler = handler_;
            if (handler == nullptr) continue;
            handler_running_ = true;
        }
        handler(handle_, ev.state, ev.reserved);
        {
            std::lock_guard<std::mutex> lk(mu_);
            handler_running_ = false;
        }
        cv_.notify_all();
    }
}

int Connection::pump(Pending& slot, Clock::time_point deadline) {
    std::vector<uint8_t> body;
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(mu_);
            if (slot.done) return E_OK;
            if (broken_) return E_UNAVAIL;
        }
        int left = ms_left(deadline);
        if (left <= 0) return E_TIMEOUT;
        Read r = read_one(left, body);
        if (r == Read::Frame) dispatch(body);
        // Broken: the check at the top of the loop gives the verdict.
    }
}

XAL_PLC_CHANGED_CALLBACK Connection::set_handler(XAL_PLC_CHANGED_CALLBACK handler) {
    std::lock_guard<std::mutex> lk(mu_);
    XAL_PLC_CHANGED_CALLBACK previous = handler_;
    handler_ = handler;
    return previous;
}

void Connection::restore_handler(XAL_PLC_CHANGED_CALLBACK installed, XAL_PLC_CHANGED_CALLBACK previous) {
    std::lock_guard<std::mutex> lk(mu_);
    if (handler_ == installed) handler_ = previous;
}

int Connection::clear_handler() {
    std::unique_lock<std::mutex> lk(mu_);
    handler_ = nullptr;
    events_.clear();
    if (std::this_thread::get_id() == reader_id_) return E_OK;  // inside the handler: cannot wait for itself
    if (!cv_.wait_for(lk, std::chrono::milliseconds(kHandlerDrainMs), [&] { return !handler_running_; })) {
        lk.unlock();
        log_event("hc=%d: the PLC-change handler did not return within %d ms", handle_, kHandlerDrainMs);
        return E_TIMEOUT;
    }
    return E_OK;
}

}  // namespace tessaro::lib
