// Feeds fuzz input to a frame reader the way a peer would: the bytes go into
// a connected socket, and wire::read_frame takes frames off it until the
// stream ends or breaks, so the length header is checked by the real reader.
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "protocol/frame_io.h"

namespace tessaro::fuzz {

// Larger inputs would not fit in the socket's buffer without a reader.
constexpr size_t kMaxInput = 64 * 1024;

template <typename OnFrame>
void for_each_frame(const uint8_t* data, size_t size, OnFrame&& on_frame) {
    int fds[2];
    if (size > kMaxInput || ::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return;
    size_t sent = 0;
    while (sent < size) {
        ssize_t n = ::send(fds[1], data + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<size_t>(n);
    }
    ::close(fds[1]);
    std::vector<uint8_t> body;
    while (wire::read_frame(fds[0], body, 0) == wire::IoStatus::Ok) on_frame(body);
    ::close(fds[0]);
}

}  // namespace tessaro::fuzz
