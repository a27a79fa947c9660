#include "http_request.h"

#include <boost/beast/http/basic_parser.hpp>
#include <boost/beast/http/error.hpp>

namespace tessaro::sim::http {

namespace beast_http = boost::beast::http;
using boost::beast::string_view;
using boost::system::error_code;

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string lower(string_view s) {
    std::string out(s.data(), s.size());
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

// A line of the header (up to its end, or all of `in` when the end has
// not come yet) that goes on with a blank or a tab.
bool folded(const std::string& in) {
    size_t end = in.find("\r\n\r\n");
    if (end == std::string::npos) end = in.size();
    for (size_t at = in.find("\r\n"); at != std::string::npos && at < end; at = in.find("\r\n", at + 2))
        if (at + 2 < in.size() && (in[at + 2] == ' ' || in[at + 2] == '\t')) return true;
    return false;
}

}  // namespace

std::optional<std::string> percent_decode(std::string_view text, bool plus_is_blank) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            int hi = i + 2 < text.size() ? hex_digit(text[i + 1]) : -1;
            int lo = hi >= 0 ? hex_digit(text[i + 2]) : -1;
            if (lo < 0 || (hi == 0 && lo == 0)) return std::nullopt;
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += plus_is_blank && c == '+' ? ' ' : c;
        }
    }
    return out;
}

std::optional<std::string> Request::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (n == name) return v;
    return std::nullopt;
}

std::optional<std::string> Request::param(std::string_view name) const {
    std::string_view rest = query;
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        size_t eq = pair.find('=');
        auto key = percent_decode(pair.substr(0, eq), true);
        if (!key || *key != name) continue;
        if (eq == std::string_view::npos) return std::string();
        if (auto value = percent_decode(pair.substr(eq + 1), true)) return value;
    }
    return std::nullopt;
}

// Beast's parser, keeping what it reads in the request and counting the
// header's fields and the body's bytes against the limits.
class RequestReader::Parser : public beast_http::basic_parser<true> {
public:
    Parser(Request& r, const Limits& limits) : r_(r), limits_(limits) {
        header_limit(static_cast<std::uint32_t>(limits.header_bytes * 2));
        body_limit(static_cast<std::uint64_t>(limits.body_bytes));
    }
    bool too_many_fields = false;
    bool bad_target = false;

private:
    void on_request_impl(beast_http::verb, string_view method, string_view target, int version,
                         error_code& ec) override {
        r_.method.assign(method.data(), method.size());
        r_.version = version;
        std::string_view t(target.data(), target.size());
        size_t q = t.find('?');
        auto path = percent_decode(t.substr(0, q), false);
        if (!path || path->empty() || path->front() != '/') {
            bad_target = true;
            ec = beast_http::error::bad_target;
            return;
        }
        r_.path = std::move(*path);
        if (q != std::string_view::npos) r_.query.assign(t.substr(q + 1));
    }
    void on_response_impl(int, string_view, int, error_code&) override {}
    void on_field_impl(beast_http::field, string_view name, string_view value, error_code& ec) override {
        if (r_.headers.size() >= limits_.header_fields) {
            too_many_fields = true;
            ec = beast_http::error::header_limit;
            return;
        }
        r_.headers.emplace_back(lower(name), std::string(value.data(), value.size()));
    }
    void on_header_impl(error_code&) override {}
    void on_body_init_impl(const boost::optional<std::uint64_t>&, error_code&) override {}
    size_t on_body_impl(string_view body, error_code& ec) override { return append(body, ec); }
    void on_chunk_header_impl(std::uint64_t, string_view, error_code&) override {}
    size_t on_chunk_body_impl(std::uint64_t, string_view body, error_code& ec) override { return append(body, ec); }
    void on_finish_impl(error_code&) override {}

    size_t append(string_view piece, error_code& ec) {
        if (r_.body.size() + piece.size() > limits_.body_bytes) {
            ec = beast_http::error::body_limit;
            return 0;
        }
        r_.body.append(piece.data(), piece.size());
        return piece.size();
    }

    Request& r_;
    const Limits& limits_;
};

RequestReader::RequestReader(const Limits& limits)
    : limits_(limits), parser_(std::make_unique<Parser>(request_, limits_)) {}

RequestReader::~RequestReader() = default;

bool RequestReader::header_done() const { return parser_->is_header_done(); }

bool RequestReader::expects_continue() const {
    auto expect = request_.header("expect");
    return header_done() && expect && lower(*expect) == "100-continue";
}

RequestReader::State RequestReader::feed(std::string& in) {
    if (status_ != 0) return State::Failed;
    auto fail = [this](int status, std::string error) {
        status_ = status;
        error_ = std::move(error);
        return State::Failed;
    };
    const std::string too_large =
        "the request's header is larger than " + std::to_string(limits_.header_bytes >> 10) + " KiB";
    while (!in.empty() && !parser_->is_done()) {
        bool in_header = !parser_->is_header_done();
        // A header line folded onto the next (obsolete, and read in different
        // ways by different parsers) is refused: the parser rewrites such
        // lines in place, so its reading would depend on how the bytes came.
        if (in_header && folded(in)) return fail(400, "malformed HTTP request (a header line is folded)");
        error_code ec;
        size_t used = parser_->put(boost::asio::const_buffer(in.data(), in.size()), ec);
        in.erase(0, used);
        if (in_header) {
            // The header's size is counted here, the same however its bytes
            // come (the parser's own count is a backstop at twice the bound).
            header_seen_ += used;
            if (parser_->is_header_done()) {
                if (header_seen_ > limits_.header_bytes) return fail(431, too_large);
                parser_->eager(true);
            }
        }
        if (ec == beast_http::error::need_more) {
            if (!parser_->is_header_done() && header_seen_ + in.size() > limits_.header_bytes)
                return fail(431, too_large);
            if (in.size() > max_pending()) return fail(400, "malformed HTTP request (a chunk's size line is too long)");
            break;
        }
        if (ec == beast_http::error::header_limit)
            return fail(431, parser_->too_many_fields ? "the request has more than " +
                                                            std::to_string(limits_.header_fields) + " header fields"
                                                      : too_large);
        if (ec == beast_http::error::body_limit)
            return fail(413, "the body is larger than " + std::to_string(limits_.body_bytes >> 20) + " MiB");
        if (ec)
            return fail(400, parser_->bad_target ? "malformed HTTP request (its target is no path)"
                                                 : "malformed HTTP request (" + ec.message() + ")");
        if (used == 0) break;
    }
    return parser_->is_done() ? State::Done : State::More;
}

}  // namespace tessaro::sim::http
