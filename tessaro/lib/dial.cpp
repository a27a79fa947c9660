#include "dial.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "protocol/frame_io.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace tessaro::lib {

namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Non-blocking connect, waited for until the deadline. Returns the socket or -1.
int connect_one(const SocketAddress& sa, Clock::time_point deadline, std::string& why) {
    int fd = ::socket(sa.addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        why = std::string("socket: ") + std::strerror(errno);
        return -1;
    }
    int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&sa.addr), sa.len);
    if (rc != 0 && errno != EINPROGRESS && errno != EINTR) {
        why = std::string("connect: ") + std::strerror(errno);
        ::close(fd);
        return -1;
    }
    if (rc != 0) {
        for (;;) {
            pollfd pfd{fd, POLLOUT, 0};
            int n = ::poll(&pfd, 1, ms_left(deadline));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                why = n == 0 ? "connect timed out" : std::string("poll: ") + std::strerror(errno);
                ::close(fd);
                return -1;
            }
            break;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err != 0) {
            why = std::string("connect: ") + std::strerror(err);
            ::close(fd);
            return -1;
        }
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // small request/reply frames
    return fd;
}

// The Hello exchange on a fresh connection. True when the controller accepts.
bool handshake(int fd, Clock::time_point deadline, std::string& server, std::string& why) {
    using proto::Op;
    wire::Writer hello(wire::Kind::Request, kHelloSeq, static_cast<uint16_t>(Op::Hello));
    hello.str(wire::kMagic).u32(wire::kProtocolVersion);
    wire::IoStatus st = wire::write_frame(fd, hello.frame(), ms_left(deadline));
    if (st != wire::IoStatus::Ok) {
        why = std::string("sending Hello: ") + wire::io_status_name(st);
        return false;
    }
    std::vector<uint8_t> body;
    st = wire::read_frame(fd, body, ms_left(deadline));
    if (st != wire::IoStatus::Ok) {
        why = std::string("waiting for the Hello reply: ") + wire::io_status_name(st);
        return false;
    }
    wire::Reader r(body);
    int32_t result = 0;
    if (!r.ok() || r.kind() != wire::Kind::Reply || r.seq() != kHelloSeq ||
        r.op() != static_cast<uint16_t>(Op::Hello) || !r.i32(result)) {
        why = "the peer's first frame is no Hello reply";
        return false;
    }
    if (result != 0) {
        why = "handshake refused with result " + std::to_string(result);
        return false;
    }
    uint32_t version = 0;
    if (!r.u32(version) || !r.str(server)) {
        why = "undecodable Hello reply";
        return false;
    }
    if (version != wire::kProtocolVersion) {
        why = "the controller speaks protocol version " + std::to_string(version);
        return false;
    }
    return true;
}

}  // namespace

int dial(const std::vector<SocketAddress>& addrs, Clock::time_point deadline, std::string& server,
         std::string& why) {
    why = "no address to try";
    for (const SocketAddress& sa : addrs) {
        if (Clock::now() >= deadline) {
            why = "connect timed out";
            break;
        }
        int fd = connect_one(sa, deadline, why);
        if (fd < 0) continue;
        if (handshake(fd, deadline, server, why)) return fd;
        ::close(fd);
        // A controller that refused us or speaks another version is not
        // going to be different on its other address.
        break;
    }
    return -1;
}

}  // namespace tessaro::lib
