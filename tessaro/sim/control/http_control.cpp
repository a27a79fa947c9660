#include "http_control.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "api_json.h"
#include "control_port.h"
#include "page.h"
#include "replay/replay.h"
#include "text/decimal.h"
#include "trace.h"
#include "value.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

using nlohmann::json;

namespace {

using http::Response;
using http::error_response;

constexpr char kJson[] = "application/json";
// Every answer: no framing by another site, no guessing of types, no script
// or style but the page's own, nothing cached, no reading by other origins.
const http::Headers kAnswerHeaders = {
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
     "frame-ancestors 'none'; base-uri 'none'; form-action 'none'"},
    {"Cross-Origin-Resource-Policy", "same-origin"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};
// Trace text taken at a time for one part of an answer or one event.
constexpr size_t kPartBytes = 256u << 10;

Response json_response(int status, const json& body) {
    Response r;
    r.status = status;
    r.body = dump(body);
    return r;
}

Response no_content() {
    Response r;
    r.status = 204;
    return r;
}

bool is_address(const std::string& host) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, host.c_str(), buf) == 1) return true;
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
}

std::string conn_of(const http::Request& req) { return "http " + req.peer; }

// One server-sent event of trace lines, one line of data each, with the
// number of the last as its id.
std::string event_text(const std::vector<Trace::Numbered>& lines) {
    std::string out = "id: " + std::to_string(lines.back().first) + "\n";
    for (const auto& l : lines) out += "data: " + l.second + "\n";
    return out + "\n";
}

// Time between two events of a stream: lines come in batches, so that a
// busy simulator costs a browser two events a second, not one per request.
constexpr auto kEventInterval = std::chrono::milliseconds(500);

Response failed_op(const ControlPort::Sent& s) {
    return json_response(409, json{{"error", std::string(s.op) + " failed with result " + std::to_string(*s.result)},
                                   {"result", *s.result}});
}

Response no_reply(const ControlPort::Sent& s) {
    return error_response(504, std::string(s.op) + " got no reply (a fault keeps it back)");
}

// Every result that a write of a value can end with, as an HTTP answer.
Response answer_write(const ControlPort::Sent& s, const std::string& name, const std::string& value,
                      const json& node) {
    if (!s.result) return no_reply(s);
    switch (*s.result) {
        case E_OK: return json_response(200, node);
        case E_NOEXIST: return error_response(404, "no node named \"" + name + "\"");
        case E_INVALID: {
            std::string type = node["type"];
            int32_t t = 0;
            if (!type_from_name(type, t) || !is_variable_type(t)) return error_response(400, name + " is no variable");
            return error_response(400, dump(json(value)) + " is no " + type + " value");
        }
        case E_RANGE: return error_response(400, dump(json(value)) + " is out of range for " + name);
        case E_ACCESS: return error_response(409, name + " is read-only");
        default: return failed_op(s);
    }
}

// A change other than a value write that did not succeed, as an HTTP
// answer; none when it succeeded and the caller answers.
std::optional<Response> failure(const ControlPort::Sent& s, const std::string& not_found) {
    if (!s.result) return no_reply(s);
    switch (*s.result) {
        case E_OK: return std::nullopt;
        case E_NOEXIST: return error_response(404, not_found);
        case E_FAILURE:
            return error_response(500, std::string(s.op) + " failed: the machine could not be saved or reset");
        default: return failed_op(s);
    }
}

// GET /api/trace's body: the lines up to the last one there was when it was
// asked for, a bounded part at a time, so that a large trace is never held
// whole in memory.
class TraceBody : public http::BodySource {
public:
    TraceBody(Trace& trace, uint64_t after) : trace_(trace), next_(after), end_(trace.last_number()) {}
    bool next(std::string& out) override {
        if (next_ < end_) {
            auto lines = trace_.lines_after(next_, static_cast<size_t>(end_ - next_), {}, false, kPartBytes);
            for (const auto& l : lines) {
                if (!first_) out += ",\n";
                first_ = false;
                out += l.second;
                next_ = l.first;
            }
            if (!lines.empty()) return true;
        }
        out += "]\n";
        return false;
    }

private:
    Trace& trace_;
    uint64_t next_, end_;
    bool first_ = true;
};

// A text shared by many answers (the whole machine), sent a part at a time
// without a copy of it per answer.
class SharedBody : public http::BodySource {
public:
    explicit SharedBody(std::shared_ptr<const std::string> text) : text_(std::move(text)) {}
    bool next(std::string& out) override {
        size_t n = std::min(kPartBytes, text_->size() - at_);
        out.append(*text_, at_, n);
        at_ += n;
        return at_ < text_->size();
    }

private:
    std::shared_ptr<const std::string> text_;
    size_t at_ = 0;
};

