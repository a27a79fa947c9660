// One controller connection: the socket, the reading of frames, the routing
// of replies to waiting callers and the delivery of PLC-change events.
//
// Threading. A caller reads its own reply: after sending its request it
// takes the read turn (at most one thread reads the socket at a time) and
// reads frames until its reply has come, handing every other reply to the
// caller waiting for it and queueing every PlcChanged event. Callers that find
// the turn taken wait until their reply is handed to them or the turn is free.
// So a reply wakes its own caller and no other thread. Writers take a separate
// lock, so any number of threads may have requests outstanding.
//
// Each connection also has one library thread, detached. It alone calls the
// registered handler, with the queued events, one at a time and in arrival
// order. While no call is in progress, nor was for a moment, it watches the
// socket and reads what comes (events, late replies), and a caller that
// queues an event meanwhile wakes it; it stays out of the way of callers, so
// a program making call after call does not wake it at every reply. A handler may call library operations on the same connection; such
// a call reads like any other, and the events it queues are delivered after
// the handler returns.
//
// Lifetime. Connections are never destroyed (the handle table keeps them for
// the process lifetime). Once broken (closed by the peer, socket error, bad
// frame, undecodable reply, failed write), a connection stays broken: every
// waiter and every later call gets E_UNAVAIL, and the library thread closes
// the socket, once no caller reads it any more, and ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "protocol/messages.h"
#include "xal_tessaro.h"

namespace tessaro::lib {

class Connection {
public:
    // Takes over `fd`, a socket that has completed the Hello exchange.
    Connection(int fd, int call_timeout_ms, std::string peer);
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Gives the connection its handle and starts the library thread
    // (detached: the program never closes a connection and may exit at any
    // time). False when no thread could be started; the socket is closed then.
    bool start(HController handle);

    HController handle() const { return handle_; }
    bool alive() const;

    // A fresh request sequence number (never 0).
    uint32_t next_seq();

    // Sends one request frame and waits for the reply with the same sequence
    // number and operation. E_OK with the reply body, E_TIMEOUT when no reply
    // came in time (a late one is discarded), E_UNAVAIL when the connection is
    // or becomes broken.
    int call(uint32_t seq, proto::Op op, const std::vector<uint8_t>& frame, std::vector<uint8_t>& reply);

    // Breaks the connection because the peer sent something that does not
    // follow the protocol (such as a reply that does not decode).
    void fail(const std::string& why);

    // Installs `handler` for PlcChanged events and returns the one it replaces.
    XAL_PLC_CHANGED_CALLBACK set_handler(XAL_PLC_CHANGED_CALLBACK handler);
    // Puts `previous` back if `installed` is still the handler.
    void restore_handler(XAL_PLC_CHANGED_CALLBACK installed, XAL_PLC_CHANGED_CALLBACK previous);
    // Removes the handler. Off the library thread it then waits until a
    // handler call in progress has returned, so the handler is not running
    // and is never called again once this returns (E_OK), or gives up after
    // kHandlerDrainMs (E_TIMEOUT). On the library thread (from inside the
    // handler) it does not wait.
    int clear_handler();

private:
    using Clock = std::chrono::steady_clock;
    struct Pending {
        proto::Op op = proto::Op::Hello;
        bool done = false;
        std::vector<uint8_t> body;
    };
    struct Event {
        uint32_t state, reserved;
    };
    enum class Read { Frame, Idle, Broken };

    void library_main();
    // Waits for the read turn or the reply of `slot`, reading frames while it
    // holds the turn, until the reply came, the deadline passed or the
    // connection broke. Called with mu_ held through `lk`.
    int await(Pending& slot, Clock::time_point deadline, std::unique_lock<std::mutex>& lk);
    // With the read turn: reads and routes frames until `until`, or until
    // `slot` (if any) has its reply; then routes the frames already buffered,
    // so that none waits unseen once the turn is given back.
    // `ready`: the socket is known to be readable.
    void read_frames(Pending* slot, Clock::time_point until, bool ready);
    // With the read turn: the next whole frame, receiving more until `until`.
    // A frame begun must be whole within the call timeout.
    Read next_frame(Clock::time_point until, bool ready, const uint8_t*& body, size_t& len);
    // With the read turn: receives what the socket holds into the buffer,
    // waiting at most one slice when `wait` (Frame: bytes came; Idle: none).
    Read receive(bool wait);
    // With the read turn: the next whole frame already in the buffer (Idle:
    // none; Broken: a bad length header).
    Read take_frame(const uint8_t*& body, size_t& len);
    // Breaks the connection for a fault found while reading, and wakes
    // everyone blocked on the socket.
    Read broken_by(const std::string& why);
    // Routes one frame from the peer; true when it is the reply of `mine`.
    bool dispatch(const uint8_t* body, size_t len, Pending* mine);
    // Delivers queued events to the handler, one at a time, in order.
    void deliver_events();
    int send(const std::vector<uint8_t>& frame);
    void mark_broken(const std::string& why);
    void shutdown_socket();

    const int call_timeout_ms_;
    const std::string peer_;
    HController handle_ = -1;
    // The socket; closed only by the library thread, after the connection
    // broke and while it holds the read turn for good.
    const int fd_;
    bool blocking_reads_ = false;  // the socket blocks reads, at most a slice each

    // Guards writing, shutting down and closing the socket.
    std::mutex write_mu_;
    bool closed_ = false;

    // The receive buffer: bytes [head_, tail_) are received and not yet
    // routed; a frame begun there must be whole by stall_deadline_. Only the
    // holder of the read turn touches these.
    std::unique_ptr<uint8_t[]> inbox_;
    size_t inbox_size_ = 0;
    size_t head_ = 0, tail_ = 0;
    Clock::time_point stall_deadline_;

    // Guards everything below.
    mutable std::mutex mu_;
    std::condition_variable cv_;       // callers waiting; UnregisterOnPLCChanged draining
    std::condition_variable lib_cv_;   // the library thread resting
    bool broken_ = false;
    uint32_t seq_;
    std::thread::id library_id_;
    std::vector<std::pair<uint32_t, Pending*>> pending_;  // by sequence number; a few at most
    bool reading_ = false;          // the read turn is taken
    int callers_ = 0;               // calls waiting for their replies
    int followers_ = 0;             // of them, those waiting for the turn
    bool resting_ = false;          // the library thread waits on lib_cv_
    bool watching_ = false;         // the library thread polls the socket and wake_fd_
    int wake_fd_ = -1;              // an eventfd that ends its poll early; -1 if none could be made
    Clock::time_point last_call_;   // when the latest call ended
    std::deque<Event> events_;
    XAL_PLC_CHANGED_CALLBACK handler_ = nullptr;
    bool handler_running_ = false;
};

}  // namespace tessaro::lib
