// The control API's request reader: any bytes, in any pieces, give a whole
// request within the bounds or a refusal with a status and a reason, never a
// crash; and the pieces a connection happens to bring them in never change
// the outcome.
#include <cstddef>
#include <cstdint>
#include <string>

#include "control/http_request.h"

namespace {

using tessaro::sim::http::Limits;
using tessaro::sim::http::Request;
using tessaro::sim::http::RequestReader;

struct Outcome {
    RequestReader::State state = RequestReader::State::More;
    int status = 0;
    Request request;
};

// Feeds `bytes` to a reader `step` bytes at a time (all at once for 0), as
// reads from a socket would bring them.
Outcome read(const std::string& bytes, size_t step, const Limits& limits) {
    RequestReader reader(limits);
    std::string in;
    Outcome o;
    for (size_t at = 0; at < bytes.size() && o.state == RequestReader::State::More;) {
        size_t n = step == 0 ? bytes.size() : std::min(step, bytes.size() - at);
        in.append(bytes, at, n);
        at += n;
        o.state = reader.feed(in);
        if (o.state == RequestReader::State::More && in.size() > reader.max_pending()) __builtin_trap();
    }
    if (o.state == RequestReader::State::Failed) {
        o.status = reader.status();
        if ((o.status != 400 && o.status != 413 && o.status != 431) || reader.error().empty()) __builtin_trap();
    }
    if (o.state == RequestReader::State::Done) o.request = reader.take();
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    // Small limits, so that the fuzzer reaches them.
    Limits limits;
    limits.header_bytes = 512;
    limits.header_fields = 8;
    limits.body_bytes = 256;
    size_t step = data[0] % 17;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    Outcome whole = read(bytes, 0, limits);
    Outcome pieces = read(bytes, step == 0 ? 1 : step, limits);
    if (whole.state == RequestReader::State::Done) {
        const Request& r = whole.request;
        if (r.body.size() > limits.body_bytes || r.headers.size() > limits.header_fields) __builtin_trap();
        if (r.path.empty() || r.path[0] != '/') __builtin_trap();
        r.param("after");
        r.header("host");
    }
    // A refusal may come sooner in pieces (a bound is seen before the rest
    // arrives), but a request taken whole is taken the same in pieces.
    if (whole.state == RequestReader::State::Done &&
        (pieces.state != RequestReader::State::Done || pieces.request.body != whole.request.body ||
         pieces.request.path != whole.request.path || pieces.request.headers != whole.request.headers))
        __builtin_trap();
    return 0;
}
