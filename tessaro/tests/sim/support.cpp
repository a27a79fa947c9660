#include "support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "scenario.h"

namespace tessaro::sim::test {

MachineConfig load(const std::string& text) {
    MachineConfig cfg;
    std::string error;
    EXPECT_TRUE(load_scenario_text(text, "test.json", cfg, error)) << error;
    return cfg;
}

std::string load_error(const std::string& text, const std::string& name) {
    MachineConfig cfg;
    std::string error;
    return load_scenario_text(text, name, cfg, error) ? std::string() : error;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// ---- RawClient --------------------------------------------------------------

RawClient::~RawClient() { close(); }

bool RawClient::connect(uint16_t port) {
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return false;
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void RawClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool RawClient::send(const std::vector<uint8_t>& frame) {
    return wire::write_frame(fd_, frame, 2000) == wire::IoStatus::Ok;
}

bool RawClient::send_bytes(const void* data, size_t len) {
    std::vector<uint8_t> v(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + len);
    return send(v);
}

wire::IoStatus RawClient::read(std::vector<uint8_t>& body, int timeout_ms) {
    return wire::read_frame(fd_, body, timeout_ms);
}

bool RawClient::closed_within(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<uint8_t> body;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        wire::IoStatus st = read(body, static_cast<int>(left.count()));
        if (st == wire::IoStatus::Closed || st == wire::IoStatus::Error) return true;
        if (st == wire::IoStatus::Timeout) return false;
    }
}

std::vector<uint8_t> RawClient::call(const wire::Writer& w, int timeout_ms) {
    if (!send(w.frame())) return {};
    wire::Reader sent(w.body());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        std::vector<uint8_t> body;
        if (read(body, static_cast<int>(left.count())) != wire::IoStatus::Ok) return {};
        wire::Reader r(body);
        if (r.kind() == wire::Kind::Event) {
            events.push_back(std::move(body));
            continue;
        }
        if (r.kind() == wire::Kind::Reply && r.seq() == sent.seq()) return body;
    }
}

bool RawClient::hello() {
    auto w = request(proto::Op::Hello);
    w.str(wire::kMagic).u32(wire::kProtocolVersion);
    Reply r(call(w));
    return r.ok && r.result == 0;
}

bool RawClient::next_event(uint32_t& word, int timeout_ms) {
    std::vector<uint8_t> body;
    if (!events.empty()) {
        body = std::move(events.front());
        events.pop_front();
    } else if (read(body, timeout_ms) != wire::IoStatus::Ok) {
        return false;
    }
    wire::Reader r(body);
    uint32_t reserved = 1;
    return r.kind() == wire::Kind::Event && r.seq() == 0 && r.op() == static_cast<uint16_t>(proto::Op::PlcChanged) &&
           r.u32(word) && r.u32(reserved) && reserved == 0 && r.at_end();
}

Reply::Reply(std::vector<uint8_t> b) : body(std::move(b)), fields(body) {
    ok = fields.ok() && fields.kind() == wire::Kind::Reply && fields.i32(result);
}

// ---- SimProcess -------------------------------------------------------------

SimProcess::~SimProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (err_fd_ >= 0) ::close(err_fd_);
    if (out_fd_ >= 0) ::close(out_fd_);
}

bool SimProcess::start(const std::vector<std::string>& args) {
    int err_pipe[2], out_pipe[2];
    if (::pipe2(err_pipe, O_CLOEXEC) != 0 || ::pipe2(out_pipe, O_CLOEXEC) != 0) return false;
    std::vector<std::string> argv_s = {TESSARO_SIM_PATH};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : argv_s) argv.push_back(s.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        ::dup2(err_pipe[1], STDERR_FILENO);
        ::dup2(out_pipe[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(err_pipe[1]);
    ::close(out_pipe[1]);
    err_fd_ = err_pipe[0];
    out_fd_ = out_pipe[0];
    return true;
}

void SimProcess::pump(int timeout_ms) {
    pollfd p[2] = {{err_fd_, POLLIN, 0}, {out_fd_, POLLIN, 0}};
    if (::poll(p, 2, timeout_ms) <= 0) return;
    char buf[4096];
    if (p[0].revents) {
        ssize_t n = ::read(err_fd_, buf, sizeof buf);
        if (n > 0) err_.append(buf, static_cast<size_t>(n));
    }
    if (p[1].revents) {
        ssize_t n = ::read(out_fd_, buf, sizeof buf);
        if (n > 0) out_.append(buf, static_cast<size_t>(n));
    }
}

std::string SimProcess::wait_line(const std::string& prefix, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (true) {
        std::istringstream lines(err_);
        std::string line;
        while (std::getline(lines, line))
            if (line.rfind(prefix, 0) == 0 && lines.good()) return line;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        pump(static_cast<int>(std::min<int64_t>(left.count(), 50)));
    }
}

int SimProcess::wait_exit(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pid_ > 0) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            pid_ = -1;
            pump(0);
            pump(0);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > deadline) break;
        pump(20);
    }
    return -1;
}

void SimProcess::signal(int sig) {
    if (pid_ > 0) ::kill(pid_, sig);
}

bool SimProcess::stdout_empty() {
    pump(0);
    return out_.empty();
}

uint16_t port_of(const std::string& line) {
    size_t colon = line.rfind(':');
    if (colon == std::string::npos) return 0;
    return static_cast<uint16_t>(std::stoi(line.substr(colon + 1)));
}

}  // namespace tessaro::sim::test
