#include "hooks.h"

#include "protocol/frame_io.h"
#include "state_file.h"
#include "trace.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

std::optional<int32_t> result_of(const Outcome& o) {
    if (o.kind != Outcome::Kind::Reply || o.frame.size() < wire::kFrameHeader) return std::nullopt;
    wire::Reader r(o.frame.data() + wire::kFrameHeader, o.frame.size() - wire::kFrameHeader);
    int32_t rc = 0;
    if (!r.i32(rc)) return std::nullopt;
    return rc;
}

namespace {

std::vector<std::string> node_names(Machine& m, const OpLayout& layout, const std::vector<Arg>& args) {
    std::vector<std::string> out(args.size());
    for (size_t i = 0; i < args.size() && layout.roles[i]; ++i) {
        if (layout.roles[i] == 'N') out[i] = args[i].str;
        else if (layout.roles[i] == 'n') out[i] = m.full_name(args[i].i());
    }
    return out;
}

}  // namespace

void trace_request(const ServerOptions& opt, const std::string& peer, const std::vector<uint8_t>& body,
                   const Outcome& o, std::vector<std::string> nodes) {
    if (!opt.trace) return;
    wire::Reader r(body);
    TracedRequest t;
    t.op = r.op();
    t.layout = op_layout(r.op());
    std::vector<Arg> args;
    if (t.layout && r.kind() == wire::Kind::Request && decode_args(*t.layout, r, args)) t.args = &args;
    nodes.resize(args.size());
    t.nodes = std::move(nodes);
    t.fault = o.fault;
    t.result = result_of(o);
    opt.trace->request(peer, t);
}

Outcome serve(Machine& m, Session& s, PlcSink* sink, const ServerOptions& opt, const std::string& peer,
              const std::vector<uint8_t>& body, const DelayFn& delay) {
    if (!opt.state && !opt.trace) return respond(m, s, sink, body, delay);
    wire::Reader r(body);
    const OpLayout* layout = op_layout(r.op());
    std::vector<Arg> args;
    bool decoded = layout && r.kind() == wire::Kind::Request && decode_args(*layout, r, args);
    std::vector<std::string> nodes;
    if (opt.trace && decoded) nodes = node_names(m, *layout, args);

    Outcome o;
    if (decoded && opt.state && !StateFile::can_hold(*layout, args)) o.frame = plain_reply(*layout, r.seq(), E_INVALID);
    else o = respond(m, s, sink, body, delay);

    // The reply may say the change succeeded only once it is in the file.
    if (decoded && opt.state && StateFile::changes_machine(layout->op) && result_of(o) == E_OK &&
        opt.state->commit() != E_OK)
        o.frame = plain_reply(*layout, r.seq(), E_FAILURE);
    trace_request(opt, peer, body, o, std::move(nodes));
    return o;
}

}  // namespace tessaro::sim
