#include "http_server.h"

#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "server.h"
#include "text/json_writer.h"

namespace tessaro::sim::http {

namespace {

constexpr uint64_t kListenKey = 0;
constexpr uint64_t kWakeKey = 1;
constexpr int kBacklog = 1024;
// Connections past the cap are closed at once; saying so once a second is enough.
constexpr auto kRefusalLogInterval = std::chrono::seconds(1);

const char* reason(int status) {
    switch (status) {
        case 200: return "OK";
        case 201: return "Created";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 408: return "Request Timeout";
        case 409: return "Conflict";
        case 413: return "Content Too Large";
        case 415: return "Unsupported Media Type";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        default: return "Unknown";
    }
}

void append_chunk(std::string& out, const std::string& part) {
    if (part.empty()) return;
    char size[20];
    std::snprintf(size, sizeof size, "%zx\r\n", part.size());
    out += size;
    out += part;
    out += "\r\n";
}

// Room for the connections the cap allows, beside the library's clients and
// the files: the soft limit on open files is raised towards the hard one.
void raise_file_limit(size_t wanted) {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur >= wanted) return;
    rl.rlim_cur = rl.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(wanted, rl.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &rl);
}

}  // namespace

Response error_response(int status, const std::string& what) {
    Response r;
    r.status = status;
    r.body = text::JsonWriter().object().key("error").str(what).end().take();
    return r;
}

struct Server::Conn {
    enum class Phase { Reading, Handling, Writing, Lingering };

    Conn(int fd, uint64_t id, std::string peer, const Limits& limits, Clock::time_point now)
        : fd(fd), id(id), peer(std::move(peer)), reader(limits), accepted(now) {}

    int fd;
    uint64_t id;
    std::string peer;
    RequestReader reader;
    std::string in;
    size_t received = 0;
    Phase phase = Phase::Reading;
    uint32_t watched = 0;  // the epoll events asked for
    Clock::time_point accepted;
    bool head = false;     // a HEAD request: the answer's header only
    bool continued = false;  // "100 Continue" sent
    bool chunked = false;  // the streamed parts are chunk-framed
    std::string out;
    size_t sent = 0;
    Clock::time_point progress;  // the last time output went out, or was queued
    std::shared_ptr<BodySource> source;  // none, or a streamed body not ended yet
    std::chrono::milliseconds interval{0};
    bool pulling = false;
    Clock::time_point next_pull;
    Clock::time_point linger_until;
    size_t lingered = 0;
};

Server::Server(Handler handler, Headers headers, LogFn log, ServerLimits limits)
    : handler_(std::move(handler)), headers_(std::move(headers)), log_(std::move(log)), limits_(limits) {}

Server::~Server() {
    stop();
    for (int fd : {listen_fd_, epfd_, wake_fd_})
        if (fd >= 0) ::close(fd);
}

bool Server::listen(const std::string& address, uint16_t port, std::string& error) {
    sockaddr_storage bound{};
    listen_fd_ = listen_on(address, port, kBacklog, bound, error);
    if (listen_fd_ < 0) return false;
    port_ = port_of(bound);
    raise_file_limit(limits_.max_connections + 1024);
    return true;
}

void Server::start() {
    if (listen_fd_ < 0 || loop_thread_.joinable()) return;
    open_event_loop(listen_fd_, kListenKey, kWakeKey, epfd_, wake_fd_);
    for (size_t i = 0; i < limits_.workers; ++i) workers_.emplace_back([this] { work(); });
    loop_thread_ = std::thread([this] { loop(); });
}

void Server::stop() {
    stopping_ = true;
    if (wake_fd_ >= 0) {
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
    if (loop_thread_.joinable()) loop_thread_.join();
    {
        std::lock_guard<std::mutex> lk(work_mu_);
        workers_stop_ = true;
    }
    work_cv_.notify_all();
    for (auto& w : workers_)
        if (w.joinable()) w.join();
    workers_.clear();
}

void Server::run(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lk(work_mu_);
        tasks_.push_back(std::move(task));
    }
    work_cv_.notify_one();
}

