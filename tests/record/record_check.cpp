// Checks a recording made by zuna-record against what the simulator saw of
// the same run:
//
//   record_check RECORDING [TRACE [OFFSET]]
//
// Every line of RECORDING must be a whole trace line that reads back byte
// for byte, with its process, thread and sequence number (and, for a call,
// when it began). With TRACE (the simulator's --trace, read from byte
// OFFSET), each recorded connection's calls must be the requests that the
// simulator traced for one connection, in order, with the same arguments,
// nodes, results, replies and records, and its events the events pushed to
// it. Where the library tells less than the wire carried, the recording may
// too: a node whose name it had not learnt, the reason no record came (a
// failure, whatever the controller's result), a reply of a failed call, a
// request never answered (any failure). Prints what differs; status 1 then.
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "protocol/operations.h"
#include "trace/trace_line.h"
#include "xal_tessaro.h"

using tessaro::trace::TraceLine;

namespace {

struct Numbered {
    size_t line;
    TraceLine value;
};

bool read_lines(const std::string& path, std::streamoff offset, bool recording, std::vector<Numbered>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::cerr << path << ": cannot be read\n", false;
    in.seekg(offset);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!text.empty() && text.back() != '\n') return std::cerr << path << ": the last line is cut short\n", false;
    size_t n = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end - at), error;
        at = end + 1, ++n;
        TraceLine l;
        if (!tessaro::trace::parse(line, l, error)) return std::cerr << path << ":" << n << ": " << error << "\n", false;
        if (tessaro::trace::format(l) != line) return std::cerr << path << ":" << n << ": does not read back as written\n", false;
        if (recording && (!l.seq || !l.pid || !l.tid || (!l.plc_event && !l.begin_us)))
            return std::cerr << path << ":" << n << ": lacks its process, thread, number or start\n", false;
        out.push_back({n, std::move(l)});
    }
    return true;
}

// Groups lines by connection, in the order connections first appear.
std::vector<std::vector<const Numbered*>> by_connection(const std::vector<Numbered>& lines, bool recording) {
    std::map<std::string, size_t> index;
    std::vector<std::vector<const Numbered*>> groups;
    for (const Numbered& n : lines) {
        const TraceLine& l = n.value;
        if (l.local || (!l.plc_event && l.op == static_cast<uint16_t>(tessaro::proto::Op::Hello))) continue;
        std::string key = (recording ? std::to_string(*l.pid) + " " : "") + l.conn;
        auto it = index.emplace(key, groups.size()).first;
        if (it->second == groups.size()) groups.emplace_back();
        groups[it->second].push_back(&n);
    }
    return groups;
}

// The recorded call as the simulator would have traced it, where the
// library tells less than the wire carried.
TraceLine as_traced(TraceLine r, const TraceLine& t) {
    const tessaro::proto::Operation* op = tessaro::proto::operation(t.op);
    bool record_op = op && op->record != tessaro::proto::RecordKind::None;
    if (!t.result ? r.result && *r.result < 0 : record_op && t.result != 0 && r.result == E_FAILURE) r.result = t.result;
    if (r.result && *r.result != 0 && r.reply.empty()) r.reply = t.reply;
    if (r.node.state == tessaro::trace::NodeRef::State::Unknown) r.node = t.node;
    if (r.newparent.state == tessaro::trace::NodeRef::State::Unknown) r.newparent = t.newparent;
    r.seq = t.seq, r.pid = t.pid, r.tid = t.tid, r.begin_us = t.begin_us, r.time_us = t.time_us, r.conn = t.conn;
    r.fault = t.fault;
    return r;
}

bool same_run(const std::string& rec_path, const std::vector<Numbered>& rec, const std::vector<Numbered>& trace) {
    auto calls = by_connection(rec, true), served = by_connection(trace, false);
    if (calls.size() != served.size()) {
        std::cerr << rec_path << ": " << calls.size() << " connections recorded, " << served.size() << " traced\n";
        return false;
    }
    bool ok = true;
    for (size_t c = 0; c < calls.size(); ++c) {
        size_t next = 0;
        const auto& t = served[c];
        for (const Numbered* r : calls[c]) {
            const TraceLine& l = r->value;
            if (l.plc_event) {  // delivered in order; the library drops those after an unregister
                while (next < t.size() && !(t[next]->value.plc_event == l.plc_event)) ++next;
                if (next == t.size()) {
                    std::cerr << rec_path << ":" << r->line << ": an event the simulator did not push\n";
                    return false;
                }
                ++next;
                continue;
            }
            while (next < t.size() && t[next]->value.plc_event) ++next;
            // Job node types come from the library's cache after the first call.
            if (l.op == static_cast<uint16_t>(tessaro::proto::Op::GetJobNodeTypeInfo) &&
                (next == t.size() || t[next]->value.op != l.op))
                continue;
            if (next == t.size()) {
                std::cerr << rec_path << ":" << r->line << ": a call the simulator never saw\n";
                return false;
            }
            const TraceLine& traced = t[next++]->value;
            std::string want = tessaro::trace::format(traced), got = tessaro::trace::format(as_traced(l, traced));
            if (got != want) {
                std::cerr << rec_path << ":" << r->line << ": recorded\n  " << got << "\nbut the simulator traced\n  " << want << "\n";
                ok = false;
            }
        }
        for (; next < t.size(); ++next)
            if (!t[next]->value.plc_event) {
                std::cerr << rec_path << ": the simulator traced a request the recording lacks (trace line "
                          << t[next]->line << ")\n";
                return false;
            }
    }
    return ok;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc < 2 || argc > 4) return std::cerr << "usage: record_check RECORDING [TRACE [OFFSET]]\n", 2;
    std::vector<Numbered> rec, trace;
    if (!read_lines(argv[1], 0, true, rec)) return 1;
    if (argc > 2 && (!read_lines(argv[2], argc > 3 ? std::stoll(argv[3]) : 0, false, trace) || !same_run(argv[1], rec, trace)))
        return 1;
    return 0;
}
