#include "trace.h"


#include <chrono>
#include <cstdio>
#include <ctime>

#include "text/json_text.h"
#include "text/json_writer.h"

namespace tessaro::sim {

namespace {

// "2026-12-07T21:03:04.123456Z"
std::string utc_now() {
    auto now = std::chrono::system_clock::now();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(us / 1000000);
    tm t{};
    gmtime_r(&secs, &t);
    char buf[48];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(us % 1000000));
    return buf;
}

// Opens a line's object with the time and the connection.
text::JsonWriter head(const std::string& conn) {
    text::JsonWriter w;
    w.object().key("time").str(utc_now()).key("conn").str(conn);
    return w;
}

// A text as a JSON string, or as {"hex": ...} when it is no UTF-8.
void text_or_hex(text::JsonWriter& w, const std::string& s) {
    if (text::is_utf8(s)) w.str(s);
    else w.object().key("hex").str(text::hex_text(reinterpret_cast<const uint8_t*>(s.data()), s.size())).end();
}

const char* fault_kind(FaultHit::Kind k) {
    switch (k) {
        case FaultHit::Kind::Result: return "result";
        case FaultHit::Kind::Silent: return "silent";
        case FaultHit::Kind::Close: return "close";
        case FaultHit::Kind::Delay: return "delay";
    }
    return "?";
}

}  // namespace

void Trace::request(const std::string& conn, const Request& r, const Outcome& o) {
    text::JsonWriter w = head(conn);
    w.key("op");
    if (r.layout) w.str(proto::op_name(r.layout->op));
    else w.num(r.op);
    w.key("args");
    if (r.decoded) {
        w.array();
        for (size_t i = 0; i < r.args.size(); ++i) {
            if (r.layout->request[i] == 's') text_or_hex(w, r.args[i].str);
            else w.num(r.args[i].num);
        }
        w.end();
        // The nodes named or addressed, by full name, so that a reader need
        // not know the handles: "node", and "newparent" for a move.
        const char* keys[] = {"node", "newparent"};
        size_t k = 0;
        for (size_t i = 0; i < r.args.size() && k < 2; ++i) {
            char role = r.layout->roles[i];
            if (role != 'n' && role != 'N') continue;
            w.key(keys[k++]);
            if (i >= r.nodes.size() || r.nodes[i].empty()) w.null();
            else text_or_hex(w, r.nodes[i]);
        }
    } else {
        w.null();
    }
    w.key("result");
    if (o.result) w.num(*o.result);
    else w.null();
    if (o.fault) {
        w.key("fault").object().key("index").num(static_cast<long long>(o.fault->index));
        w.key("kind").str(fault_kind(o.fault->kind)).end();
    }
    sink_.write(w.end().take() + "\n");
}

void Trace::event(const std::string& conn, uint32_t plc_word) {
    sink_.write(head(conn).key("event").str("PlcChanged").key("state").num(plc_word).end().take() + "\n");
}

}  // namespace tessaro::sim
