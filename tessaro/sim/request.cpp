#include "request.h"

namespace tessaro::sim {

namespace {
constexpr size_t kKeptTextBytes = 64u << 10;
}  // namespace

Request Request::decode(const uint8_t* body, size_t len) {
    Request q;
    q.read(body, len);
    return q;
}

void Request::read(const uint8_t* body, size_t len) {
    // Small texts keep their buffers for the next request; a large one's go.
    for (Arg& a : args)
        if (a.str.capacity() > kKeptTextBytes) std::string().swap(a.str);
    wire::Reader r(body, len);
    op = r.op();
    seq = r.seq();
    kind = r.kind();
    layout = proto::operation(op);
    nodes.clear();
    decoded = layout && r.ok() && kind == wire::Kind::Request && proto::decode_request(*layout, r, args);
    if (!decoded) args.clear();
}

void Outcome::clear() {
    kind = Kind::Reply;
    reply.result = 0;
    reply.fields.clear();
    if (reply.record.index() != 0) reply.record = proto::Record{};
    fault.reset();
    why.clear();
    divergence.clear();
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
    o.refuse(r, result);
    return o;
}

void Outcome::refuse(const Request& r, int32_t result) {
    kind = Kind::Reply;
    reply.result = result;
    reply.fields.assign(r.layout ? r.layout->reply_fields() : 0, proto::Field{});
    if (reply.record.index() != 0) reply.record = proto::Record{};
}

}  // namespace tessaro::sim
