// One HTTP/1.x request as the control API's server takes it, and the reader
// that assembles it from a connection's bytes within fixed bounds: the
// header's bytes and field count, and the body's size whatever its framing
// (Content-Length or chunked). Parsing is Boost.Beast's parser; what it
// hands over is copied here into plain strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro::sim::http {

struct Request {
    std::string method;  // as sent: "GET", "PUT", ...
    std::string path;    // the target's path, percent-decoded
    std::string query;   // the target after '?', as sent
    int version = 11;    // 10 or 11
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    std::string peer;  // the client: "ADDR:PORT", "[ADDR]:PORT" for IPv6

    // The value of the header `name` (lower case); none when absent.
    std::optional<std::string> header(std::string_view name) const;
    // The query parameter `name`, decoded; none when absent.
    std::optional<std::string> param(std::string_view name) const;
};

struct Limits {
    size_t header_bytes = 16u << 10;  // request line and header fields, with their line ends
    size_t header_fields = 100;
    size_t body_bytes = 1u << 20;     // the body as the handler gets it, after any chunked framing
};

// Decodes %XX escapes (and '+' as a blank when `plus_is_blank`); none when
// an escape is malformed or decodes to a NUL.
std::optional<std::string> percent_decode(std::string_view text, bool plus_is_blank);

class RequestReader {
public:
    explicit RequestReader(const Limits& limits);
    ~RequestReader();
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    enum class State { More, Done, Failed };
    // Parses what it can of `in` and removes that from it. More: the
    // request is not whole yet. Failed: status() and error() say why.
    State feed(std::string& in);
    // The header has been read whole.
    bool header_done() const;
    // The header is whole and asks for "100 Continue" before the body.
    bool expects_continue() const;
    // Bytes of `in` that feed() may have to keep while it waits for the
    // rest of one structure (a header, a chunk's size line): more than
    // this left unparsed is a malformed request.
    size_t max_pending() const { return limits_.header_bytes + 4096; }

    // After Failed: the HTTP status to answer (400, 413, 431) and why.
    int status() const { return status_; }
    const std::string& error() const { return error_; }

    // After Done: the request, moved out.
    Request take() { return std::move(request_); }

private:
    class Parser;
    Limits limits_;
    std::unique_ptr<Parser> parser_;
    Request request_;
    size_t header_seen_ = 0;  // bytes of the header taken so far
    int status_ = 0;
    std::string error_;
};

}  // namespace tessaro::sim::http
