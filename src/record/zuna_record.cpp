// libzuna-record.so: preloaded into a program (zuna-record does it), it
// defines every operation of xal_tessaro.h, hands each call on unchanged to
// the next definition, the controller library's (dlsym RTLD_NEXT), and
// writes a line for it to the file named by ZUNA_RECORD_FILE: the process,
// thread, a sequence number, when the call began and returned, its
// arguments with the nodes they address by name, its result and what it
// handed back. Each PLC event that reaches a handler is a line too. The
// lines are those of the simulator's trace (docs/record.md).
//
// It never changes what the program sees: results, outputs and errno are the
// library's, and it writes nothing but its file. When the file cannot be
// written, recording stops and the reason goes to the file named by
// ZUNA_RECORD_STATUS, for zuna-record to tell after the program has ended.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <new>

#include "line.h"
#include "names.h"
#include "records.h"
#include "xal_tessaro.h"

namespace zuna {
namespace record {
namespace {

enum OpId {
#define XAL_WIRE_OP(name, ...) OP_##name,
#define XAL_LOCAL_OP(name, ...) OP_##name,
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
};

// An operation's row of the list.
struct OpInfo {
    OpId id;
    const char* name;
    const char* roles;  // per request field, as in the list; "" for a local operation
    bool wire;
    // The first parameter is the connection: every operation carried out
    // on the wire but the system messages'.
    bool on_connection() const { return wire && roles[0] != 'm'; }
};

int64_t now_us() {
    timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

void spin_lock(int* l) {
    while (__atomic_test_and_set(l, __ATOMIC_ACQUIRE)) sched_yield();
}
void spin_unlock(int* l) { __atomic_clear(l, __ATOMIC_RELEASE); }

// ---- The recording: this process's part of the file.

class Recording {
public:
    Recording()
        : fd_(-1),
          state_(kNoFile),
          seq_(0),
          redaction_(getenv("ZUNA_RECORD_REDACT"), getenv("ZUNA_RECORD_KEY")),
          file_(getenv("ZUNA_RECORD_FILE")) {
        if (!file_ || !*file_) return;  // preloaded without a file: nothing is written
        state_ = kRecording;
        fd_ = open(file_, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
        struct stat st;
        if (fd_ < 0) {
            stop(strerror(errno));
        } else if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
            close(fd_);  // a pipe's reader could hold the program back
            stop("not a regular file");
        }
    }

    bool on() const { return __atomic_load_n(&state_, __ATOMIC_ACQUIRE) == kRecording; }
    uint32_t next_seq() { return __atomic_add_fetch(&seq_, 1, __ATOMIC_RELAXED); }
    Names& names() { return names_; }
    const Redaction& redaction() const { return redaction_; }

    // Writes the line whole, with one write on the file opened for
    // appending, so that lines of other threads and processes never mix in
    // it. A write that fails stops the recording; one cut short (a full
    // disk) is taken back when nothing was written after it.
    void write_line(const Line& l) {
        if (!on()) return;
        if (!l.data()) return stop("out of memory for a line");
        // A file size limit (ulimit -f) is met with SIGXFSZ, which would end
        // the program: it is held back while the line is written, and the
        // one the write raised is taken.
        sigset_t xfsz, before;
        sigemptyset(&xfsz);
        sigaddset(&xfsz, SIGXFSZ);
        sigprocmask(SIG_BLOCK, &xfsz, &before);
        ssize_t n;
        do n = ::write(fd_, l.data(), l.size());
        while (n < 0 && errno == EINTR);
        int err = n < 0 ? errno : 0;
        if (n >= 0 && n < static_cast<ssize_t>(l.size())) {
            // Cut short: the next byte tells why (and is taken back with the rest).
            ssize_t more = ::write(fd_, l.data() + n, 1);
            err = more < 0 ? errno : ENOSPC;
            if (more > 0) n += more;
        }
        if (n != static_cast<ssize_t>(l.size()) && !sigismember(&before, SIGXFSZ)) {
            timespec none = {0, 0};
            sigtimedwait(&xfsz, 0, &none);
        }
        sigprocmask(SIG_SETMASK, &before, 0);
        if (n == static_cast<ssize_t>(l.size())) return;
        if (n > 0) {
            struct stat st;
            off_t end = lseek(fd_, 0, SEEK_CUR);
            if (end >= n && fstat(fd_, &st) == 0 && st.st_size == end && ftruncate(fd_, end - n) != 0) {}
        }
        stop(err == EAGAIN ? "the file takes no more lines" : strerror(err));
    }

private:
    // Ends the recording of this process and says why, once. The file stays
    // open: another thread may be writing a line to it, and a closed number
    // could meanwhile be given to a file of the program's.
    void stop(const char* why) {
        if (__atomic_exchange_n(&state_, kStopped, __ATOMIC_ACQ_REL) == kStopped) return;
        const char* status = getenv("ZUNA_RECORD_STATUS");
        if (!status || !*status) return;
        int out = open(status, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (out < 0) return;
        char text[1024];
        int n = snprintf(text, sizeof text, "%s: %s\n", file_ ? file_ : "", why);
        if (n > 0 && ::write(out, text, static_cast<size_t>(n) < sizeof text ? static_cast<size_t>(n) : sizeof text - 1) < 0) {}
        close(out);
    }

    enum { kNoFile, kRecording, kStopped };
    int fd_;  // set once, before any line
    int state_;
    uint32_t seq_;
    Names names_;
    Redaction redaction_;
    const char* file_;
};

// This process and thread, asked of the system once per thread (and again
// in a child after fork, which every thread's cache then misses).
unsigned fork_generation = 1;
void after_fork() { __atomic_add_fetch(&fork_generation, 1, __ATOMIC_RELAXED); }

void ids(int64_t& pid, int64_t& tid) {
    static __thread unsigned cached = 0;
    static __thread int64_t cached_pid = 0, cached_tid = 0;
    unsigned generation = __atomic_load_n(&fork_generation, __ATOMIC_RELAXED);
    if (cached != generation) {
        cached_pid = getpid(), cached_tid = static_cast<int64_t>(syscall(SYS_gettid)), cached = generation;
    }
    pid = cached_pid, tid = cached_tid;
}

Recording* the_recording = 0;
int the_recording_lock = 0;

// The recording, made at the first call: errno is kept across it.
Recording& recording() {
    Recording* r = __atomic_load_n(&the_recording, __ATOMIC_ACQUIRE);
    if (r) return *r;
    int saved = errno;
    spin_lock(&the_recording_lock);
    r = the_recording;
    if (!r) {
        pthread_atfork(0, 0, after_fork);
        void* block = malloc(sizeof(Recording));  // kept for the life of the process
        r = block ? new (block) Recording() : 0;
        __atomic_store_n(&the_recording, r, __ATOMIC_RELEASE);
    }
    spin_unlock(&the_recording_lock);
    errno = saved;
    if (!r) abort();  // no memory for a few hundred bytes at the first call
    return *r;
}

// The line's start: sequence number, process, thread, times and connection.
void head(Line& l, Recording& rec, const int64_t* begin, int32_t hc) {
    int64_t pid = 0, tid = 0;
    ids(pid, tid);
    l.object().key("seq").unum(rec.next_seq()).key("pid").num(pid).key("tid").num(tid);
    if (begin) l.key("begin").time(*begin);
    l.key("time").time(now_us()).key("conn");
    char conn[16];
    char* end = conn + sizeof conn;
    char* start = end;
    for (uint32_t v = static_cast<uint32_t>(hc); hc >= 0 && (start == end || v > 0); v /= 10)
        *--start = static_cast<char>('0' + v % 10);
    if (hc >= 0) start -= 3, memcpy(start, "hc=", 3);
    l.text(start, static_cast<size_t>(end - start));
}

// ---- PLC events: the program's handlers, called through one of ours.

struct Handler {
    int32_t hc;
    XAL_PLC_CHANGED_CALLBACK fn;
};
Handler* handlers = 0;
size_t handler_count = 0, handler_cap = 0;
int handlers_lock = 0;

XAL_PLC_CHANGED_CALLBACK handler_of(int32_t hc) {
    XAL_PLC_CHANGED_CALLBACK fn = 0;
    spin_lock(&handlers_lock);
    for (size_t i = 0; i < handler_count; ++i)
        if (handlers[i].hc == hc) fn = handlers[i].fn;
    spin_unlock(&handlers_lock);
    return fn;
}

bool set_handler(int32_t hc, XAL_PLC_CHANGED_CALLBACK fn) {
    bool ok = true;
    spin_lock(&handlers_lock);
    size_t i = 0;
    while (i < handler_count && handlers[i].hc != hc) ++i;
    if (i == handler_count) {
        if (handler_count == handler_cap) {
            size_t cap = handler_cap ? 2 * handler_cap : 8;
            Handler* grown = static_cast<Handler*>(realloc(handlers, cap * sizeof(Handler)));
            if (grown) handlers = grown, handler_cap = cap;
        }
        if (handler_count < handler_cap) handlers[handler_count++].hc = hc;
        else ok = false;
    }
    if (ok) handlers[i].fn = fn;
    spin_unlock(&handlers_lock);
    return ok;
}

int on_plc_changed(HController hc, unsigned int value, unsigned int reserved) {
    XAL_PLC_CHANGED_CALLBACK fn = handler_of(hc);
    int saved = errno;
    Recording& rec = recording();
    if (rec.on()) {
        Line l;
        head(l, rec, 0, hc);
        l.key("event").text("PlcChanged").key("state").unum(value).end().finish();
        rec.write_line(l);
    }
    errno = saved;
    return fn ? fn(hc, value, reserved) : 0;
}

// ---- One call.

class Call {
public:
    explicit Call(const OpInfo& op)
        : op_(op), rec_(recording()), begin_(now_us()), hc_(-1), params_(0), args_(), nargs_(0), args_null_(false),
          outs_(), nouts_(0), pending_(-1), node_(0), newparent_(0), known_(false), parent_known_(false) {}
    ~Call() {
        free(node_);
        free(newparent_);
    }

    // The call's parameters in order: the connection, the request's fields,
    // the buffers and pointers that take what the reply holds.
    void param(int v) {
        if (params_++ == 0 && op_.on_connection()) {
            hc_ = v;
            return;
        }
        if (pending_ >= 0) outs_[pending_].size = v, pending_ = -1;
        add_num(v);
    }
    void param(VAR_TYPE v) { ++params_, add_num(v); }
    void param(const char* s) {
        ++params_;
        if (!s) args_null_ = true;  // refused before any request is made
        else if (nargs_ < kMaxArgs) args_[nargs_].text = true, args_[nargs_].num = 0, args_[nargs_++].str = s;
    }
    void param(char* buffer) { out(Out::Text, buffer); }
    void param(void* buffer) { out(Out::Bytes, buffer); }
    void param(int* p) { out(Out::Int, p); }
    void param(unsigned int* p) { out(Out::Unsigned, p); }
    void param(XAL_PLC_CHANGED_CALLBACK) { ++params_; }
    template <class Record>
    void param(Record*) { ++params_; }  // a record given back

    // Before the call is made: the nodes it addresses, by name.
    void before() {
        if (!rec_.on() || !op_.wire || args_null_) return;
        int nodes = 0;
        for (int i = 0; i < nargs_ && op_.roles[i]; ++i) {
            char role = op_.roles[i];
            if (role != 'n' && role != 'N') continue;
            // An empty name names no node: null, as for an unknown handle.
            char* name = role == 'N' ? (*args_[i].str ? strdup(args_[i].str) : 0)
                                     : rec_.names().find(hc_, static_cast<int32_t>(args_[i].num));
            if (nodes++ == 0) node_ = name, known_ = true;
            else newparent_ = name, parent_known_ = true;
        }
    }

    // The argument as it is handed on: a handler goes through ours.
    template <class T>
    T pass(T v) { return v; }
    XAL_PLC_CHANGED_CALLBACK pass(XAL_PLC_CHANGED_CALLBACK fn) {
        return fn && set_handler(hc_, fn) ? on_plc_changed : fn;
    }

    // After the call: what it gave back.
    void after(int result) {
        if (!rec_.on()) return;
        learn(result);
        Line l;
        start(l, op_.id == OP_DetectRemoteController ? result : hc_);
        l.key("result").num(result);
        if (result == 0 && nouts_ > 0) reply(l);
        l.end().finish();
        rec_.write_line(l);
    }
    template <class Record>
    void after(Record* r) {
        if (!rec_.on()) return;
        learn_record(r);
        Line l;
        start(l, hc_);
        // The library says no more than that no record came: E_FAILURE.
        l.key("result").num(r ? 0 : E_FAILURE);
        if (r) write_record(l.key("record"), *r);
        l.end().finish();
        rec_.write_line(l);
    }

private:
    enum { kMaxArgs = 4 };
    struct Arg {
        bool text;
        int64_t num;
        const char* str;
    };
    struct Out {
        enum Kind { Text, Bytes, Int, Unsigned } kind;
        const void* at;
        int size;
    };

    void add_num(int64_t v) {
        if (nargs_ < kMaxArgs) args_[nargs_].text = false, args_[nargs_].str = "", args_[nargs_++].num = v;
    }
    void out(Out::Kind k, const void* at) {
        ++params_;
        if (nouts_ == 2) return;
        outs_[nouts_].kind = k, outs_[nouts_].at = at, outs_[nouts_].size = 0;
        if (k == Out::Text || k == Out::Bytes) pending_ = nouts_;
        ++nouts_;
    }

    bool redacts_value() const { return rec_.redaction().any() && rec_.redaction().applies(known_ ? node_ : 0); }

    void start(Line& l, int32_t hc) {
        head(l, rec_, &begin_, hc);
        l.key("op").text(op_.name).key("args");
        if (args_null_) {
            l.null();
        } else {
            l.array();
            for (int i = 0; i < nargs_; ++i) {
                const Arg& a = args_[i];
                if (!a.text) {
                    l.num(a.num);
                } else if (op_.id == OP_SetNodeValueString && i == 1 && redacts_value()) {
                    char token[26];
                    rec_.redaction().token(a.str, strlen(a.str), token);
                    l.text(token);
                } else {
                    l.text(a.str);
                }
            }
            l.end();
        }
        if (known_) node_ ? l.key("node").text(node_) : l.key("node").null();
        if (parent_known_) newparent_ ? l.key("newparent").text(newparent_) : l.key("newparent").null();
    }

    void reply(Line& l) {
        l.key("reply").array();
        for (int i = 0; i < nouts_; ++i) {
            const Out& o = outs_[i];
            if (o.kind == Out::Int) {
                l.num(*static_cast<const int*>(o.at));
                continue;
            }
            if (o.kind == Out::Unsigned) {
                l.unum(*static_cast<const unsigned int*>(o.at));
                continue;
            }
            const char* p = static_cast<const char*>(o.at);
            size_t n = o.kind == Out::Bytes ? static_cast<size_t>(o.size) : strnlen(p, static_cast<size_t>(o.size));
            char token[26];
            if ((op_.id == OP_GetNodeValueString || op_.id == OP_GetNodeValueBinCopy) && redacts_value()) {
                rec_.redaction().token(p, n, token);
                p = token, n = strlen(token);
            }
            if (o.kind == Out::Bytes) l.hex(p, n);
            else l.text(p, n);
        }
        l.end();
    }

    void write_record(Line& l, const XAL_NODEINFO& r) {
        char token[26];
        const char* value = 0;
        if (rec_.redaction().applies(r.fullname ? r.fullname : (known_ ? node_ : 0))) {
            rec_.redaction().token(r.value ? r.value : "", r.value ? strlen(r.value) : 0, token);
            value = token;
        }
        write(l, r, value);
    }
    template <class Record>
    void write_record(Line& l, const Record& r) { write(l, r); }

    // What a successful call tells of the nodes' names.
    void learn(int result) {
        Names& names = rec_.names();
        int32_t node = nargs_ > 0 ? static_cast<int32_t>(args_[0].num) : -1;
        switch (op_.id) {
            case OP_GetNode:
                if (result >= 0 && nargs_ > 0) names.learn(hc_, result, args_[0].str);
                break;
            case OP_GetParentNode:
                if (result >= 0 && known_ && node_ && strrchr(node_, '.')) {
                    char* parent = strndup(node_, static_cast<size_t>(strrchr(node_, '.') - node_));
                    names.learn(hc_, result, parent);
                    free(parent);
                }
                break;
            case OP_RenameNode:
                if (result == 0 && known_ && node_ && nargs_ > 1) {
                    const char* dot = strrchr(node_, '.');
                    size_t keep = dot ? static_cast<size_t>(dot - node_ + 1) : 0;
                    size_t n = strlen(args_[1].str);
                    char* renamed = static_cast<char*>(malloc(keep + n + 1));
                    if (renamed) {
                        memcpy(renamed, node_, keep);
                        memcpy(renamed + keep, args_[1].str, n + 1);
                    }
                    names.moved(hc_, node_, renamed);
                    free(renamed);
                }
                break;
            case OP_MoveSubtree:
                if (result == 0 && known_ && node_) {
                    const char* dot = strrchr(node_, '.');
                    const char* shortname = dot ? dot + 1 : node_;
                    char* moved = 0;
                    if (parent_known_ && newparent_) {
                        size_t p = strlen(newparent_), n = strlen(shortname);
                        moved = static_cast<char*>(malloc(p + n + 2));
                        if (moved) memcpy(moved, newparent_, p), moved[p] = '.', memcpy(moved + p + 1, shortname, n + 1);
                    }
                    names.moved(hc_, node_, moved);
                    free(moved);
                }
                break;
            case OP_DeleteSingleNodeOnController:
                if (result == 0) names.forget(hc_, node);
                break;
            default: break;
        }
    }
    void learn_record(const XAL_NODEINFO* r) {
        if (r && r->fullname) rec_.names().learn(hc_, r->handle, r->fullname);
    }
    template <class Record>
    void learn_record(const Record*) {}

    const OpInfo& op_;
    Recording& rec_;
    int64_t begin_;
    int32_t hc_;
    int params_;
    Arg args_[kMaxArgs];
    int nargs_;
    bool args_null_;
    Out outs_[2];
    int nouts_, pending_;
    char *node_, *newparent_;  // null: not known (when known_)
    bool known_, parent_known_;  // the line has "node", "newparent"
};

// The next definition of an operation: the controller library's.
void* next_definition(const char* name, void** slot) {
    void* fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (!fn) {
        fn = dlsym(RTLD_NEXT, name);
        __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
    }
    return fn;
}

// What a call returns when the library has no such operation: none, or -1.
template <class T>
T failed() { return T(); }
template <>
int failed<int>() { return -1; }

}  // namespace
}  // namespace record
}  // namespace zuna

// ---- The operations, one per entry of the list.

#define REC_COUNT(...) REC_COUNT_(__VA_ARGS__, 4, 3, 2, 1, 0)
#define REC_COUNT_(a, b, c, d, n, ...) n
#define REC_CAT(a, b) REC_CAT_(a, b)
#define REC_CAT_(a, b) a##b
#define REC_PARAMS(...) REC_CAT(REC_PARAMS_, REC_COUNT(__VA_ARGS__))(__VA_ARGS__)
#define REC_PARAMS_1(A) A a0
#define REC_PARAMS_2(A, B) A a0, B a1
#define REC_PARAMS_3(A, B, C) A a0, B a1, C a2
#define REC_PARAMS_4(A, B, C, D) A a0, B a1, C a2, D a3
#define REC_EACH(...) REC_CAT(REC_EACH_, REC_COUNT(__VA_ARGS__))
#define REC_EACH_1(F) F(a0)
#define REC_EACH_2(F) F(a0), F(a1)
#define REC_EACH_3(F) F(a0), F(a1), F(a2)
#define REC_EACH_4(F) F(a0), F(a1), F(a2), F(a3)
#define REC_PARAM(a) c.param(a)
#define REC_PASS(a) c.pass(a)

#define REC_DEFINE(opname, roles, wire, Ret, Params)                                                       \
    extern "C" __attribute__((visibility("default"))) Ret opname(REC_PARAMS Params) {                     \
        using namespace zuna::record;                                                                      \
        static const OpInfo kInfo = {OP_##opname, #opname, roles, wire};                                   \
        static void* next = 0;                                                                             \
        typedef Ret(*Fn) Params;                                                                           \
        Fn real = reinterpret_cast<Fn>(next_definition(#opname, &next));                                  \
        int entry = errno;                                                                                 \
        Call c(kInfo);                                                                                     \
        (void)(REC_EACH Params(REC_PARAM));                                                                \
        c.before();                                                                                        \
        errno = entry;                                                                                     \
        Ret r = real ? real(REC_EACH Params(REC_PASS)) : failed<Ret>();                                    \
        int saved = errno;                                                                                 \
        c.after(r);                                                                                        \
        errno = saved;                                                                                     \
        return r;                                                                                          \
    }

#define XAL_WIRE_OP(name, wire, request, roles, reply, record, state, Ret, Params) \
    REC_DEFINE(name, roles, true, Ret, Params)
#define XAL_LOCAL_OP(name, Ret, Params) REC_DEFINE(name, "", false, Ret, Params)
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
