// The simulator's side of the wire: frames from a client, read and answered
// as a connection does once its handshake is done. Every input starts from a
// machine freshly loaded from the default scenario, so that each input is
// reproducible on its own.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "default_scenario.h"
#include "frames.h"
#include "protocol/reply.h"
#include "machine.h"
#include "request_path.h"
#include "scenario.h"

namespace {

using namespace tessaro;

// Events of a registered client go nowhere.
class NullSink : public sim::PlcSink {
public:
    void plc_changed(uint32_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    sim::MachineConfig cfg;
    std::string error;
    if (!sim::load_scenario_text(sim::default_scenario_text(), "default.json", cfg, error)) __builtin_trap();
    sim::Machine machine(std::move(cfg));
    sim::Session session;
    NullSink sink;
    sim::RequestPath path(machine, nullptr, nullptr);
    sim::Caller caller{"fuzz", session, &sink, true};
    auto no_wait = [](int64_t) { return true; };
    fuzz::for_each_frame(data, size, [&](const std::vector<uint8_t>& body) {
        sim::Request r = sim::Request::decode(body.data(), body.size());
        sim::Outcome o = path.submit(r, caller, no_wait);
        // Every reply the machine gives can be sent: it fits in a frame and
        // decodes as its operation lays it out.
        if (o.kind != sim::Outcome::Kind::Reply) return;
        std::vector<uint8_t> frame = proto::encode_reply(r.op, r.seq, o.reply);
        if (frame.size() - wire::kFrameHeader > wire::kMaxFrame) __builtin_trap();
        proto::Reply back;
        wire::Reader rd(frame.data() + wire::kFrameHeader, frame.size() - wire::kFrameHeader);
        if (r.layout && !proto::decode_reply(*r.layout, rd, back)) __builtin_trap();
    });
    return 0;
}
