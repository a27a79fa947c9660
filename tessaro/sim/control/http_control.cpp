#include "http_control.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

#include <httplib.h>

#include "api_json.h"
#include "control_port.h"
#include "page.h"
#include "trace.h"
#include "value.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

using nlohmann::json;

namespace {

constexpr char kJson[] = "application/json";
// Workers for requests; an event stream keeps one for as long as it runs.
constexpr size_t kWorkers = 32;
constexpr int kBacklog = 1024;

void send_json(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_content(dump(body), kJson);
}

void send_error(httplib::Response& res, int status, const std::string& what) {
    send_json(res, status, json{{"error", what}});
}

bool is_address(const std::string& host) {
    unsigned char buf[16];
    if (inet_pton(AF_INET, host.c_str(), buf) == 1) return true;
    return host.size() > 2 && host.front() == '[' && host.back() == ']' &&
           inet_pton(AF_INET6, host.substr(1, host.size() - 2).c_str(), buf) == 1;
}

std::string conn_of(const httplib::Request& req) {
    bool v6 = req.remote_addr.find(':') != std::string::npos;
    return "http " + (v6 ? "[" + req.remote_addr + "]" : req.remote_addr) + ":" + std::to_string(req.remote_port);
}

// Trace lines as the API shows them: each object with its number first.
std::string numbered(const Trace::Numbered& l) { return "{\"seq\":" + std::to_string(l.first) + "," + l.second.substr(1); }

// One server-sent event of trace lines, one line of data each, with the
// number of the last as its id.
std::string event_text(const std::vector<Trace::Numbered>& lines) {
    std::string out = "id: " + std::to_string(lines.back().first) + "\n";
    for (const auto& l : lines) out += "data: " + numbered(l) + "\n";
    return out + "\n";
}

// Time between two events of a stream: lines come in batches, so that a
// busy simulator costs a browser two events a second, not one per request.
constexpr auto kEventInterval = std::chrono::milliseconds(500);

// Every result that a write of a value can end with, as an HTTP answer.
void answer_write(httplib::Response& res, const ControlPort::Sent& s, const std::string& name,
                  const std::string& value, const json& node) {
    std::string op = s.op;
    if (!s.result) return send_error(res, 504, op + " got no reply (a fault keeps it back)");
    switch (*s.result) {
        case E_OK: return send_json(res, 200, node);
        case E_NOEXIST: return send_error(res, 404, "no node named \"" + name + "\"");
        case E_INVALID: {
            std::string type = node["type"];
            int32_t t = 0;
            if (!type_from_name(type, t) || !is_variable_type(t)) return send_error(res, 400, name + " is no variable");
            return send_error(res, 400, dump(json(value)) + " is no " + type + " value");
        }
        case E_RANGE: return send_error(res, 400, dump(json(value)) + " is out of range for " + name);
        case E_ACCESS: return send_error(res, 409, name + " is read-only");
        default:
            send_json(res, 409, json{{"error", op + " failed with result " + std::to_string(*s.result)},
                                     {"result", *s.result}});
    }
}

// A change other than a value write that did not succeed, as an HTTP
// answer; false when it succeeded and the caller answers.
bool answer_failure(httplib::Response& res, const ControlPort::Sent& s, const std::string& not_found) {
    std::string op = s.op;
    if (!s.result) return send_error(res, 504, op + " got no reply (a fault keeps it back)"), true;
    switch (*s.result) {
        case E_OK: return false;
        case E_NOEXIST: send_error(res, 404, not_found); break;
        case E_FAILURE: send_error(res, 500, op + " failed: the machine could not be saved or reset"); break;
        default:
            send_json(res, 409, json{{"error", op + " failed with result " + std::to_string(*s.result)},
                                     {"result", *s.result}});
    }
    return true;
}

}  // namespace

HttpControl::HttpControl(ControlPort& port, LogFn log)
    : port_(port), machine_text_(port), log_(std::move(log)), server_(std::make_unique<httplib::Server>()) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server_->set_payload_max_length(kMaxBody);
    // One request per connection: a worker never waits on an idle client,
    // so many connections at once are served in turn instead of starving.
    server_->set_keep_alive_max_count(1);
    server_->set_read_timeout(2, 0);
    // The library listens with a backlog of 5, which drops the connections
    // of a burst; the socket is kept here to listen again with a longer one.
    server_->set_socket_options([this](socket_t sock) {
        httplib::default_socket_options(sock);
        listen_fd_ = sock;
    });
    server_->set_write_timeout(2, 0);
    routes();
}

HttpControl::~HttpControl() { stop(); }

