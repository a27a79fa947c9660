// The listening side of the simulator: one event loop (epoll) that accepts
// clients and serves every connection, with a timer for the faults' delays
// and a thread of its own for the saves of --state, so that nothing the loop
// does waits on a client, a clock or the disk.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "connection.h"
#include "machine.h"
#include "request_path.h"

namespace tessaro::sim {

class Server : public ConnectionHost {
public:
    Server(Machine& m, ServerOptions opt, LogFn log);
    virtual ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds `address` (IPv4 or IPv6, brackets allowed) and `port` (0: any
    // free port) and listens. False with `error` set when that fails.
    bool listen(const std::string& address, uint16_t port, std::string& error);
    // The bound address as "ADDR:PORT", or "[ADDR]:PORT" for IPv6.
    std::string endpoint() const { return endpoint_; }
    uint16_t port() const { return port_; }

    // Starts the loop and the saver. Throws std::system_error when a thread
    // or the epoll set cannot be had.
    void start();
    // Stops accepting and ends every connection at once (waiting requests
    // are not waited out) and the threads; bounded.
    void stop();

    // The path every request takes; other entries (a control API) submit
    // to it from their own threads.
    RequestPath& path() { return path_; }

    // For the connections, on the loop thread.
    bool stopping() const override { return stopping_; }
    void arm(std::shared_ptr<Connection> c, TimePoint when) override;
    void defer_save(std::shared_ptr<Connection> c) override;

private:
    void loop();
    void accept_all();
    void sweep(TimePoint now);
    void save_loop();
    // Runs `task` on the loop thread (from any thread).
    void post(std::function<void()> task);

    ServerOptions opt_;
    LogFn log_;
    RequestPath path_;
    int listen_fd_ = -1;
    int epfd_ = -1;
    int wake_fd_ = -1;
    std::string endpoint_;
    uint16_t port_ = 0;

    std::atomic<bool> stopping_{false};
    std::thread loop_thread_, saver_;
    // Loop thread only.
    std::unordered_map<uint64_t, std::shared_ptr<Connection>> conns_;
    uint64_t next_id_ = 2;  // 0: the listening socket, 1: the wake-up
    std::multimap<TimePoint, std::weak_ptr<Connection>> delays_;
    TimePoint accept_paused_until_{};
    bool accept_paused_ = false;

    std::mutex post_mu_;
    std::vector<std::function<void()>> posted_;

    std::mutex save_mu_;
    std::condition_variable save_cv_;
    std::vector<std::shared_ptr<Connection>> saves_;
    bool saver_stop_ = false;
};

// "ADDR:PORT" or "[ADDR]:PORT" of a socket address.
std::string format_endpoint(const sockaddr* sa);
// A listening TCP socket (non-blocking, close-on-exec) on `address` (IPv4
// or IPv6, brackets allowed) and `port` (0: a free one), its address as
// bound in `bound`; -1 with `error` set when that fails.
int listen_on(const std::string& address, uint16_t port, int backlog, sockaddr_storage& bound, std::string& error);
uint16_t port_of(const sockaddr_storage& ss);
// An epoll set watching `listen_fd` (for reading, under `listen_key`) and a
// new eventfd for waking the loop (`wake_fd`, under `wake_key`). Throws
// std::system_error when either cannot be had.
void open_event_loop(int listen_fd, uint64_t listen_key, uint64_t wake_key, int& epfd, int& wake_fd);

}  // namespace tessaro::sim
