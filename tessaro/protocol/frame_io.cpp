#include "frame_io.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>

#include "wire.h"

namespace tessaro::wire {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline, or -1 for no deadline.
int remaining_ms(bool bounded, Clock::time_point deadline) {
    if (!bounded) return -1;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads exactly len bytes. `started` tells whether a partial frame was read,
// which turns a clean close into a broken frame.
IoStatus read_exact(int fd, uint8_t* p, size_t len, bool bounded, Clock::time_point deadline, bool started) {
    size_t got = 0;
    while (got < len) {
        pollfd pfd{fd, POLLIN, 0};
        int rc = ::poll(&pfd, 1, remaining_ms(bounded, deadline));
        if (rc < 0) {
            if (errno == EINTR) continue;
            return IoStatus::Error;
        }
        if (rc == 0) return IoStatus::Timeout;
        ssize_t n = ::recv(fd, p + got, len - got, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return IoStatus::Error;
        }
        if (n == 0) return (started || got > 0) ? IoStatus::Error : IoStatus::Closed;
        got += static_cast<size_t>(n);
    }
    return IoStatus::Ok;
}

}  // namespace

const char* io_status_name(IoStatus s) {
    switch (s) {
        case IoStatus::Ok: return "ok";
        case IoStatus::Closed: return "closed";
        case IoStatus::Timeout: return "timeout";
        case IoStatus::Error: return "error";
        case IoStatus::BadFrame: return "bad frame";
    }
    return "?";
}

IoStatus read_frame(int fd, std::vector<uint8_t>& body, int timeout_ms) {
    bool bounded = timeout_ms >= 0;
    auto deadline = Clock::now() + std::chrono::milliseconds(bounded ? timeout_ms : 0);
    uint8_t hdr[kFrameHeader];
    IoStatus st = read_exact(fd, hdr, sizeof hdr, bounded, deadline, false);
    if (st != IoStatus::Ok) return st;
    uint32_t len = get_be32(hdr);
    if (len == 0 || len > kMaxFrame) return IoStatus::BadFrame;
    body.resize(len);
    return read_exact(fd, body.data(), len, bounded, deadline, true);
}

IoStatus write_frame(int fd, const std::vector<uint8_t>& frame, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    size_t sent = 0;
    while (sent < frame.size()) {
        // MSG_DONTWAIT: on a blocking socket a plain send() would wait until
        // the whole rest is taken, past any deadline. A frame usually fits in
        // the socket's buffer at once; poll() only when it is full.
        ssize_t n = ::send(fd, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return IoStatus::Error;
        pollfd pfd{fd, POLLOUT, 0};
        int rc = ::poll(&pfd, 1, remaining_ms(true, deadline));
        if (rc < 0 && errno != EINTR) return IoStatus::Error;
        if (rc == 0) return IoStatus::Timeout;
    }
    return IoStatus::Ok;
}

}  // namespace tessaro::wire