// GET /api/events's body: every half second an event with the trace lines
// that came since the last, and with `machine` the machine whenever it has
// changed (looked at once a second: a large one takes a while to write out).
// It holds one of the stream places for as long as it lives.
class EventStream : public http::BodySource {
public:
    EventStream(ControlPort& port, MachineText& text, std::atomic<int>& streams, uint64_t after, size_t max,
                bool machine)
        : port_(port), text_(text), streams_(streams), next_(after), max_(max), machine_(machine) {}
    ~EventStream() override { --streams_; }
    bool next(std::string& out) override {
        if (machine_ && ticks_++ % 2 == 0) {
            std::shared_ptr<const std::string> event = text_.state_event();
            if (event != shown_) {  // the same text is the same pointer
                shown_ = event;
                out += *event;
            }
        }
        auto lines = port_.trace().lines_after(next_, max_, {}, true, kPartBytes);
        if (!lines.empty()) {
            next_ = lines.back().first;
            out += event_text(lines);
        } else if (out.empty() && ++quiet_ % 10 == 0) {
            out += ":\n\n";  // a comment now and then finds a client that has gone
        }
        return true;
    }

private:
    ControlPort& port_;
    MachineText& text_;
    std::atomic<int>& streams_;
    uint64_t next_;
    size_t max_;
    bool machine_;
    std::shared_ptr<const std::string> shown_;  // the machine's event as last sent
    unsigned ticks_ = 0;
    unsigned quiet_ = 0;
};

// A line number given in a query or header; none when it is no number.
std::optional<uint64_t> line_number(const std::optional<std::string>& text) {
    uint64_t n = 0;
    if (!text || !text::parse_decimal<uint64_t>(*text, 0, 999999999999999999ull, n)) return std::nullopt;
    return n;
}

// A fault's number in a path: at most 18 digits (leading zeros count), so
// that a longer path names no resource; none when it is no number.
std::optional<uint64_t> fault_number(const std::string& digits) {
    uint64_t n = 0;
    if (digits.size() > 18 || !text::parse_decimal<uint64_t>(digits, 0, UINT64_MAX, n)) return std::nullopt;
    return n;
}

// What GET /api/events is asked for: where its lines start, how many of the
// newest an event carries at most, whether it carries the machine too.
struct StreamQuery {
    uint64_t after;
    size_t max;
    bool machine;
};

// From the line after Last-Event-ID (a reconnecting browser) or ?after=N;
// after `newest` (from now on) otherwise. With ?max=N an event carries only
// the newest N lines (their numbers show what was left out); a max that is
// no number up to 5 digits is ignored. With ?machine=1 the stream also
// carries the machine, at once and then whenever it has changed, as
// "machine" events: a page that shows it need not ask again and again.
StreamQuery stream_query(const http::Request& req, uint64_t newest) {
    auto from = req.header("last-event-id");
    if (!from || from->empty()) from = req.param("after");
    StreamQuery q{line_number(from).value_or(newest), Trace::kKeptLines, req.param("machine") == "1"};
    uint32_t n = 0;
    if (auto max = req.param("max"); max && max->size() <= 5 && text::parse_decimal<uint32_t>(*max, 0, 99999, n))
        q.max = std::max<size_t>(1, n);
    return q;
}

bool is_loopback(const std::string& bare) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, bare.c_str(), buf) == 1) return buf[0] == 127;
    return bare == "::1";
}

}  // namespace

// A path the API answers: `path` whole, or with `prefix` every path that
// starts with it and goes on (the rest is handed to the handler).
struct HttpControl::Route {
    const char* method;
    const char* path;
    bool prefix;
    Response (HttpControl::*handle)(http::Request&, const std::string&);
};

const HttpControl::Route HttpControl::kRoutes[] = {
    {"GET", "/api/machine", false, &HttpControl::get_machine},
    {"GET", "/api/nodes/", true, &HttpControl::get_node},
    {"PUT", "/api/nodes/", true, &HttpControl::put_node},
    {"GET", "/api/plc", false, &HttpControl::get_plc},
    {"PUT", "/api/plc", false, &HttpControl::put_plc},
    {"PUT", "/api/jobs/", true, &HttpControl::put_job},
    {"GET", "/api/faults", false, &HttpControl::get_faults},
    {"POST", "/api/faults", false, &HttpControl::post_fault},
    {"DELETE", "/api/faults/", true, &HttpControl::delete_fault},
    {"POST", "/api/reset", false, &HttpControl::post_reset},
    {"GET", "/api/trace", false, &HttpControl::get_trace},
    {"GET", "/api/events", false, &HttpControl::get_events},
    {"GET", "/api/replay", false, &HttpControl::get_replay},
};