void Server::work() {
    while (true) {
        std::function<void()> task;
        {
            std::unique_lock<std::mutex> lk(work_mu_);
            work_cv_.wait(lk, [this] { return workers_stop_ || !tasks_.empty(); });
            if (workers_stop_) return;
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

void Server::post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lk(post_mu_);
        posted_.push_back(std::move(task));
    }
    uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
}

void Server::loop() {
    epoll_event events[64];
    auto last_sweep = Clock::now();
    while (!stopping_) {
        int n = ::epoll_wait(epfd_, events, 64, 100);
        for (int i = 0; i < n && !stopping_; ++i) {
            uint64_t key = events[i].data.u64;
            if (key == kListenKey) {
                accept_all();
            } else if (key == kWakeKey) {
                uint64_t count;
                while (::read(wake_fd_, &count, sizeof count) > 0) {
                }
            } else if (auto it = conns_.find(key); it != conns_.end()) {
                on_event(*it->second, events[i].events);
            }
        }
        std::vector<std::function<void()>> posted;
        {
            std::lock_guard<std::mutex> lk(post_mu_);
            posted.swap(posted_);
        }
        for (auto& task : posted) task();
        auto now = Clock::now();
        if (now - last_sweep >= std::chrono::milliseconds(100)) {
            sweep(now);
            last_sweep = now;
        }
    }
    for (auto& [id, c] : conns_) ::close(c->fd);
    conns_.clear();
    open_ = 0;
}

void Server::accept_all() {
    while (true) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        int fd = ::accept4(listen_fd_, reinterpret_cast<sockaddr*>(&ss), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;  // one client gone: the others still wait
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors and the like: accept again shortly instead of spinning.
                epoll_event ev{};
                ev.data.u64 = kListenKey;
                ::epoll_ctl(epfd_, EPOLL_CTL_MOD, listen_fd_, &ev);
                accept_paused_ = true;
                accept_paused_until_ = Clock::now() + std::chrono::milliseconds(100);
            }
            return;
        }
        auto now = Clock::now();
        if (conns_.size() >= limits_.max_connections) {
            ::close(fd);
            ++refused_;
            if (now - refused_logged_ >= kRefusalLogInterval) {
                log_("http: refused " + std::to_string(refused_) + " connection(s): " +
                     std::to_string(conns_.size()) + " open");
                refused_logged_ = now;
                refused_ = 0;
            }
            continue;
        }
        uint64_t id = next_id_++;
        auto c = std::make_unique<Conn>(fd, id, format_endpoint(reinterpret_cast<sockaddr*>(&ss)), limits_, now);
        Conn& conn = *c;
        conns_.emplace(id, std::move(c));
        open_ = conns_.size();
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLRDHUP;
        ev.data.u64 = id;
        if (::epoll_ctl(epfd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
            close(id);
            continue;
        }
        conn.watched = ev.events;
    }
}

void Server::watch(Conn& c, uint32_t events) {
    if (c.watched == events) return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = c.id;
    ::epoll_ctl(epfd_, EPOLL_CTL_MOD, c.fd, &ev);
    c.watched = events;
}

void Server::close(uint64_t id) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return;
    ::close(it->second->fd);  // also takes it out of the epoll set
    conns_.erase(it);
    open_ = conns_.size();
}

void Server::on_event(Conn& c, uint32_t events) {
    if (events & (EPOLLERR | EPOLLHUP)) return close(c.id);
    switch (c.phase) {
        case Conn::Phase::Reading: return read_request(c);
        case Conn::Phase::Handling: return;  // nothing is watched until the answer is there
        case Conn::Phase::Writing:
            if ((events & EPOLLRDHUP) && c.source) return close(c.id);
            if (events & EPOLLOUT) flush(c);
            return;
        case Conn::Phase::Lingering: {
            char buf[16384];
            while (true) {
                ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
                if (n > 0) {
                    c.lingered += static_cast<size_t>(n);
                    if (c.lingered > limits_.body_bytes * 8) return close(c.id);
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
                return close(c.id);
            }
        }
    }
}

void Server::read_request(Conn& c) {
    char buf[16384];
    while (true) {
        ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) return close(c.id);  // gone before its request was whole
        c.received += static_cast<size_t>(n);
        c.in.append(buf, static_cast<size_t>(n));
        switch (c.reader.feed(c.in)) {
            case RequestReader::State::More:
                // A client that waits for leave to send its body gets it.
                if (!c.continued && c.reader.expects_continue()) {
                    c.continued = true;
                    static const char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";
                    [[maybe_unused]] ssize_t sent = ::send(c.fd, kContinue, sizeof kContinue - 1, MSG_NOSIGNAL);
                }
                continue;
            case RequestReader::State::Failed:
                return answer(c, error_response(c.reader.status(), c.reader.error()));
            case RequestReader::State::Done: {
                Request req = c.reader.take();
                c.in.clear();
                c.in.shrink_to_fit();
                req.peer = c.peer;
                c.head = req.method == "HEAD";
                c.chunked = req.version >= 11;
                c.phase = Conn::Phase::Handling;
                watch(c, 0);
                uint64_t id = c.id;
                auto shared = std::make_shared<Request>(std::move(req));
                run([this, id, shared] {
                    Response r;
                    try {
                        r = handler_(*shared);
                    } catch (const std::bad_alloc&) {
                        r = error_response(500, "out of memory");
                    } catch (const std::exception& e) {
                        r = error_response(500, std::string("internal error: ") + e.what());
                    }
                    auto answer_ptr = std::make_shared<Response>(std::move(r));
                    post([this, id, answer_ptr] {
                        auto it = conns_.find(id);
                        if (it != conns_.end()) answer(*it->second, std::move(*answer_ptr));
                    });
                });
                return;
            }
        }
    }
}

