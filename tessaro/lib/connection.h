// One controller connection: the socket, its reader thread, the routing of
// replies to waiting callers and the delivery of PLC-change events.
//
// Threading. The reader thread is the only one that reads the socket. It
// hands each reply to the caller waiting for its sequence number and queues
// each PlcChanged event, delivering queued events to the registered handler
// on itself, in arrival order. A handler may call library operations on the
// same connection: such a call, made on the reader thread, reads the socket
// itself until its reply comes, routing other replies as usual and queueing
// events, which are delivered after the handler returns. Writers take a
// separate lock, so any number of threads may have requests outstanding.
//
// Lifetime. Connections are never destroyed (the handle table keeps them for
// the process lifetime). Once broken (closed by the peer, socket error, bad
// frame, undecodable reply, failed write), a connection stays broken: every
// waiter and every later call gets E_UNAVAIL, and the reader thread closes the
// socket and ends.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
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

    // Gives the connection its handle and starts the reader thread (detached:
    // the program never closes a connection and may exit at any time).
    // False when no thread could be started; the socket is closed then.
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
    // Removes the handler. Off the reader thread it then waits until a handler
    // call in progress has returned, so the handler is not running and is never
    // called again once this returns (E_OK), or gives up after kHandlerDrainMs
    // (E_TIMEOUT). On the reader thread (from inside the handler) it does not
    // wait.
    int clear_handler();

private:
    struct Pending {
        proto::Op op = proto::Op::Hello;
        bool done = false;
        std::vector<uint8_t> body;
    };
    struct Event {
        uint32_t state, reserved;
    };
    enum class Read { Frame, Idle, Broken };

    void reader_main();
    // Waits up to `wait_ms` for a frame to start, then reads it whole within
    // the call timeout. Breaks the connection on any failure.
    Read read_one(int wait_ms, std::vector<uint8_t>& body);
    // Routes one frame from the peer.
    void dispatch(const std::vector<uint8_t>& body);
    // Delivers queued events to the handler, one at a time, in order.
    void deliver_events();
    // On the reader thread inside a handler: reads frames until `slot` is done.
    int pump(Pending& slot, std::chrono::steady_clock::time_point deadline);
    int send(const std::vector<uint8_t>& frame);
    void mark_broken(const std::string& why);
    void shutdown_socket();

    const int call_timeout_ms_;
    const std::string peer_;
    HController handle_ = -1;

    // Guards fd_ for writing, shutting down and closing. Only the reader thread
    // reads the socket and only it closes it, so it may read fd_ unlocked.
    std::mutex write_mu_;
    int fd_;

    // Guards everything below.
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool broken_ = false;
    uint32_t seq_;
    std::thread::id reader_id_;
    std::map<uint32_t, Pending*> pending_;
    std::deque<Event> events_;
    XAL_PLC_CHANGED_CALLBACK handler_ = nullptr;
    bool handler_running_ = false;
};

}  // namespace tessaro::lib
