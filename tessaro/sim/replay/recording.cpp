#include "recording.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

namespace tessaro::sim::replay {

bool is_action(const proto::Operation& op) {
    switch (op.op) {
        case proto::Op::JobStart:
        case proto::Op::RegisterOnPLCChanged:
        case proto::Op::UnregisterOnPLCChanged:
        // What a collection holds is the connection's own state: the same
        // count or index means another node after each of these.
        case proto::Op::CreateNodeObjectCollection:
        case proto::Op::GetSubnodes:
        case proto::Op::DestroyNodeObjectCollection: return true;
        default: return op.state != proto::StateEffect::Transient;
    }
}

namespace {

// FNV-1a over the operation and each field, a field's kind and length
// included, so that no two different calls hash the same bytes.
class KeyHash {
public:
    explicit KeyHash(uint16_t op) { add(&op, sizeof op); }
    void number(int64_t n) {
        add("i", 1);
        add(&n, sizeof n);
    }
    void text(const std::string& s) {
        uint64_t n = s.size();
        add("s", 1);
        add(&n, sizeof n);
        add(s.data(), s.size());
    }
    uint64_t value() const { return h_; }

private:
    void add(const void* p, size_t n) {
        const unsigned char* b = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) h_ = (h_ ^ b[i]) * 1099511628211ULL;
    }
    uint64_t h_ = 14695981039346656037ULL;
};

bool skipped(const trace::TraceLine& l) {
    if (l.plc_event) return false;
    if (l.local || !l.decoded) return true;  // never on the wire
    const proto::Operation* o = proto::operation(l.op);
    return !o || o->op == proto::Op::Hello || proto::is_api_op(o->op) || l.conn.compare(0, 5, "http ") == 0;
}

// What a line must hold to answer its request as it was answered.
std::string lacks(const trace::TraceLine& l, bool recording) {
    if (recording && (!l.seq || !l.tid || (!l.plc_event && !l.begin_us)))
        return "a recording's line lacks its thread, number or start";
    if (skipped(l) || l.plc_event || !l.result || *l.result != 0) return "";
    const proto::Operation* o = proto::operation(l.op);
    if (o->reply_fields() > 0 && l.reply.empty())
        return std::string("the reply of ") + o->name + " is not recorded (a trace written before replies were)";
    if (o->record != proto::RecordKind::None && l.record.index() == 0)
        return std::string("the record of ") + o->name + " is not recorded";
    return "";
}

}  // namespace

uint64_t call_key(uint16_t op, const std::vector<trace::Arg>& args) {
    KeyHash h(op);
    for (const trace::Arg& a : args) a.text ? h.text(a.str) : h.number(a.num);
    return h.value();
}

uint64_t call_key(uint16_t op, const char* tags, const std::vector<proto::Field>& args) {
    KeyHash h(op);
    for (size_t i = 0; i < args.size(); ++i) tags[i] == 's' ? h.text(args[i].str) : h.number(args[i].num);
    return h.value();
}

bool Recording::load(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = path + ": not a regular file";
        return false;
    }
    std::string text(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd, &text[got], text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    int read_errno = errno;
    ::close(fd);
    if (got != text.size()) {
        error = path + ": " + (got < text.size() && read_errno ? std::strerror(read_errno) : "changed while read");
        return false;
    }
    return load_text(std::move(text), path, error);
}

bool Recording::load_text(std::string text, const std::string& name, std::string& error) {
    text_ = std::move(text);
    sessions_.clear();
    calls_ = 0;
    std::unordered_map<std::string, size_t> index;
    trace::TraceLine l;
    std::string why, key;
    bool recording = false;
    uint32_t n = 0;
    auto fail = [&](const std::string& what) {
        error = name + ":" + std::to_string(n) + ": " + what;
        sessions_.clear();
        return false;
    };
    for (size_t at = 0; at < text_.size();) {
        const char* end = static_cast<const char*>(std::memchr(text_.data() + at, '\n', text_.size() - at));
        if (n == UINT32_MAX) return fail("more lines than a recording can hold");
        ++n;
        if (!end) return fail("the last line is cut short");
        size_t len = static_cast<size_t>(end - text_.data()) - at;
        if (len > UINT32_MAX) return fail("a line of more than 4 GiB");
        if (!trace::parse(std::string_view(text_).substr(at, len), l, why)) return fail(why);
        if (n == 1) recording = l.pid.has_value();
        if (l.pid.has_value() != recording)
            return fail(recording ? "a simulator's trace line in a recording" : "a recording's line in a simulator's trace");
        std::string missing = lacks(l, recording);
        if (!missing.empty()) return fail(missing);
        if (!skipped(l)) {
            key = recording ? "process " + std::to_string(*l.pid) + " " + l.conn : l.conn;
            auto it = index.emplace(key, sessions_.size()).first;
            if (it->second == sessions_.size()) sessions_.push_back(RecordedSession{key, {}, {}, {}});
            RecordedCall c;
            c.offset = at;
            c.length = static_cast<uint32_t>(len);
            c.line = n;
            c.time_us = l.time_us;
            c.begin_us = l.begin_us.value_or(l.time_us);
            if (l.plc_event) {
                c.kind = RecordedCall::Kind::Event;
                c.plc_word = *l.plc_event;
            } else {
                c.op = l.op;
                c.kind = is_action(*proto::operation(l.op)) ? RecordedCall::Kind::Action : RecordedCall::Kind::Read;
                c.key = call_key(l.op, l.args);
                ++calls_;
            }
            sessions_[it->second].calls.push_back(c);
        }
        at += len + 1;
    }
    if (calls_ == 0) {
        error = name + ": no calls to replay" + (text_.empty() ? " (the file is empty)" : "");
        return false;
    }
    // A connection that only received events made no call to match.
    sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                   [](const RecordedSession& s) {
                                       return std::none_of(s.calls.begin(), s.calls.end(), [](const RecordedCall& c) {
                                           return c.kind != RecordedCall::Kind::Event;
                                       });
                                   }),
                    sessions_.end());
    for (RecordedSession& s : sessions_) {
        for (uint32_t i = 0; i < s.calls.size(); ++i) {
            if (s.calls[i].kind == RecordedCall::Kind::Action) s.actions.push_back(i);
            if (s.calls[i].kind == RecordedCall::Kind::Read) s.reads.emplace_back(s.calls[i].key, i);
        }
        std::sort(s.reads.begin(), s.reads.end());
        s.calls.shrink_to_fit();
        s.actions.shrink_to_fit();
        s.reads.shrink_to_fit();
    }
    // Connections are matched in the order their first calls were made.
    auto first = [](const RecordedSession& s) {
        for (const RecordedCall& c : s.calls)
            if (c.kind != RecordedCall::Kind::Event) return c.begin_us;
        return int64_t{0};
    };
    std::stable_sort(sessions_.begin(), sessions_.end(),
                     [&](const RecordedSession& a, const RecordedSession& b) { return first(a) < first(b); });
    return true;
}

trace::TraceLine Recording::line(const RecordedCall& c) const {
    std::string error;
    trace::TraceLine l;
    trace::parse(text(c), l, error);
    return l;
}

size_t Recording::footprint() const {
    size_t n = text_.capacity() + sessions_.capacity() * sizeof(RecordedSession);
    for (const RecordedSession& s : sessions_)
        n += s.name.capacity() + s.calls.capacity() * sizeof(RecordedCall) + s.actions.capacity() * sizeof(uint32_t) +
             s.reads.capacity() * sizeof(s.reads[0]);
    return n;
}

}  // namespace tessaro::sim::replay
