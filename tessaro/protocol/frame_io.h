// Frame I/O over a stream socket, every read and write bounded in time.
#pragma once

#include <cstdint>
#include <vector>

namespace tessaro::wire {

enum class IoStatus {
    Ok,
    Closed,    // the peer closed the connection (cleanly, between frames)
    Timeout,   // the deadline passed
    Error,     // a socket error, or the connection broke inside a frame
    BadFrame,  // a length header of 0 or above kMaxFrame
};

const char* io_status_name(IoStatus s);

// Reads one frame and stores its body. timeout_ms < 0 waits without a bound
// (for threads that are woken by shutting the socket down).
IoStatus read_frame(int fd, std::vector<uint8_t>& body, int timeout_ms);

// Writes one whole frame (header included), within timeout_ms.
IoStatus write_frame(int fd, const std::vector<uint8_t>& frame, int timeout_ms);

}  // namespace tessaro::wire
