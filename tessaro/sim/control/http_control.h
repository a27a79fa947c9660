// The HTTP side of `tessaro-sim --http`: the control API and the live page,
// served by cpp-httplib on threads of its own. Every request is checked
// first so that a page from elsewhere cannot steer the simulator through a
// user's browser: a Host header must name the bound address or localhost,
// an Origin header must be the simulator's own page, and a change must come
// as application/json.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "connection.h"
#include "machine_text.h"

namespace httplib {
class Server;
}

namespace tessaro::sim {

class ControlPort;

class HttpControl {
public:
    HttpControl(ControlPort& port, LogFn log);
    ~HttpControl();
    HttpControl(const HttpControl&) = delete;
    HttpControl& operator=(const HttpControl&) = delete;

    // Binds `address` (IPv4 or IPv6, brackets allowed) and `port` (0: a
    // free one). False with `error` set when that fails.
    bool listen(const std::string& address, uint16_t port, std::string& error);
    // "http://ADDR:PORT/"
    std::string url() const { return url_; }
    void start();
    // Ends the event streams and stops serving; bounded.
    void stop();

    // Largest request body taken; a larger one is refused with 413.
    static constexpr size_t kMaxBody = 1u << 20;
    // Event streams open at once; more are refused with 503, so that the
    // workers stay free for the API.
    static constexpr int kMaxStreams = 8;

private:
    void routes();
    bool host_allowed(const std::string& host) const;

    ControlPort& port_;
    MachineText machine_text_;  // the whole machine, made once per version
    LogFn log_;
    std::unique_ptr<httplib::Server> server_;
    std::string host_;  // the bound address as a Host header names it ("127.0.0.1", "[::1]")
    bool any_host_ = false;  // bound to every address: any address literal names it
    uint16_t bound_port_ = 0;
    int listen_fd_ = -1;
    std::string url_;
    std::thread thread_;
    std::atomic<int> streams_{0};
};

}  // namespace tessaro::sim
