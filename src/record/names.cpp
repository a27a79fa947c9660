#include "names.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace zuna {
namespace record {

struct Names::Entry {
    int32_t hc, handle;
    char* name;  // null: free, or a tombstone when `dead`
    bool dead;
};

Names::Names() : table_(0), cap_(0), used_(0), lock_(0) {}

Names::~Names() {
    for (size_t i = 0; i < cap_; ++i) free(table_[i].name);
    free(table_);
}

void Names::lock() {
    while (__atomic_test_and_set(&lock_, __ATOMIC_ACQUIRE)) sched_yield();
}

void Names::unlock() { __atomic_clear(&lock_, __ATOMIC_RELEASE); }

namespace {

size_t hash(int32_t hc, int32_t handle) {
    uint32_t h = static_cast<uint32_t>(hc) * 2654435761u ^ static_cast<uint32_t>(handle) * 2246822519u;
    return h ^ (h >> 15);
}

}  // namespace

// The entry of (hc, handle), or with `add` the place for it; null when there
// is none (or no room).
Names::Entry* Names::slot(int32_t hc, int32_t handle, bool add) {
    if (add && (used_ + 1) * 2 > cap_ && !grow()) return 0;
    if (cap_ == 0) return 0;
    Entry* tomb = 0;
    for (size_t i = hash(hc, handle) & (cap_ - 1);; i = (i + 1) & (cap_ - 1)) {
        Entry& e = table_[i];
        if (!e.name && !e.dead) return add ? (tomb ? tomb : &e) : 0;
        if (e.dead) {
            if (!tomb) tomb = &e;
        } else if (e.hc == hc && e.handle == handle) {
            return &e;
        }
    }
}

bool Names::grow() {
    size_t cap = cap_ ? cap_ * 2 : 64;
    Entry* table = static_cast<Entry*>(calloc(cap, sizeof(Entry)));
    if (!table) return false;
    Entry* old = table_;
    size_t old_cap = cap_;
    table_ = table, cap_ = cap, used_ = 0;
    for (size_t i = 0; i < old_cap; ++i)
        if (old[i].name) {
            Entry* e = slot(old[i].hc, old[i].handle, true);
            *e = old[i];
            ++used_;
        }
    free(old);
    return true;
}

char* Names::find(int32_t hc, int32_t handle) {
    lock();
    Entry* e = slot(hc, handle, false);
    char* copy = e ? strdup(e->name) : 0;
    unlock();
    return copy;
}

void Names::learn(int32_t hc, int32_t handle, const char* fullname) {
    if (!fullname) return;
    char* copy = strdup(fullname);
    if (!copy) return;
    lock();
    Entry* e = slot(hc, handle, true);
    if (e) {
        if (!e->name && !e->dead) ++used_;
        free(e->name);
        e->hc = hc, e->handle = handle, e->name = copy, e->dead = false;
        copy = 0;
    }
    unlock();
    free(copy);
}

void Names::forget(int32_t hc, int32_t handle) {
    lock();
    Entry* e = slot(hc, handle, false);
    if (e) {
        free(e->name);
        e->name = 0, e->dead = true;
    }
    unlock();
}

void Names::moved(int32_t hc, const char* from, const char* to) {
    size_t n = strlen(from), m = to ? strlen(to) : 0;
    lock();
    for (size_t i = 0; i < cap_; ++i) {
        Entry& e = table_[i];
        if (!e.name || e.hc != hc || strncmp(e.name, from, n) != 0 || (e.name[n] != '\0' && e.name[n] != '.')) continue;
        char* renamed = 0;
        if (to) {
            size_t rest = strlen(e.name + n);
            renamed = static_cast<char*>(malloc(m + rest + 1));
            if (renamed) {
                memcpy(renamed, to, m);
                memcpy(renamed + m, e.name + n, rest + 1);
            }
        }
        free(e.name);
        e.name = renamed, e.dead = !renamed;
    }
    unlock();
}

namespace {

// SipHash-2-4 of `n` bytes under the key (k0, k1).
uint64_t rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

uint64_t siphash(uint64_t k0, uint64_t k1, const unsigned char* in, size_t n) {
    uint64_t v0 = 0x736f6d6570736575ULL ^ k0, v1 = 0x646f72616e646f6dULL ^ k1;
    uint64_t v2 = 0x6c7967656e657261ULL ^ k0, v3 = 0x7465646279746573ULL ^ k1;
    struct Round {
        static void run(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d) {
            a += b, b = rotl(b, 13), b ^= a, a = rotl(a, 32);
            c += d, d = rotl(d, 16), d ^= c;
            a += d, d = rotl(d, 21), d ^= a;
            c += b, b = rotl(b, 17), b ^= c, c = rotl(c, 32);
        }
    };
    size_t whole = n - n % 8;
    for (size_t i = 0; i <= whole; i += 8) {
        uint64_t m = 0;
        if (i < whole) {
            for (int k = 7; k >= 0; --k) m = m << 8 | in[i + k];
        } else {  // the last bytes and the length
            m = static_cast<uint64_t>(n) << 56;
            for (size_t k = 0; k < n % 8; ++k) m |= static_cast<uint64_t>(in[i + k]) << (8 * k);
        }
        v3 ^= m;
        Round::run(v0, v1, v2, v3);
        Round::run(v0, v1, v2, v3);
        v0 ^= m;
    }
    v2 ^= 0xff;
    for (int r = 0; r < 4; ++r) Round::run(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

bool read_hex64(const char* s, uint64_t& out) {
    out = 0;
    for (int i = 0; i < 16; ++i) {
        char c = s[i];
        int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (d < 0) return false;
        out = out << 4 | static_cast<uint64_t>(d);
    }
    return true;
}

}  // namespace

Redaction::Redaction(const char* globs, const char* key) : globs_(0), count_(0), all_(false), k0_(0), k1_(0) {
    if (!key || strlen(key) != 32 || !read_hex64(key, k0_) || !read_hex64(key + 16, k1_)) {
        int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
        uint64_t k[2] = {static_cast<uint64_t>(time(0)), static_cast<uint64_t>(getpid())};
        if (fd >= 0) {
            if (read(fd, k, sizeof k) != static_cast<ssize_t>(sizeof k)) k[1] ^= 0x9e3779b97f4a7c15ULL;
            close(fd);
        }
        k0_ = k[0], k1_ = k[1];
    }
    if (!globs || !*globs) return;
    size_t lines = 1;
    for (const char* p = globs; *p; ++p) lines += *p == '\n';
    globs_ = static_cast<char**>(calloc(lines, sizeof(char*)));
    if (!globs_) {
        all_ = true;  // nothing can be matched: then every value is redacted
        return;
    }
    for (const char* p = globs; *p;) {
        const char* end = strchr(p, '\n');
        size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
        if (n > 0 && (globs_[count_] = strndup(p, n))) ++count_;
        p += n + (end ? 1 : 0);
    }
}

Redaction::~Redaction() {
    for (size_t i = 0; i < count_; ++i) free(globs_[i]);
    free(globs_);
}

bool Redaction::applies(const char* fullname) const {
    if (all_) return true;
    if (count_ == 0) return false;
    if (!fullname) return true;
    for (size_t i = 0; i < count_; ++i)
        if (fnmatch(globs_[i], fullname, 0) == 0) return true;
    return false;
}

void Redaction::token(const void* value, size_t n, char* out) const {
    uint64_t h = siphash(k0_, k1_, static_cast<const unsigned char*>(value), n);
    snprintf(out, 26, "REDACTED-%016llx", static_cast<unsigned long long>(h));
}

}  // namespace record
}  // namespace zuna
