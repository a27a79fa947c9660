// One client connection, served by the server's event loop: bytes in are cut
// into frames and each frame goes down the request path; replies and pushed
// events go out without blocking. A request that must wait (a fault's delay,
// a save before its reply) pauses the connection's input until it is
// answered, so replies keep their order; output that the client does not
// take is buffered up to a bound, then the client is dropped, so no client
// ever stalls the loop or the others.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "log.h"
#include "machine.h"
#include "request_path.h"

namespace tessaro::sim {

class Connection;
class StateFile;
class Trace;

struct ServerOptions {
    int handshake_timeout_ms = 5000;  // from accepting until a successful Hello
    int frame_timeout_ms = 10000;     // a frame, once begun, must arrive whole within this
    int write_timeout_ms = 2000;      // output pending without progress for this long drops the client
    size_t max_backlog_bytes = 8u << 20;  // queued, unsent output of one connection (two largest frames)
    size_t max_connections = 256;
    StateFile* state = nullptr;  // --state: acknowledged changes are saved before their replies
    Trace* trace = nullptr;      // --trace: every request and event is recorded
};

// What a connection asks of the loop that serves it, on the loop thread.
class ConnectionHost {
public:
    virtual bool stopping() const = 0;
    // Calls c->delay_over() at `when`.
    virtual void arm(std::shared_ptr<Connection> c, TimePoint when) = 0;
    // Saves the machine off the loop, then calls c->save_over().
    virtual void defer_save(std::shared_ptr<Connection> c) = 0;

protected:
    ~ConnectionHost() = default;
};

class Connection : public PlcSink, public std::enable_shared_from_this<Connection> {
public:
    // Takes ownership of the connected, non-blocking socket `fd`, which the
    // server has added to its epoll set `epfd` (with no events yet) under
    // the key `id`.
    Connection(ConnectionHost& host, RequestPath& path, int epfd, int fd, uint64_t id, std::string peer,
               const ServerOptions& opt, LogFn log);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // The loop thread's calls.
    void start();
    void on_event(uint32_t events);
    // Enforces the time bounds (handshake, frame, write) at `now`.
    void check_time(TimePoint now);
    // A fault's delay has passed: the waiting request goes on.
    void delay_over();
    // The save that the waiting request needed has ended (`saved`: E_OK or
    // E_FAILURE): its reply goes out and input resumes.
    void save_over(int saved);
    // Ends the connection (first reason wins), at once: closes the socket
    // and drops what the machine keeps for it.
    void close(const std::string& why);
    bool closed() const { return closed_; }

    // Any thread: traces a PlcChanged event and sends it or queues it.
    void plc_changed(uint32_t word) override;

private:
    enum class Phase { Reading, Delayed, Saving, Draining };

    void read_input(uint32_t events);
    void serve_input();
    void serve(const uint8_t* body, size_t len);
    void proceed();
    void hold(Phase why);
    void resume();
    void deliver();
    bool send(const std::vector<uint8_t>& frame);
    void flush_output();
    void fail_output(const std::string& why);
    void set_reason(const std::string& why);
    void update_interest();  // under out_mu_

    ConnectionHost& host_;
    RequestPath& path_;
    const int epfd_, fd_;
    const uint64_t id_;
    const std::string peer_;
    const ServerOptions opt_;
    LogFn log_;
    Session session_;
    Caller caller_;

    // Loop thread only.
    Phase phase_ = Phase::Reading;
    std::vector<uint8_t> in_;  // received bytes not yet served
    size_t in_off_ = 0;
    std::optional<TimePoint> frame_since_;  // when the partial frame in in_ began
    TimePoint handshake_deadline_;
    Pending pending_;  // the request being served, or that a delay or a save holds up
    bool closed_ = false;

    // Output, from any thread.
    std::mutex out_mu_;
    std::vector<uint8_t> out_;
    size_t out_off_ = 0;
    TimePoint out_since_;      // last progress while output is pending
    bool reading_ = false;     // EPOLLIN wanted
    uint32_t interest_ = 0;    // the events registered
    bool dead_ = false;        // output failed or the socket is closed: nothing more is sent
    std::string reason_;       // why the connection ends, first cause wins
};

}  // namespace tessaro::sim
