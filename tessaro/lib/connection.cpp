#include "connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "diag_log.h"
#include "dial.h"
#include "protocol/frame_io.h"
#include "protocol/reply.h"
#include "protocol/wire.h"
#include "settings.h"

namespace tessaro::lib {

namespace {

// Slice of the library thread's watch on an idle socket, so that it notices a
// connection broken by another thread even if the wake-up by shutdown() were
// lost, and a frame that stalls halfway.
constexpr int kIdlePollMs = 500;
// The slice when no wake-up descriptor could be made: then a queued event
// waits for the next slice.
constexpr int kNoWakePollMs = 10;

// How long after a call the library thread stays out of the socket: calls
// come in bursts (a command makes four in a row, a tree walk thousands), and
// a thread woken by every reply only to find it taken costs the callers time.
constexpr auto kCallerLinger = std::chrono::milliseconds(2);

// The receive buffer: its usual size, and the size above which it is given
// back once empty (after a large binary value).
// Longest wait of a read in recv() itself; a wait that must end sooner uses
// poll(), which takes any bound.
constexpr int kRecvSliceMs = 20;

constexpr size_t kInboxSize = 16 * 1024;
constexpr size_t kInboxKeep = 256 * 1024;

// Milliseconds for poll() until `t`, rounded up so that a wait never ends
// before its deadline.
int ms_until(std::chrono::steady_clock::time_point t, std::chrono::steady_clock::time_point now) {
    if (t <= now) return 0;
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(t - now).count();
    return static_cast<int>(std::min<long long>((us + 999) / 1000, INT_MAX));
}

}  // namespace

Connection::Connection(int fd, int call_timeout_ms, std::string peer)
    : call_timeout_ms_(call_timeout_ms), peer_(std::move(peer)), fd_(fd), seq_(kHelloSeq + 1) {
    // Reads that wait are bounded by the receive timeout; reads that must not
    // wait say so (MSG_DONTWAIT). Without the bound the socket stays
    // non-blocking, and every wait is a poll().
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    timeval slice{0, kRecvSliceMs * 1000};
    int flags = ::fcntl(fd, F_GETFL);
    blocking_reads_ = ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &slice, sizeof slice) == 0 && flags != -1 &&
                      ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

bool Connection::start(HController handle) {
    handle_ = handle;
    if (wake_fd_ < 0) log_event("hc=%d: no eventfd: events read by callers wait up to %d ms", handle_, kNoWakePollMs);
    try {
        std::thread([this] { library_main(); }).detach();
    } catch (const std::exception&) {
        mark_broken("cannot start the library thread");
        std::lock_guard<std::mutex> wl(write_mu_);
        closed_ = true;
        ::close(fd_);
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
    {
        std::lock_guard<std::mutex> lk(mu_);
        if (broken_) return E_UNAVAIL;
        pending_.emplace_back(seq, &slot);  // may throw: nothing is changed then
        ++callers_;
    }
    int rc = send(frame);
    std::unique_lock<std::mutex> lk(mu_);
    if (rc == E_OK) rc = await(slot, deadline, lk);
    auto it = std::find_if(pending_.begin(), pending_.end(), [&](const auto& p) { return p.second == &slot; });
    *it = pending_.back();
    pending_.pop_back();
    --callers_;
    last_call_ = Clock::now();
    if (slot.done) {
        rc = E_OK;
        reply = std::move(slot.body);
    }
    lk.unlock();
    if (rc == E_TIMEOUT)
        log_event("hc=%d: %s (seq %u): no reply within %d ms", handle_, proto::op_name(op), seq, call_timeout_ms_);
    return rc;
}

int Connection::await(Pending& slot, Clock::time_point deadline, std::unique_lock<std::mutex>& lk) {
    for (;;) {
        if (slot.done) return E_OK;
        if (broken_) return E_UNAVAIL;
        if (!reading_) {
            reading_ = true;
            lk.unlock();
            try {
                read_frames(&slot, deadline, false);
            } catch (const std::exception&) {  // no memory for a frame or a reply
                broken_by("out of memory for a frame");
            }
            lk.lock();
            reading_ = false;
            if (followers_ > 0) cv_.notify_all();
            if (broken_ && resting_) lib_cv_.notify_all();  // it waits for the turn to close the socket
            if (!slot.done && Clock::now() >= deadline) return broken_ ? E_UNAVAIL : E_TIMEOUT;
            continue;
        }
        ++followers_;
        bool woken = cv_.wait_until(lk, deadline) == std::cv_status::no_timeout;
        --followers_;
        if (!woken && !slot.done) return broken_ ? E_UNAVAIL : E_TIMEOUT;
    }
}

void Connection::read_frames(Pending* slot, Clock::time_point until, bool ready) {
    const uint8_t* body = nullptr;
    size_t len = 0;
    for (bool mine = false; !mine;) {
        if (next_frame(until, ready, body, len) != Read::Frame) return;
        ready = true;  // what one receive brought may hold more frames
        mine = dispatch(body, len, slot);
    }
    while (take_frame(body, len) == Read::Frame) dispatch(body, len, nullptr);
}

Connection::Read Connection::take_frame(const uint8_t*& body, size_t& len) {
    size_t have = tail_ - head_;
    if (have < wire::kFrameHeader) return Read::Idle;
    uint32_t n = wire::get_be32(inbox_.get() + head_);
    if (n == 0 || n > wire::kMaxFrame) return broken_by("bad frame length header");
    if (have - wire::kFrameHeader < n) return Read::Idle;
    body = inbox_.get() + head_ + wire::kFrameHeader;
    len = n;
    head_ += wire::kFrameHeader + n;
    if (head_ == tail_)
        head_ = tail_ = 0;  // the bytes stay where they are until the next receive
    else
        stall_deadline_ = Clock::now() + std::chrono::milliseconds(call_timeout_ms_);  // the next frame has begun
    return Read::Frame;
}

Connection::Read Connection::next_frame(Clock::time_point until, bool ready, const uint8_t*& body, size_t& len) {
    for (;;) {
        Read r = take_frame(body, len);
        if (r != Read::Idle) return r;
        size_t have = tail_ - head_;
        // With nothing begun and time to spare, the wait is in recv() itself,
        // at most one slice: one system call less than poll() and recv().
        bool block = !ready && blocking_reads_ && have == 0 &&
                     until - Clock::now() > std::chrono::milliseconds(kRecvSliceMs);
        if (ready || block) {
            r = receive(block);
            if (r == Read::Broken) return r;
            ready = r == Read::Frame;
            if (ready || block) continue;
        }
        auto now = Clock::now();
        if (have > 0 && now >= stall_deadline_) return broken_by("a frame stalled halfway");
        if (now >= until) return Read::Idle;
        pollfd pfd{fd_, POLLIN, 0};
        int n = ::poll(&pfd, 1, ms_until(have > 0 ? std::min(until, stall_deadline_) : until, now));
        if (n < 0 && errno != EINTR) return broken_by(std::string("poll: ") + std::strerror(errno));
        ready = n > 0;
    }
}

Connection::Read Connection::receive(bool wait) {
    // Room for the rest of the frame begun, or for a good many frames.
    size_t have = tail_ - head_;
    if (head_ > 0) {
        std::memmove(inbox_.get(), inbox_.get() + head_, have);
        head_ = 0;
        tail_ = have;
    }
    size_t need = have >= wire::kFrameHeader ? wire::kFrameHeader + wire::get_be32(inbox_.get()) : 0;
    size_t want = std::max(need, kInboxSize);
    if (want > inbox_size_ || (have == 0 && inbox_size_ > kInboxKeep)) {
        std::unique_ptr<uint8_t[]> fresh(new uint8_t[want]);  // left uninitialised: only received bytes are read
        if (have > 0) std::memcpy(fresh.get(), inbox_.get(), have);
        inbox_ = std::move(fresh);
        inbox_size_ = want;
    }
    ssize_t n = ::recv(fd_, inbox_.get() + tail_, inbox_size_ - tail_, wait ? 0 : MSG_DONTWAIT);
    if (n > 0) {
        if (have == 0) stall_deadline_ = Clock::now() + std::chrono::milliseconds(call_timeout_ms_);
        tail_ += static_cast<size_t>(n);
        return Read::Frame;
    }
    if (n == 0) return broken_by(have > 0 ? "socket error or frame cut short" : "closed by the controller");
    if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return Read::Idle;
    return broken_by("socket error or frame cut short");
}

Connection::Read Connection::broken_by(const std::string& why) {
    mark_broken(why);
    shutdown_socket();
    return Read::Broken;
}

int Connection::send(const std::vector<uint8_t>& frame) {
    wire::IoStatus st;
    {
        std::lock_guard<std::mutex> wl(write_mu_);
        if (closed_) return E_UNAVAIL;
        st = wire::write_frame(fd_, frame, call_timeout_ms_);
        if (st == wire::IoStatus::Ok) return E_OK;
        // A frame written in part leaves the stream unframeable.
        ::shutdown(fd_, SHUT_RDWR);
    }
    mark_broken(std::string("sending a request: ") + wire::io_status_name(st));
    return E_UNAVAIL;
}

void Connection::fail(const std::string& why) { broken_by("protocol error: " + why); }

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
    lib_cv_.notify_all();
}

void Connection::shutdown_socket() {
    std::lock_guard<std::mutex> wl(write_mu_);
    if (!closed_) ::shutdown(fd_, SHUT_RDWR);  // wakes whoever waits on the socket
}

void Connection::library_main() {
    std::unique_lock<std::mutex> lk(mu_);
    library_id_ = std::this_thread::get_id();
    for (;;) {
        lk.unlock();
        deliver_events();
        lk.lock();
        if (broken_) break;
        if (!events_.empty()) continue;  // came while the last handler call returned
        if (callers_ > 0 || reading_ || Clock::now() < last_call_ + kCallerLinger) {
            // Callers read for themselves; an event one of them queues wakes
            // this thread at once.
            resting_ = true;
            lib_cv_.wait_for(lk, kCallerLinger);
            resting_ = false;
            continue;
        }
        // Watches the socket, and the wake-up of a caller that queued an
        // event meanwhile (it may take every byte before this thread sees one).
        watching_ = true;
        lk.unlock();
        pollfd pfd[2] = {{fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};  // a negative fd is ignored
        int n = ::poll(pfd, 2, wake_fd_ >= 0 ? kIdlePollMs : kNoWakePollMs);
        if (n < 0 && errno != EINTR) broken_by(std::string("poll: ") + std::strerror(errno));
        uint64_t count = 0;
        if (n > 0 && pfd[1].revents != 0 && ::read(wake_fd_, &count, sizeof count) < 0) count = 0;
        lk.lock();
        watching_ = false;
        if (broken_) break;
        if (n > 0 && pfd[0].revents == 0) continue;  // woken to deliver events
        if (callers_ > 0 || reading_) continue;  // a caller reads what came
        reading_ = true;
        lk.unlock();
        try {
            // What is there now; after a quiet slice, a frame begun is checked for a stall.
            read_frames(nullptr, Clock::now(), pfd[0].revents != 0);
        } catch (const std::exception&) {
            broken_by("out of memory for a frame");
        }
        lk.lock();
        reading_ = false;
        if (followers_ > 0) cv_.notify_all();
    }
    // Broken: once no caller reads any more, the turn is this thread's for
    // good, and the socket can be closed.
    while (reading_) {
        resting_ = true;
        lib_cv_.wait_for(lk, std::chrono::milliseconds(kIdlePollMs));
        resting_ = false;
    }
    reading_ = true;
    lk.unlock();
    deliver_events();  // events that arrived before the break still count
    if (wake_fd_ >= 0) ::close(wake_fd_);  // no caller reads, so none writes to it
    std::lock_guard<std::mutex> wl(write_mu_);
    closed_ = true;
    ::close(fd_);
}

bool Connection::dispatch(const uint8_t* body, size_t len, Pending* mine) {
    wire::Reader r(body, len);
    if (!r.ok()) {
        fail("frame shorter than its fixed part");
        return false;
    }
    switch (r.kind()) {
        case wire::Kind::Reply: {
            std::unique_lock<std::mutex> lk(mu_);
            auto it = std::find_if(pending_.begin(), pending_.end(), [&](const auto& p) { return p.first == r.seq(); });
            if (it == pending_.end() || it->second->done) {
                lk.unlock();
                log_event("hc=%d: discarded a reply (op %u, seq %u) that nobody waits for", handle_,
                          static_cast<unsigned>(r.op()), r.seq());
                return false;
            }
            Pending* slot = it->second;
            if (static_cast<uint16_t>(slot->op) != r.op()) {
                lk.unlock();
                fail("reply of operation " + std::to_string(r.op()) + " to a request of " + proto::op_name(slot->op));
                return false;
            }
            slot->body.assign(body, body + len);
            slot->done = true;
            if (slot == mine) return true;
            lk.unlock();
            cv_.notify_all();
            return false;
        }
        case wire::Kind::Event: {
            if (r.op() != static_cast<uint16_t>(proto::Op::PlcChanged)) {
                log_event("hc=%d: ignored an event of unknown operation %u", handle_, static_cast<unsigned>(r.op()));
                return false;
            }
            Event ev{0, 0};
            if (!proto::decode_plc_event(r, ev.state, ev.reserved)) {
                fail("undecodable PlcChanged event");
                return false;
            }
            bool dropped = false;
            {
                std::lock_guard<std::mutex> lk(mu_);
                if (handler_ == nullptr) return false;  // nobody listens on this connection
                if (events_.size() >= kMaxQueuedEvents) {
                    events_.pop_front();
                    dropped = true;
                }
                events_.push_back(ev);
                if (resting_) {
                    lib_cv_.notify_one();
                } else if (watching_) {
                    const uint64_t one = 1;
                    ssize_t ignored = ::write(wake_fd_, &one, sizeof one);  // fails only when already signalled
                    (void)ignored;
                }
            }
            if (dropped) log_event("hc=%d: event queue full, dropped the oldest PlcChanged event", handle_);
            return false;
        }
        case wire::Kind::Request:
            break;
    }
    fail("frame of kind " + std::to_string(static_cast<unsigned>(r.kind())) + " from the controller");
    return false;
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
    if (std::this_thread::get_id() == library_id_) return E_OK;  // inside the handler: cannot wait for itself
    if (!cv_.wait_for(lk, std::chrono::milliseconds(kHandlerDrainMs), [&] { return !handler_running_; })) {
        lk.unlock();
        log_event("hc=%d: the PLC-change handler did not return within %d ms", handle_, kHandlerDrainMs);
        return E_TIMEOUT;
    }
    return E_OK;
}

}  // namespace tessaro::lib
