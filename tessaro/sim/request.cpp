#include "request.h"

#include <cstring>

namespace tessaro::sim {

Request Request::decode(const uint8_t* body, size_t len) {
    wire::Reader r(body, len);
    Request q;
    q.op = r.op();
    q.seq = r.seq();
    q.kind = r.kind();
    q.layout = op_layout(q.op);
    q.decoded = q.layout && r.ok() && q.kind == wire::Kind::Request && decode_args(*q.layout, r, q.args);
    if (!q.decoded) q.args.clear();
    return q;
}

Request Request::make(proto::Op op, std::vector<Arg> args) {
    Request q;
    q.op = static_cast<uint16_t>(op);
    q.layout = op_layout(op);
    q.seq = 1;
    q.decoded = q.layout && std::strlen(q.layout->request) == args.size();
    if (q.decoded) q.args = std::move(args);
    return q;
}

Outcome Outcome::refusal(const Request& r, int32_t result) {
    Outcome o;
    o.result = result;
    if (r.layout) {
        o.frame = plain_reply(*r.layout, r.seq, result);
    } else {
        wire::Writer w(wire::Kind::Reply, r.seq, r.op);
        w.i32(result);
        o.frame = w.frame();
    }
    return o;
}

}  // namespace tessaro::sim
