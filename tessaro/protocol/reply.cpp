#include "reply.h"

namespace tessaro::proto {

namespace {

void put_field(wire::Writer& w, char tag, const Field* f) {
    static const Field kEmpty;
    const Field& v = f ? *f : kEmpty;
    switch (tag) {
        case 'i': w.i32(v.i()); break;
        case 'u': w.u32(v.u()); break;
        case 's': w.str(v.str); break;
        case 'b': w.bytes(v.str.data(), v.str.size()); break;
        default: break;
    }
}

void put_record(wire::Writer& w, const Record& rec) {
    std::visit(
        [&](const auto& v) {
            if constexpr (!std::is_same_v<std::decay_t<decltype(v)>, std::monostate>) put(w, v);
        },
        rec);
}

template <class T>
bool get_record(wire::Reader& r, Record& out) {
    T v;
    if (!get(r, v)) return false;
    out = std::move(v);
    return true;
}

}  // namespace

RecordKind record_kind(const Record& r) { return static_cast<RecordKind>(r.index()); }

std::vector<uint8_t> encode_reply(uint16_t op, uint32_t seq, const Reply& r) {
    wire::Writer w(wire::Kind::Reply, seq, op);
    w.i32(r.result);
    if (const Operation* o = operation(op)) {
        size_t i = 0;
        for (const char* t = o->reply; *t; ++t, ++i) put_field(w, *t, i < r.fields.size() ? &r.fields[i] : nullptr);
        if (r.result == 0) put_record(w, r.record);
    }
    return w.frame();
}

size_t reply_body_size(const Operation& op, const Reply& r) {
    constexpr size_t kFixed = 7, kNumber = 5, kText = 5;  // kind, seq, op; tag and payload; tag and length
    size_t n = kFixed + kNumber;
    size_t i = 0;
    for (const char* t = op.reply; *t; ++t, ++i) {
        const Field* f = i < r.fields.size() ? &r.fields[i] : nullptr;
        n += (*t == 's' || *t == 'b') ? kText + (f ? f->str.size() : 0) : kNumber;
    }
    if (r.result == 0 && r.record.index() != 0) {
        wire::Writer w(wire::Kind::Reply, 0, static_cast<uint16_t>(op.op));
        put_record(w, r.record);
        n += w.body().size() - kFixed;
    }
    return n;
}

bool decode_reply(const Operation& op, wire::Reader& r, Reply& out) {
    Reply v;
    if (!r.i32(v.result)) return false;
    for (const char* t = op.reply; *t; ++t) {
        Field f;
        bool ok = false;
        switch (*t) {
            case 'i': {
                int32_t x = 0;
                ok = r.i32(x);
                f.num = x;
                break;
            }
            case 'u': {
                uint32_t x = 0;
                ok = r.u32(x);
                f.num = x;
                break;
            }
            case 's': ok = r.str(f.str); break;
            case 'b': {
                std::vector<uint8_t> b;
                ok = r.bytes(b);
                f.str.assign(b.begin(), b.end());
                break;
            }
            default: break;
        }
        if (!ok) return false;
        v.fields.push_back(std::move(f));
    }
    if (v.result == 0) {
        bool ok = true;
        switch (op.record) {
            case RecordKind::None: break;
            case RecordKind::NodeInfo: ok = get_record<NodeInfo>(r, v.record); break;
            case RecordKind::JobInfo: ok = get_record<JobInfo>(r, v.record); break;
            case RecordKind::JobNodeType: ok = get_record<JobNodeType>(r, v.record); break;
            case RecordKind::DriverList: ok = get_record<std::vector<Driver>>(r, v.record); break;
            case RecordKind::Device: ok = get_record<Device>(r, v.record); break;
            case RecordKind::DeviceList: ok = get_record<std::vector<Device>>(r, v.record); break;
        }
        if (!ok) return false;
    }
    if (!r.at_end()) return false;
    out = std::move(v);
    return true;
}

bool decode_request(const Operation& op, wire::Reader& r, std::vector<Field>& out) {
    // The fields are read into `out`'s own, whose buffers a caller that
    // reuses `out` keeps.
    size_t n = 0;
    for (const char* t = op.request; *t; ++t, ++n) {
        if (n == out.size()) out.emplace_back();
        Field& a = out[n];
        if (*t == 'i') {
            int32_t v = 0;
            if (!r.i32(v)) return false;
            a.num = v;
        } else if (*t == 'u') {
            uint32_t v = 0;
            if (!r.u32(v)) return false;
            a.num = v;
        } else if (!r.str(a.str)) {
            return false;
        } else {
            a.num = 0;
        }
        if (*t != 's') a.str.clear();
    }
    out.resize(n);
    return r.at_end();
}

std::vector<uint8_t> encode_plc_event(uint32_t word) {
    wire::Writer w(wire::Kind::Event, 0, static_cast<uint16_t>(Op::PlcChanged));
    w.u32(word).u32(0);
    return w.frame();
}

bool decode_plc_event(wire::Reader& r, uint32_t& word, uint32_t& reserved) {
    uint32_t w = 0, x = 0;
    if (!r.u32(w) || !r.u32(x)) return false;
    word = w;
    reserved = x;
    return true;
}

}  // namespace tessaro::proto