HttpControl::HttpControl(ControlPort& port, LogFn log) : port_(port), machine_text_(port), log_(std::move(log)) {
    http::ServerLimits limits;
    limits.body_bytes = kMaxBody;
    server_ = std::make_unique<http::Server>([this](http::Request& req) { return handle(req); }, kAnswerHeaders, log_,
                                             limits);
}

HttpControl::~HttpControl() { stop(); }

bool HttpControl::host_allowed(const std::string& header) const {
    std::string host = header;
    size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
        if (host.substr(colon + 1) != std::to_string(bound_port_)) return false;
        host.erase(colon);
    }
    std::transform(host.begin(), host.end(), host.begin(), [](unsigned char c) { return std::tolower(c); });
    return host == "localhost" || host == host_ || (any_host_ && is_address(host));
}

bool HttpControl::listen(const std::string& address, uint16_t port, std::string& error) {
    std::string bare = address;
    if (bare.size() >= 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
    bool v6 = bare.find(':') != std::string::npos;
    if (!is_address(v6 ? "[" + bare + "]" : bare)) {
        error = "invalid --http address '" + address + "' (an IPv4 or IPv6 address is expected)";
        return false;
    }
    std::string why;
    if (!server_->listen(bare, port, why)) {
        error = "cannot listen for HTTP on " + address + ":" + std::to_string(port) + " (" + why + ")";
        return false;
    }
    bound_port_ = server_->port();
    host_ = v6 ? "[" + bare + "]" : bare;
    any_host_ = bare == "0.0.0.0" || bare == "::";
    std::string browse = bare == "0.0.0.0" ? "127.0.0.1" : bare == "::" ? "[::1]" : host_;
    url_ = "http://" + browse + ":" + std::to_string(bound_port_) + "/";
    if (!is_loopback(bare))
        warning_ = "warning: the control API on " + host_ + ":" + std::to_string(bound_port_) +
                   " can be reached from other machines: anyone who reaches it can change the machine";
    return true;
}

void HttpControl::start() { server_->start(); }

void HttpControl::stop() {
    port_.trace().interrupt();
    port_.stop();
    server_->stop();
}

std::optional<Response> HttpControl::refusal(const http::Request& req) const {
    auto host = req.header("host");
    if (host && !host_allowed(*host))
        return error_response(403, "Host \"" + *host + "\" names neither this simulator's address nor localhost");
    bool change = req.method != "GET" && req.method != "HEAD";
    if (!host && change)
        return error_response(403, "a change must carry a Host header naming this simulator's address or localhost");
    // Browsers say where a request comes from; only the page itself, or the
    // user typing an address, may reach the API.
    auto site = req.header("sec-fetch-site");
    if (site && (*site == "cross-site" || *site == "same-site"))
        return error_response(403, "requests from the page of another site are refused");
    auto origin = req.header("origin");
    if (origin && *origin != "http://" + host.value_or(""))
        return error_response(403, "requests from the page of another origin are refused");
    if (req.method == "POST" || req.method == "PUT") {
        std::string type = req.header("content-type").value_or("");
        if (type.substr(0, type.find(';')) != kJson)
            return error_response(415, "a change must come as Content-Type: application/json");
    }
    return std::nullopt;
}

Response HttpControl::handle(http::Request& req) {
    if (auto refused = refusal(req)) return *refused;
    std::string method = req.method == "HEAD" ? "GET" : req.method;
    if (method == "GET")
        for (const auto& file : page_files())
            if (req.path == file.path) {
                Response r;
                r.type = file.type;
                r.body.assign(file.data, file.size);
                return r;
            }
    for (const Route& route : kRoutes) {
        if (method != route.method) continue;
        std::string_view path = route.path;
        if (route.prefix ? req.path.size() > path.size() && req.path.compare(0, path.size(), path) == 0
                         : req.path == path)
            return (this->*route.handle)(req, req.path.substr(route.prefix ? path.size() : req.path.size()));
    }
    return error_response(404, "no such resource or operation");
}

Response HttpControl::get_machine(http::Request&, const std::string&) {
    std::string error;
    std::shared_ptr<const std::string> text = machine_text_.machine(error);
    if (!text) return error_response(500, error);
    Response r;
    r.source = std::make_shared<SharedBody>(std::move(text));
    return r;
}

Response HttpControl::get_node(http::Request&, const std::string& name) {
    if (auto node = node_json(port_, name)) return json_response(200, *node);
    return error_response(404, "no node named \"" + name + "\"");
}

Response HttpControl::put_node(http::Request& req, const std::string& name) {
    std::string error, value;
    json body;
    if (!parse_body(req.body, {"value"}, body, error) || !parse_node_value(body, value, error))
        return error_response(400, error);
    auto before = node_json(port_, name);
    if (!before) return error_response(404, "no node named \"" + name + "\"");
    ControlPort::Sent sent = port_.write_node(conn_of(req), name, value);
    return answer_write(sent, name, value, sent.result == E_OK ? written_node_json(port_, name, sent, *before) : *before);
}

Response HttpControl::get_plc(http::Request&, const std::string&) { return json_response(200, plc_json(port_)); }

Response HttpControl::put_plc(http::Request& req, const std::string&) {
    json body;
    std::string error;
    uint32_t set = 0, clear = 0;
    if (!parse_body(req.body, {"set", "clear"}, body, error) || !parse_plc(body, set, clear, error))
        return error_response(400, error);
    if (auto failed = failure(port_.change_plc(conn_of(req), set, clear), "")) return *failed;
    return json_response(200, plc_json(port_));
}

Response HttpControl::put_job(http::Request& req, const std::string& name) {
    std::string error;
    json body;
    std::optional<JobOutcome> outcome;
    std::optional<int64_t> duration;
    if (!parse_body(req.body, {"outcome", "duration_ms"}, body, error) || !parse_job(body, outcome, duration, error))
        return error_response(400, error);
    std::string full;
    if (auto failed = failure(port_.set_job(conn_of(req), name, outcome, duration, full),
                              "no job named \"" + name + "\""))
        return *failed;
    return json_response(200, node_json(port_, full).value_or(json{{"name", full}}));
}

Response HttpControl::get_replay(http::Request&, const std::string&) {
    replay::Replay* replay = port_.replay();
    if (!replay) return error_response(404, "not replaying a recording");
    Response r;
    r.status = 200;
    r.body = replay->report();
    return r;
}

Response HttpControl::get_faults(http::Request&, const std::string&) {
    return json_response(200, faults_json(port_.faults()));
}

Response HttpControl::post_fault(http::Request& req, const std::string&) {
    Fault fault;
    std::string error;
    if (!parse_fault(req.body, fault, error)) return error_response(400, error);
    ControlPort::Sent sent = port_.add_fault(conn_of(req), fault);
    if (auto failed = failure(sent, "")) return *failed;
    for (const FaultStatus& f : port_.faults())
        if (f.index == sent.number) return json_response(201, fault_json(f));
    return json_response(201, json{{"index", sent.number}, {"left", 0}});  // spent already
}

Response HttpControl::delete_fault(http::Request& req, const std::string& number) {
    auto index = fault_number(number);
    if (!index) return error_response(404, "no such resource or operation");
    if (auto failed = failure(port_.remove_fault(conn_of(req), *index), "no fault numbered " + number)) return *failed;
    return no_content();
}

Response HttpControl::post_reset(http::Request& req, const std::string&) {
    json body;
    std::string error;
    if (!req.body.empty() && !parse_body(req.body, {}, body, error)) return error_response(400, error);
    if (auto failed = failure(port_.reset(conn_of(req)), "")) return *failed;
    return no_content();
}

Response HttpControl::get_trace(http::Request& req, const std::string&) {
    auto text = req.param("after");
    auto after = text && !text->empty() ? line_number(text) : std::optional<uint64_t>(0);
    if (!after) return error_response(400, "after must be a line number");
    Response r;
    r.body = "[";
    r.source = std::make_shared<TraceBody>(port_.trace(), *after);
    return r;
}

Response HttpControl::get_events(http::Request& req, const std::string&) {
    if (++streams_ > kMaxStreams) {
        --streams_;
        return error_response(503, "too many event streams open");
    }
    StreamQuery q = stream_query(req, port_.trace().last_number());
    Response r;
    r.type = "text/event-stream";
    r.source = std::make_shared<EventStream>(port_, machine_text_, streams_, q.after, q.max, q.machine);
    r.interval = kEventInterval;
    return r;
}

}  // namespace tessaro::sim