void Server::answer(Conn& c, Response r) {
    std::string& out = c.out;
    out = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
    bool no_body = r.status == 204 || r.status == 304;
    if (!no_body) out += "Content-Type: " + r.type + "\r\n";
    if (r.source && !c.head) {
        if (c.chunked) out += "Transfer-Encoding: chunked\r\n";
    } else if (!no_body) {
        out += "Content-Length: " + std::to_string(r.body.size()) + "\r\n";
    }
    out += "Connection: close\r\n";
    for (const auto& [name, value] : headers_) out += name + ": " + value + "\r\n";
    for (const auto& [name, value] : r.headers) out += name + ": " + value + "\r\n";
    out += "\r\n";
    if (!c.head && !no_body) {
        if (r.source && c.chunked)
            append_chunk(out, r.body);
        else
            out += r.body;
    }
    if (r.source && !c.head) {
        c.source = std::move(r.source);
        c.interval = r.interval;
        c.next_pull = Clock::now();  // the first part as soon as the header is out
    }
    c.sent = 0;
    c.phase = Conn::Phase::Writing;
    c.progress = Clock::now();
    watch(c, EPOLLOUT | (c.source ? uint32_t{EPOLLRDHUP} : 0u));
    flush(c);
}

void Server::flush(Conn& c) {
    while (c.sent < c.out.size()) {
        ssize_t n = ::send(c.fd, c.out.data() + c.sent, c.out.size() - c.sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) return close(c.id);
        c.sent += static_cast<size_t>(n);
        c.progress = Clock::now();
    }
    c.out.clear();
    c.sent = 0;
    if (c.source) {
        // All sent: the stream waits for its next part, watching only for
        // its client leaving.
        watch(c, EPOLLRDHUP);
        if (!c.pulling && Clock::now() >= c.next_pull) pull(c);
        return;
    }
    linger(c);
}

void Server::pull(Conn& c) {
    c.pulling = true;
    uint64_t id = c.id;
    std::shared_ptr<BodySource> source = c.source;
    run([this, id, source] {
        auto part = std::make_shared<std::string>();
        bool more = true;
        try {
            more = source->next(*part);
        } catch (const std::exception&) {
            more = false;  // out of memory: the body ends where it is
        }
        post([this, id, part, more] {
            auto it = conns_.find(id);
            if (it == conns_.end()) return;
            Conn& c = *it->second;
            c.pulling = false;
            c.next_pull = Clock::now() + c.interval;
            if (c.chunked) {
                append_chunk(c.out, *part);
                if (!more) c.out += "0\r\n\r\n";
            } else {
                c.out += *part;
            }
            if (!more) c.source.reset();
            if (c.out.empty()) return;
            c.progress = Clock::now();
            watch(c, EPOLLOUT | (c.source ? uint32_t{EPOLLRDHUP} : 0u));
            flush(c);
        });
    });
}

// The answer is out: the connection is closed once the client has read it,
// reading and dropping what it still sends meanwhile (closing with unread
// input would reset the connection and could lose the answer).
void Server::linger(Conn& c) {
    ::shutdown(c.fd, SHUT_WR);
    c.phase = Conn::Phase::Lingering;
    c.linger_until = Clock::now() + limits_.linger;
    watch(c, EPOLLIN | EPOLLRDHUP);
}

void Server::sweep(Clock::time_point now) {
    if (accept_paused_ && now >= accept_paused_until_) {
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = kListenKey;
        ::epoll_ctl(epfd_, EPOLL_CTL_MOD, listen_fd_, &ev);
        accept_paused_ = false;
    }
    std::vector<uint64_t> dropped;
    std::vector<Conn*> late, due;
    for (auto& [id, cp] : conns_) {
        Conn& c = *cp;
        switch (c.phase) {
            case Conn::Phase::Reading: {
                auto age = now - c.accepted;
                bool header_late = !c.reader.header_done() && age > limits_.header_deadline;
                if (header_late || age > limits_.request_deadline) {
                    // A connection that never sent a byte is closed without a word.
                    if (c.received == 0)
                        dropped.push_back(id);
                    else
                        late.push_back(&c);
                }
                break;
            }
            case Conn::Phase::Handling: break;
            case Conn::Phase::Writing:
                if (c.sent < c.out.size() && now - c.progress > limits_.send_stall) {
                    log_("http " + c.peer + " dropped: it has read nothing for " +
                         std::to_string(limits_.send_stall.count() / 1000) + " s");
                    dropped.push_back(id);
                } else if (c.out.empty() && c.source && !c.pulling && now >= c.next_pull) {
                    due.push_back(&c);
                }
                break;
            case Conn::Phase::Lingering:
                if (now >= c.linger_until) dropped.push_back(id);
                break;
        }
    }
    for (Conn* c : late) {
        bool header = !c->reader.header_done();
        answer(*c, error_response(408, header ? "the request's header did not arrive within " +
                                                     std::to_string(limits_.header_deadline.count() / 1000) + " s"
                                              : "the request did not arrive within " +
                                                     std::to_string(limits_.request_deadline.count() / 1000) + " s"));
    }
    for (Conn* c : due) pull(*c);
    for (uint64_t id : dropped) close(id);
}

}  // namespace tessaro::sim::http
