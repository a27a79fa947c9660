#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace tessaro::sim {

std::string format_endpoint(const sockaddr* sa) {
    char buf[INET6_ADDRSTRLEN] = "?";
    if (sa->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
        return std::string(buf) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (sa->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        return "[" + std::string(buf) + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    return "?";
}

Server::Server(Machine& m, ServerOptions opt, LogFn log) : machine_(m), opt_(opt), log_(std::move(log)) {}

Server::~Server() {
    stop();
    if (listen_fd_ >= 0) ::close(listen_fd_);
}

bool Server::listen(const std::string& address, uint16_t port, std::string& error) {
    std::string host = address;
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET, host.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        len = sizeof *in;
    } else if (inet_pton(AF_INET6, host.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        len = sizeof *in6;
    } else {
        error = "invalid bind address '" + address + "' (an IPv4 or IPv6 address is expected)";
        return false;
    }
    std::string where = format_endpoint(reinterpret_cast<sockaddr*>(&ss));
    int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "cannot open a socket: " + std::string(std::strerror(errno));
        return false;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, 64) != 0) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    sockaddr_storage bound{};
    socklen_t blen = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &blen);
    endpoint_ = format_endpoint(reinterpret_cast<sockaddr*>(&bound));
    port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                              : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    listen_fd_ = fd;
    return true;
}

void Server::start() {
    if (listen_fd_ < 0 || acceptor_.joinable()) return;
    stopping_ = false;
    acceptor_ = std::thread([this] { accept_loop(); });
}

void Server::stop() {
    stopping_ = true;
    if (acceptor_.joinable()) acceptor_.join();
    std::list<std::unique_ptr<Connection>> conns;
    {
        std::lock_guard<std::mutex> lk(conns_mu_);
        conns.swap(conns_);
    }
    for (auto& c : conns) c->stop();
    for (auto& c : conns) c->join();
}

void Server::reap() {
    std::lock_guard<std::mutex> lk(conns_mu_);
    for (auto it = conns_.begin(); it != conns_.end();) {
        if ((*it)->finished()) {
            (*it)->join();
            it = conns_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::accept_loop() {
    while (!stopping_) {
        pollfd pfd{listen_fd_, POLLIN, 0};
        int rc = ::poll(&pfd, 1, 200);
        reap();
        if (rc <= 0) continue;
        sockaddr_storage peer{};
        socklen_t plen = sizeof peer;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC);
        if (fd < 0) {
            // Out of descriptors and the like: back off instead of spinning.
            if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED) ::poll(nullptr, 0, 100);
            continue;
        }
        std::string who = format_endpoint(reinterpret_cast<sockaddr*>(&peer));
        size_t active = 0;
        {
            std::lock_guard<std::mutex> lk(conns_mu_);
            active = conns_.size();
        }
        if (active >= opt_.max_connections) {
            log_("connection from " + who + " refused: too many connections");
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto conn = std::make_unique<Connection>(machine_, fd, who, opt_, log_);
        try {
            conn->start();
        } catch (const std::system_error&) {
            log_("connection from " + who + " closed: no thread for it");
            continue;  // the destructor closes the socket
        }
        std::lock_guard<std::mutex> lk(conns_mu_);
        conns_.push_back(std::move(conn));
    }
}

}  // namespace tessaro::sim
