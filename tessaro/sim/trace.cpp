#include "trace.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "text/json_text.h"

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

std::string head(const std::string& conn) {
    std::string line = "{\"time\":\"" + utc_now() + "\",\"conn\":";
    text::append_json_string(line, conn);
    return line;
}

// A text as a JSON string, or as {"hex": ...} when it is no UTF-8.
void append_text(std::string& out, const std::string& s) {
    if (text::is_utf8(s)) return text::append_json_string(out, s);
    out += "{\"hex\":\"" + text::hex_text(reinterpret_cast<const uint8_t*>(s.data()), s.size()) + "\"}";
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

void Trace::request(const std::string& conn, const TracedRequest& r) {
    std::string line = head(conn) + ",\"op\":";
    if (r.layout) line += std::string("\"") + proto::op_name(r.layout->op) + "\"";
    else line += std::to_string(r.op);
    line += ",\"args\":";
    if (r.args) {
        line += '[';
        for (size_t i = 0; i < r.args->size(); ++i) {
            if (i) line += ',';
            if (r.layout->request[i] == 's') append_text(line, (*r.args)[i].str);
            else line += std::to_string((*r.args)[i].num);
        }
        line += ']';
        // The nodes named or addressed, by full name, so that a reader need
        // not know the handles: "node", and "newparent" for a move.
        const char* keys[] = {"node", "newparent"};
        size_t k = 0;
        for (size_t i = 0; i < r.nodes.size() && k < 2; ++i) {
            char role = r.layout->roles[i];
            if (role != 'n' && role != 'N') continue;
            line += std::string(",\"") + keys[k++] + "\":";
            if (r.nodes[i].empty()) line += "null";
            else append_text(line, r.nodes[i]);
        }
    } else {
        line += "null";
    }
    line += ",\"result\":" + (r.result ? std::to_string(*r.result) : std::string("null"));
    if (r.fault)
        line += ",\"fault\":{\"index\":" + std::to_string(r.fault->index) + ",\"kind\":\"" + fault_kind(r.fault->kind) + "\"}";
    sink_.write(line + "}\n");
}

void Trace::event(const std::string& conn, uint32_t plc_word) {
    sink_.write(head(conn) + ",\"event\":\"PlcChanged\",\"state\":" + std::to_string(plc_word) + "}\n");
}

}  // namespace tessaro::sim
