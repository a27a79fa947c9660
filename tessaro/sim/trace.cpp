#include "trace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "text/json_text.h"

namespace tessaro::sim {

namespace {

// Appends "2026-12-07T21:03:04.123456Z".
void append_utc_now(std::string& out) {
    auto now = std::chrono::system_clock::now();
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    time_t secs = static_cast<time_t>(us / 1000000);
    // Date and time of day change once a second: each thread formats them
    // then, and only the microseconds for every line.
    thread_local time_t formatted = -1;
    thread_local char prefix[40];
    if (secs != formatted) {
        tm t{};
        gmtime_r(&secs, &t);
        std::snprintf(prefix, sizeof prefix, "%04d-%02d-%02dT%02d:%02d:%02d.", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
        formatted = secs;
    }
    char micros[7] = "000000";
    for (int i = 5, v = static_cast<int>(us % 1000000); i >= 0 && v > 0; --i, v /= 10) micros[i] = static_cast<char>('0' + v % 10);
    out += prefix;
    out += micros;
    out += 'Z';
}

std::string head(const std::string& conn) {
    std::string line;
    line.reserve(256);  // most lines fit: one allocation per line
    line += "{\"time\":\"";
    append_utc_now(line);
    line += "\",\"conn\":";
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

Trace::~Trace() {
    if (fd_ >= 0) ::close(fd_);
}

bool Trace::open(const std::string& path, std::string& error) {
    path_ = path;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) error = "trace file " + path + ": " + std::strerror(errno);
    return fd_ >= 0;
}

void Trace::request(const std::string& conn, const TracedRequest& r) {
    std::string line = head(conn);
    line += ",\"op\":";
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
    write_line(line + "}\n");
}

void Trace::event(const std::string& conn, uint32_t plc_word) {
    write_line(head(conn) + ",\"event\":\"PlcChanged\",\"state\":" + std::to_string(plc_word) + "}\n");
}

void Trace::api(const std::string& conn, const std::string& call, const std::string& body, int status) {
    std::string line = head(conn) + ",\"api\":";
    text::append_json_string(line, call);
    if (!body.empty()) line += ",\"body\":" + body;
    write_line(line + ",\"status\":" + std::to_string(status) + "}\n");
}

std::vector<Trace::Numbered> Trace::lines_after(uint64_t after, size_t max, std::chrono::milliseconds wait,
                                                bool newest) {
    std::unique_lock<std::mutex> lk(mu_);
    if (wait.count() > 0) cv_.wait_for(lk, wait, [&] { return last_ > after || interrupted_; });
    std::vector<Numbered> out;
    if (last_ <= after || kept_.empty()) return out;
    // Numbers are consecutive: the first line wanted is found by arithmetic.
    uint64_t first = std::max(after + 1, kept_.front().first);
    if (newest && last_ - first + 1 > max) first = last_ - max + 1;
    for (size_t i = static_cast<size_t>(first - kept_.front().first); i < kept_.size() && out.size() < max; ++i)
        out.push_back(kept_[i]);
    return out;
}

uint64_t Trace::last_number() {
    std::lock_guard<std::mutex> lk(mu_);
    return last_;
}

void Trace::interrupt() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        interrupted_ = true;
    }
    cv_.notify_all();
}

void Trace::write_line(std::string line) {
    std::lock_guard<std::mutex> lk(mu_);
    kept_.emplace_back(++last_, line.substr(0, line.size() - 1));
    if (kept_.size() > kKeptLines) kept_.pop_front();
    cv_.notify_all();
    // Unbuffered: the line is in the file when write() returns.
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0 && !failed_ && fd_ >= 0) {
        ssize_t n = ::write(fd_, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failed_ = true;
            log_("trace file " + path_ + ": " + (n < 0 ? std::strerror(errno) : "nothing written") + "; tracing stops");
            break;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace tessaro::sim
