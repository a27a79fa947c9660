#include "trace_sink.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace tessaro::sim {

namespace {

constexpr int kPollSliceMs = 50;  // how soon a stalled write sees stop()

}  // namespace

TraceSink::~TraceSink() {
    if (fd_ >= 0) ::close(fd_);
}

bool TraceSink::open(const std::string& path, std::string& error) {
    path_ = path;
    int fd;
    while ((fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) < 0 && errno == EINTR) {}
    // From here on writes never block: a full pipe is waited for, bounded.
    if (fd >= 0 && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) error = "trace file " + path + ": " + std::strerror(errno);
    fd_ = fd;
    writing_ = fd >= 0;
    return fd >= 0;
}

void TraceSink::write(const std::string& line) {
    std::lock_guard<std::mutex> lk(mu_);
    if (fd_ < 0) return;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStallLimitMs);
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0 && fd_ >= 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n > 0) {
            p += n;
            left -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            fail(n < 0 ? std::strerror(errno) : "nothing written");
            return;
        }
        if (stopping_) {
            fail("given up while stopping");
            return;
        }
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            fail("the reader took no line for " + std::to_string(kStallLimitMs / 1000) + " s");
            return;
        }
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        pollfd pfd{fd_, POLLOUT, 0};
        ::poll(&pfd, 1, wait < kPollSliceMs ? static_cast<int>(wait) + 1 : kPollSliceMs);
    }
    written_ += static_cast<off_t>(line.size());
}

void TraceSink::fail(const std::string& why) {
    // Whole lines only: a regular file loses the torn line's start (a pipe
    // cannot take it back, and refuses).
    if (::ftruncate(fd_, written_) != 0) {}
    ::close(fd_);
    fd_ = -1;
    writing_ = false;
    if (!stopping_) log_("trace file " + path_ + ": " + why + "; tracing stops");
}

}  // namespace tessaro::sim
