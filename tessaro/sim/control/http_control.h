// The HTTP side of `tessaro-sim --http`: the control API and the live page.
// Every request is checked first so that a page from elsewhere cannot steer
// the simulator through a user's browser: a Host header must name the bound
// address or localhost (and a change must carry one), a browser's request
// marked as coming from another site or origin is refused, and a change must
// come as application/json. Every answer forbids framing, sniffing and any
// script but the page's own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "log.h"
#include "http_server.h"
#include "machine_text.h"

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
    // "http://ADDR:PORT/", an address a browser can open (the loopback one
    // when bound to every address).
    std::string url() const { return url_; }
    // What to tell the user when the API can be reached from other
    // machines; "" when bound to loopback only.
    std::string warning() const { return warning_; }
    void start();
    // Ends the event streams and stops serving; bounded.
    void stop();

    // Largest request body taken; a larger one is refused with 413.
    static constexpr size_t kMaxBody = 1u << 20;
    // Event streams open at once; more are refused with 503.
    static constexpr int kMaxStreams = 8;

    // Every request goes through here (on the server's workers).
    http::Response handle(http::Request& req);

private:
    struct Route;
    static const Route kRoutes[];

    // A refusal of a request that a page elsewhere may have sent; none when
    // it may go on.
    std::optional<http::Response> refusal(const http::Request& req) const;
    bool host_allowed(const std::string& host) const;

    http::Response get_machine(http::Request& req, const std::string& rest);
    http::Response get_node(http::Request& req, const std::string& rest);
    http::Response put_node(http::Request& req, const std::string& rest);
    http::Response get_plc(http::Request& req, const std::string& rest);
    http::Response put_plc(http::Request& req, const std::string& rest);
    http::Response put_job(http::Request& req, const std::string& rest);
    http::Response get_faults(http::Request& req, const std::string& rest);
    http::Response post_fault(http::Request& req, const std::string& rest);
    http::Response delete_fault(http::Request& req, const std::string& rest);
    http::Response post_reset(http::Request& req, const std::string& rest);
    http::Response get_trace(http::Request& req, const std::string& rest);
    http::Response get_events(http::Request& req, const std::string& rest);
    http::Response get_replay(http::Request& req, const std::string& rest);

    ControlPort& port_;
    MachineText machine_text_;  // the whole machine, made once per version
    LogFn log_;
    std::unique_ptr<http::Server> server_;
    std::string host_;       // the bound address as a Host header names it ("127.0.0.1", "[::1]")
    bool any_host_ = false;  // bound to every address: any address literal names it
    uint16_t bound_port_ = 0;
    std::string url_;
    std::string warning_;
    std::atomic<int> streams_{0};
};

}  // namespace tessaro::sim
