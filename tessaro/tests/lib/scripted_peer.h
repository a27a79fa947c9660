// A scripted stand-in for the controller, for tests of libtessaro.so: a TCP
// server on the loopback interface, built on the protocol codec, that answers
// the Hello exchange as told and hands every other request to a script. The
// script may answer, stay silent, send arbitrary bytes, close the connection
// or push events; tests may push events or close from their own thread too.
#pragma once

#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/messages.h"
#include "protocol/wire.h"

namespace peer {

using tessaro::proto::Op;
namespace wire = tessaro::wire;

struct Request {
    uint32_t seq = 0;
    Op op = Op::Hello;
    std::vector<uint8_t> body;
    // A reader positioned at the request's first field.
    wire::Reader fields() const { return wire::Reader(body); }
};

// One accepted connection.
class Session {
public:
    explicit Session(int fd) : fd_(fd) {}
    ~Session();

    // A reply with `result` first; `fill` appends the further fields.
    void reply(const Request& req, int32_t result, const std::function<void(wire::Writer&)>& fill = {});
    void send_raw(const std::vector<uint8_t>& bytes);
    void event(uint32_t state, uint32_t reserved = 0);
    // Shuts the connection down; the library sees it closed.
    void close();

    int fd() const { return fd_; }
    bool closed() const { return closed_; }

private:
    std::mutex mu_;
    int fd_;
    std::atomic<bool> closed_{false};
};

enum class Hello { Accept, Refuse, WrongVersion, Silent };

class ScriptedPeer {
public:
    // The script answers every request but Hello; without one, each request
    // gets result 0 and nothing else.
    using Script = std::function<void(Session&, const Request&)>;

    explicit ScriptedPeer(Script script = {}, Hello hello = Hello::Accept, int family = AF_INET);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    bool listening() const { return listen_fd_ >= 0; }
    uint16_t port() const { return port_; }
    // "127.0.0.1:<port>" or "[::1]:<port>".
    std::string address() const;

    size_t accepted() const;
    // Waits (bounded) until the `i`-th connection (from 0) was accepted.
    Session* session(size_t i, int timeout_ms = 3000);
    // Operations received so far (Hello included), in arrival order.
    std::vector<Op> ops() const;
    // The fields of the last Hello received.
    std::string hello_magic() const;
    uint32_t hello_version() const;

private:
    void accept_loop();
    void serve(Session* s);

    Script script_;
    Hello hello_;
    int family_;
    int listen_fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<Session>> sessions_;
    std::vector<std::thread> threads_;
    std::vector<Op> ops_;
    std::string magic_;
    uint32_t version_ = 0;
    std::thread acceptor_;
};

// A free TCP port on 127.0.0.1 that nothing listens on (bound and released).
uint16_t unused_port();

}  // namespace peer
