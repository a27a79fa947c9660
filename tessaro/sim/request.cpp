#include "request.h"

namespace tessaro::sim {

Request Request::decode(const uint8_t* body, size_t len) {
    wire::Reader r(body, len);
    Request q;
    q.op = r.op();
    q.seq = r.seq();
    q.kind = r.kind();
    q.layout = proto::operation(q.op);
    q.decoded = q.layout && r.ok() && q.kind == wire::Kind::Request && proto::decode_request(*q.layout, r, q.args);
    if (!q.decoded) q.args.clear();
    return q;
}

Request Request::make(proto::Op op, std::vector<Arg> args) {
    Request q;
    q.op = static_cast<uint16_t>(op);
    q.layout = proto::operation(op);
    q.seq = 1;
    q.decoded = q.layout && q.layout->fields() == args.size();
    if (q.decoded) q.args = std::move(args);
    return q;
}

Outcome Outcome::refusal(const Request& r, int32_t result) {
    Outcome o;
    if (r.layout) o.reply = proto::Reply::plain(*r.layout, result);
    else o.reply.result = result;
    return o;
}

}  // namespace tessaro::sim
