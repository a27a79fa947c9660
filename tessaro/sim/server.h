// The listening side of the simulator: binds the address, accepts clients
// and runs one Connection per client until it ends or the server stops.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "connection.h"
#include "machine.h"

namespace tessaro::sim {

class Server {
public:
    Server(Machine& m, ServerOptions opt, LogFn log);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds `address` (IPv4 or IPv6, brackets allowed) and `port` (0: any
    // free port) and listens. False with `error` set when that fails.
    bool listen(const std::string& address, uint16_t port, std::string& error);
    // The bound address as "ADDR:PORT", or "[ADDR]:PORT" for IPv6.
    std::string endpoint() const { return endpoint_; }
    uint16_t port() const { return port_; }

    void start();
    // Stops accepting, ends every connection and waits for them; bounded,
    // since every connection wakes from its waits at once.
    void stop();

private:
    void accept_loop();
    void reap();

    Machine& machine_;
    ServerOptions opt_;
    LogFn log_;
    int listen_fd_ = -1;
    std::string endpoint_;
    uint16_t port_ = 0;

    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex conns_mu_;
    std::list<std::unique_ptr<Connection>> conns_;
};

// "ADDR:PORT" or "[ADDR]:PORT" of a socket address.
std::string format_endpoint(const sockaddr* sa);

}  // namespace tessaro::sim
