// The HTTP/1.x server of the control API, made to stay up under hostile
// clients. One event loop (epoll) reads every connection and writes every
// answer, so a slow or idle client costs a few bytes, never a thread; a
// request reaches a worker only once it has arrived whole, within bounds of
// size (see Limits) and of time (see ServerLimits); each connection carries
// one request and is closed after its answer. A long body is sent in parts,
// each asked for only when the one before has gone out, so a reader that
// stops holds one part, and is dropped once it has not read for a while.
// The server knows nothing of the API: a handler answers every request.
#pragma once

#include <sys/epoll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "log.h"
#include "http_request.h"

namespace tessaro::sim::http {

// The rest of a body, made part by part: a long answer, an event stream.
class BodySource {
public:
    virtual ~BodySource() = default;
    // Appends the next part to `out` (nothing: nothing new yet); false once
    // the body has ended. Called on a worker, one call at a time, and only
    // when everything given before has been sent.
    virtual bool next(std::string& out) = 0;
};

using Headers = std::vector<std::pair<std::string, std::string>>;

struct Response {
    int status = 200;
    std::string type = "application/json";
    std::string body;
    Headers headers;
    // A body sent in parts after `body` (chunked; to an HTTP/1.0 client
    // until the connection closes). Asked again `interval` after each
    // part has been sent; a client that hangs up ends it at once.
    std::shared_ptr<BodySource> source;
    std::chrono::milliseconds interval{0};
};

// {"error": what} with `status`.
Response error_response(int status, const std::string& what);

using Handler = std::function<Response(Request&)>;

struct ServerLimits : Limits {
    std::chrono::milliseconds header_deadline{5000};    // from the connection to the header's end
    std::chrono::milliseconds request_deadline{15000};  // from the connection to the body's end
    std::chrono::milliseconds send_stall{10000};        // output unsent without progress this long drops the client
    std::chrono::milliseconds linger{2000};             // reading what a client still sends after its answer
    size_t max_connections = 1024;
    size_t workers = 8;
};

class Server {
public:
    // `handler` runs on the workers; `headers` go with every answer,
    // the server's own refusals included.
    Server(Handler handler, Headers headers, LogFn log, ServerLimits limits = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds `address` (IPv4 or IPv6, brackets allowed) and `port` (0: a
    // free one). False with `error` set when that fails.
    bool listen(const std::string& address, uint16_t port, std::string& error);
    uint16_t port() const { return port_; }
    // Throws std::system_error when a thread or the epoll set cannot be had.
    void start();
    // Closes every connection and ends the threads. Bounded as long as the
    // handler's work is: a handler that waits must be woken first.
    void stop();
    // Connections open now (for tests and the log).
    size_t connections() const { return open_; }

private:
    struct Conn;
    using Clock = std::chrono::steady_clock;

    void loop();
    void accept_all();
    void on_event(Conn& c, uint32_t events);
    void read_request(Conn& c);
    void answer(Conn& c, Response r);
    void flush(Conn& c);
    void pull(Conn& c);
    void linger(Conn& c);
    void watch(Conn& c, uint32_t events);
    void close(uint64_t id);
    void sweep(Clock::time_point now);
    // Runs `task` on a worker; `done` then on the loop thread.
    void run(std::function<void()> task);
    void post(std::function<void()> task);
    void work();

    Handler handler_;
    Headers headers_;
    LogFn log_;
    ServerLimits limits_;
    int listen_fd_ = -1;
    int epfd_ = -1;
    int wake_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stopping_{false};
    std::atomic<size_t> open_{0};
    std::thread loop_thread_;
    std::vector<std::thread> workers_;

    // Loop thread only.
    std::unordered_map<uint64_t, std::unique_ptr<Conn>> conns_;
    uint64_t next_id_ = 2;  // 0: the listening socket, 1: the wake-up
    Clock::time_point accept_paused_until_{};
    bool accept_paused_ = false;
    Clock::time_point refused_logged_{};
    size_t refused_ = 0;

    std::mutex post_mu_;
    std::vector<std::function<void()>> posted_;

    std::mutex work_mu_;
    std::condition_variable work_cv_;
    std::deque<std::function<void()>> tasks_;
    bool workers_stop_ = false;
};

}  // namespace tessaro::sim::http
