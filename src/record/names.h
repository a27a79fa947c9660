// What the recording knows of the program's nodes: the full name behind each
// handle of each connection, learnt from the calls it sees (a node looked up
// by name, a node's record, a rename, a move), so that a line can name the
// node a call addresses by handle. And which nodes' values it redacts.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace zuna {
namespace record {

class Names {
public:
    Names();
    ~Names();

    // A copy of the full name of `handle` on connection `hc` (free() it);
    // null when it is not known.
    char* find(int32_t hc, int32_t handle);
    void learn(int32_t hc, int32_t handle, const char* fullname);
    void forget(int32_t hc, int32_t handle);
    // A node of `hc` renamed or moved from `from` to `to`: it and every node
    // below it change their full names (null `to`: they are not known any
    // more).
    void moved(int32_t hc, const char* from, const char* to);

private:
    Names(const Names&);
    Names& operator=(const Names&);
    struct Entry;
    Entry* slot(int32_t hc, int32_t handle, bool add);
    bool grow();
    void lock();
    void unlock();

    Entry* table_;
    size_t cap_, used_;  // used_ counts live entries and tombstones
    int lock_;
};

// Which values are replaced by tokens: those of nodes whose full names match
// one of the globs (fnmatch), and those of nodes whose names are not known
// while any glob is given, since they might match.
class Redaction {
public:
    // `globs`: one per line; `key`: 32 hex digits, the same for every process
    // of one recording (random when absent or malformed).
    Redaction(const char* globs, const char* key);
    ~Redaction();
    bool any() const { return all_ || count_ > 0; }
    bool applies(const char* fullname) const;
    // "REDACTED-" and 16 hex digits, the same for the same value, into
    // `out` (room for 26 bytes with the terminator).
    void token(const void* value, size_t n, char* out) const;

private:
    Redaction(const Redaction&);
    Redaction& operator=(const Redaction&);
    char** globs_;
    size_t count_;
    bool all_;
    uint64_t k0_, k1_;
};

}  // namespace record
}  // namespace zuna
