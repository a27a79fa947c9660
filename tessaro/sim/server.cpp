#include "server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace tessaro::sim {

namespace {
constexpr uint64_t kListenKey = 0, kWakeKey = 1;
}  // namespace

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

Server::Server(Machine& m, ServerOptions opt, LogFn log)
    : opt_(opt), log_(std::move(log)), path_(m, opt.state, opt.trace) {}

Server::~Server() {
    stop();
    for (int fd : {listen_fd_, epfd_, wake_fd_})
        if (fd >= 0) ::close(fd);
}

int listen_on(const std::string& address, uint16_t port, int backlog, sockaddr_storage& bound, std::string& error) {
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
        return -1;
    }
    std::string where = format_endpoint(reinterpret_cast<sockaddr*>(&ss));
    int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = "cannot open a socket: " + std::string(std::strerror(errno));
        return -1;
    }
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(fd, backlog) != 0) {
        error = "cannot listen on " + where + ": " + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    socklen_t blen = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &blen);
    return fd;
}

void open_event_loop(int listen_fd, uint64_t listen_key, uint64_t wake_key, int& epfd, int& wake_fd) {
    epfd = ::epoll_create1(EPOLL_CLOEXEC);
    wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epfd < 0 || wake_fd < 0) throw std::system_error(errno, std::generic_category(), "epoll");
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = listen_key;
    ::epoll_ctl(epfd, EPOLL_CTL_ADD, listen_fd, &ev);
    ev.data.u64 = wake_key;
    ::epoll_ctl(epfd, EPOLL_CTL_ADD, wake_fd, &ev);
}

uint16_t port_of(const sockaddr_storage& ss) {
    return ntohs(ss.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&ss)->sin6_port
                                          : reinterpret_cast<const sockaddr_in*>(&ss)->sin_port);
}

bool Server::listen(const std::string& address, uint16_t port, std::string& error) {
    sockaddr_storage bound{};
    int fd = listen_on(address, port, 128, bound, error);
    if (fd < 0) return false;
    endpoint_ = format_endpoint(reinterpret_cast<sockaddr*>(&bound));
    port_ = port_of(bound);
    listen_fd_ = fd;
    return true;
}

void Server::start() {
    if (listen_fd_ < 0 || loop_thread_.joinable()) return;
    open_event_loop(listen_fd_, kListenKey, kWakeKey, epfd_, wake_fd_);
    stopping_ = false;
    saver_stop_ = false;
    saver_ = std::thread([this] { save_loop(); });
    loop_thread_ = std::thread([this] { loop(); });
}

void Server::stop() {
    stopping_ = true;
    if (loop_thread_.joinable()) {
        post([] {});  // wakes the loop, which then ends
        loop_thread_.join();
    }
    {
        std::lock_guard<std::mutex> lk(save_mu_);
        saver_stop_ = true;
    }
    save_cv_.notify_all();
    if (saver_.joinable()) saver_.join();
    saves_.clear();
    posted_.clear();
}

void Server::post(std::function<void()> task) {
    bool first;
    {
        std::lock_guard<std::mutex> lk(post_mu_);
        first = posted_.empty();
        posted_.push_back(std::move(task));
    }
    if (first) {
        uint64_t one = 1;
        (void)!::write(wake_fd_, &one, sizeof one);
    }
}

void Server::arm(std::shared_ptr<Connection> c, TimePoint when) { delays_.emplace(when, c); }

void Server::defer_save(std::shared_ptr<Connection> c) {
    {
        std::lock_guard<std::mutex> lk(save_mu_);
        saves_.push_back(std::move(c));
    }
    save_cv_.notify_one();
}

void Server::save_loop() {
    std::unique_lock<std::mutex> lk(save_mu_);
    while (true) {
        save_cv_.wait(lk, [this] { return saver_stop_ || !saves_.empty(); });
        if (saver_stop_) return;
        std::vector<std::shared_ptr<Connection>> batch;
        batch.swap(saves_);
        lk.unlock();
        // Every change in the batch was made before this save begins: one
        // save makes them all durable.
        int saved = path_.save();
        post([batch = std::move(batch), saved] {
            for (const auto& c : batch) c->save_over(saved);
        });
        lk.lock();
    }
}

void Server::loop() {
    constexpr auto kSweep = std::chrono::milliseconds(100);  // how often the time bounds are checked
    epoll_event events[64];
    TimePoint next_sweep = Clock::now() + kSweep;
    while (!stopping_) {
        TimePoint wake = next_sweep;
        if (!delays_.empty()) wake = std::min(wake, delays_.begin()->first);
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(wake - Clock::now()).count();
        int n = ::epoll_wait(epfd_, events, 64, static_cast<int>(std::max<int64_t>(wait, 0)));
        for (int i = 0; i < n; ++i) {
            uint64_t key = events[i].data.u64;
            if (key == kListenKey) {
                accept_all();
            } else if (key == kWakeKey) {
                uint64_t count;
                (void)!::read(wake_fd_, &count, sizeof count);
                std::vector<std::function<void()>> tasks;
                {
                    std::lock_guard<std::mutex> lk(post_mu_);
                    tasks.swap(posted_);
                }
                for (auto& t : tasks) t();
            } else if (auto it = conns_.find(key); it != conns_.end()) {
                it->second->on_event(events[i].events);
                if (it->second->closed()) conns_.erase(it);
            }
        }
        TimePoint now = Clock::now();
        while (!delays_.empty() && delays_.begin()->first <= now) {
            std::shared_ptr<Connection> c = delays_.begin()->second.lock();
            delays_.erase(delays_.begin());
            if (c) c->delay_over();
        }
        if (now >= next_sweep) {
            sweep(now);
            next_sweep = now + kSweep;
        }
    }
    for (auto& [key, c] : conns_) c->close("simulator stopping");
    conns_.clear();
    delays_.clear();
}

void Server::sweep(TimePoint now) {
    for (auto it = conns_.begin(); it != conns_.end();) {
        it->second->check_time(now);
        it = it->second->closed() ? conns_.erase(it) : std::next(it);
    }
    if (accept_paused_ && now >= accept_paused_until_) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kListenKey;
        ::epoll_ctl(epfd_, EPOLL_CTL_MOD, listen_fd_, &ev);
        accept_paused_ = false;
    }
}

void Server::accept_all() {
    while (true) {
        sockaddr_storage peer{};
        socklen_t plen = sizeof peer;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&peer), &plen, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors and the like: stop accepting for a while
                // instead of spinning on the listening socket.
                epoll_event ev{};
                ev.data.u64 = kListenKey;
                ::epoll_ctl(epfd_, EPOLL_CTL_MOD, listen_fd_, &ev);
                accept_paused_ = true;
                accept_paused_until_ = Clock::now() + std::chrono::milliseconds(100);
            }
            return;
        }
        std::string who = format_endpoint(reinterpret_cast<sockaddr*>(&peer));
        // Connections closed in this round are already gone from conns_.
        if (conns_.size() >= opt_.max_connections) {
            log_("connection from " + who + " refused: too many connections");
            ::close(fd);
            continue;
        }
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        uint64_t id = next_id_++;
        epoll_event ev{};
        ev.data.u64 = id;
        if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            log_("connection from " + who + " closed: cannot watch it");
            ::close(fd);
            continue;
        }
        auto c = std::make_shared<Connection>(*this, path_, epfd_, fd, id, who, opt_, log_);
        conns_.emplace(id, c);
        c->start();
    }
}

}  // namespace tessaro::sim