bool HttpControl::host_allowed(const std::string& header) const {
    if (header.empty()) return true;  // no browser sends a request without one
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
    int bound = port == 0 ? server_->bind_to_any_port(bare) : (server_->bind_to_port(bare, port) ? port : -1);
    if (bound <= 0) {
        error = "cannot listen for HTTP on " + address + ":" + std::to_string(port);
        return false;
    }
    ::listen(listen_fd_, kBacklog);
    bound_port_ = static_cast<uint16_t>(bound);
    host_ = v6 ? "[" + bare + "]" : bare;
    any_host_ = bare == "0.0.0.0" || bare == "::";
    url_ = "http://" + host_ + ":" + std::to_string(bound_port_) + "/";
    return true;
}

void HttpControl::start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void HttpControl::stop() {
    port_.trace().interrupt();
    port_.stop();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

void HttpControl::routes() {
    httplib::Server& s = *server_;
    s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        std::string host = req.get_header_value("Host");
        if (!host_allowed(host)) {
            send_error(res, 403, "Host \"" + host + "\" names neither this simulator's address nor localhost");
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.has_header("Origin") && req.get_header_value("Origin") != "http://" + host) {
            send_error(res, 403, "requests from the page of another origin are refused");
            return httplib::Server::HandlerResponse::Handled;
        }
        std::string type = req.get_header_value("Content-Type");
        type = type.substr(0, type.find(';'));
        if ((req.method == "POST" || req.method == "PUT") && type != kJson) {
            send_error(res, 415, "a change must come as Content-Type: application/json");
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });
    s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
        if (res.body.empty())
            send_error(res, res.status,
                       res.status == 404   ? "no such resource or operation"
                       : res.status == 413 ? "the body is larger than 1 MiB"
                                           : "bad request (HTTP status " + std::to_string(res.status) + ")");
    });
    s.set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        send_error(res, 500, "internal error");
    });
    for (const auto& file : page_files())
        s.Get(file.path, [&file](const httplib::Request&, httplib::Response& res) {
            res.set_content(file.data, file.size, file.type);
            res.set_header("Cache-Control", "no-store");
        });

    s.Get("/api/machine", [this](const httplib::Request&, httplib::Response& res) {
        std::string error;
        std::shared_ptr<const std::string> text = machine_text_.machine(error);
        if (!text) return send_error(res, 500, error);
        // Sent from the shared text itself, without a copy of it per request.
        res.set_content_provider(text->size(), kJson, [text](size_t offset, size_t length, httplib::DataSink& sink) {
            return sink.write(text->data() + offset, std::min<size_t>(length, 1 << 16));
        });
    });

    s.Get("/api/nodes/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
        std::string name = req.matches[1];
        if (auto node = node_json(port_, name)) return send_json(res, 200, *node);
        send_error(res, 404, "no node named \"" + name + "\"");
    });
    s.Put("/api/nodes/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
        std::string name = req.matches[1], error;
        json body;
        if (!parse_body(req.body, {"value"}, body, error)) return send_error(res, 400, error);
        if (!body.contains("value") || !body["value"].is_string())
            return send_error(res, 400, "give the value as a string: {\"value\": \"...\"}");
        auto before = node_json(port_, name);
        if (!before) return send_error(res, 404, "no node named \"" + name + "\"");
        std::string value = body["value"];
        ControlPort::Sent sent = port_.write_node(conn_of(req), name, value);
        answer_write(res, sent, name, value, sent.result == E_OK ? written_node_json(port_, name, sent, *before) : *before);
    });

    s.Get("/api/plc", [this](const httplib::Request&, httplib::Response& res) { send_json(res, 200, plc_json(port_)); });
    s.Put("/api/plc", [this](const httplib::Request& req, httplib::Response& res) {
        json body;
        std::string error;
        uint32_t set = 0, clear = 0;
        if (!parse_body(req.body, {"set", "clear"}, body, error) || !parse_plc(body, set, clear, error))
            return send_error(res, 400, error);
        if (answer_failure(res, port_.change_plc(conn_of(req), set, clear), "")) return;
        send_json(res, 200, plc_json(port_));
    });

    s.Put("/api/jobs/(.+)", [this](const httplib::Request& req, httplib::Response& res) {
        std::string name = req.matches[1], error;
        json body;
        std::optional<JobOutcome> outcome;
        std::optional<int64_t> duration;
        if (!parse_body(req.body, {"outcome", "duration_ms"}, body, error) || !parse_job(body, outcome, duration, error))
            return send_error(res, 400, error);
        std::string full;
        if (answer_failure(res, port_.set_job(conn_of(req), name, outcome, duration, full),
                           "no job named \"" + name + "\""))
            return;
        send_json(res, 200, node_json(port_, full).value_or(json{{"name", full}}));
    });

    s.Get("/api/faults", [this](const httplib::Request&, httplib::Response& res) {
        send_json(res, 200, faults_json(port_.faults()));
    });
    s.Post("/api/faults", [this](const httplib::Request& req, httplib::Response& res) {
        Fault fault;
        std::string error;
        auto body = parse_json_body(req.body, error);
        if (!body || !parse_fault(*body, fault, error)) return send_error(res, 400, error);
        ControlPort::Sent sent = port_.add_fault(conn_of(req), dump(*body));
        if (answer_failure(res, sent, "")) return;
        size_t index = sent.number;
        for (const auto& f : faults_json(port_.faults()))
            if (f["index"] == index) return send_json(res, 201, f);
        send_json(res, 201, json{{"index", index}, {"left", 0}});  // spent already
    });
    s.Delete(R"(/api/faults/(\d{1,18}))", [this](const httplib::Request& req, httplib::Response& res) {
        if (answer_failure(res, port_.remove_fault(conn_of(req), std::stoull(req.matches[1])),
                           "no fault numbered " + req.matches[1].str()))
            return;
        res.status = 204;
    });

    s.Post("/api/reset", [this](const httplib::Request& req, httplib::Response& res) {
        json body;
        std::string error;
        if (!req.body.empty() && !parse_body(req.body, {}, body, error)) return send_error(res, 400, error);
        if (answer_failure(res, port_.reset(conn_of(req)), "")) return;
        res.status = 204;
    });

    s.Get("/api/trace", [this](const httplib::Request& req, httplib::Response& res) {
        uint64_t after = 0;
        std::string text = req.get_param_value("after");
        if (!text.empty()) {
            if (text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
                return send_error(res, 400, "after must be a line number");
            after = std::stoull(text);
        }
        std::string out = "[";
        for (const auto& l : port_.trace().lines_after(after, Trace::kKeptLines)) {
            if (out.size() > 1) out += ",\n";
            out += numbered(l);
        }
        res.set_content(out + "]\n", kJson);
    });

    s.Get("/api/events", [this](const httplib::Request& req, httplib::Response& res) {
        if (++streams_ > kMaxStreams) {
            --streams_;
            return send_error(res, 503, "too many event streams open");
        }
        // From the line after Last-Event-ID (a reconnecting browser) or
        // ?after=N; from now on otherwise. With ?max=N an event carries only
        // the newest N lines (their numbers show what was left out). With
        // ?machine=1 the stream also carries the machine, at once and then
        // whenever it has changed, as "machine" events: a page that shows it
        // need not ask again and again.
        std::string from = req.get_header_value("Last-Event-ID");
        if (from.empty()) from = req.get_param_value("after");
        uint64_t after = 0;
        if (!from.empty() && from.size() <= 18 && from.find_first_not_of("0123456789") == std::string::npos)
            after = std::stoull(from);
        else
            after = port_.trace().last_number();
        std::string max_text = req.get_param_value("max");
        size_t max = Trace::kKeptLines;
        if (!max_text.empty() && max_text.size() <= 5 && max_text.find_first_not_of("0123456789") == std::string::npos)
            max = std::max<size_t>(1, std::stoul(max_text));
        bool machine = req.get_param_value("machine") == "1";
        auto next = std::make_shared<uint64_t>(after);
        auto quiet = std::make_shared<int>(0);
        auto shown = std::make_shared<std::shared_ptr<const std::string>>();  // the machine's event as last sent
        auto ticks = std::make_shared<unsigned>(0);
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, next, quiet, max, machine, shown, ticks](size_t, httplib::DataSink& sink) {
                // The machine is looked at once a second: a large one takes a
                // while to write out.
                if (machine && (*ticks)++ % 2 == 0) {
                    std::shared_ptr<const std::string> event = machine_text_.state_event();
                    if (event != *shown) {  // the same text is the same pointer
                        *shown = event;
                        if (!sink.write(event->data(), event->size())) return false;
                    }
                }
                std::this_thread::sleep_for(kEventInterval);
                // Waits for a line only when the machine need not be looked at again.
                auto wait = std::chrono::milliseconds(machine ? 0 : 1000);
                auto lines = port_.trace().lines_after(*next, max, wait, true);
                if (!server_->is_running()) return false;
                if (lines.empty()) {
                    // A comment now and then finds a client that has gone.
                    if (++*quiet % 10 == 0 && !sink.write(":\n\n", 3)) return false;
                    return true;
                }
                *next = lines.back().first;
                std::string text = event_text(lines);
                return sink.write(text.data(), text.size());
            },
            [this](bool) { --streams_; });
    });
}

}  // namespace tessaro::sim
