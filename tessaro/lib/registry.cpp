#include "registry.h"

#include <mutex>
#include <stdexcept>
#include <vector>

namespace tessaro::lib::registry {

namespace {

struct Table {
    std::mutex mu;
    std::vector<Connection*> conns;
};

// Deliberately never destroyed; reachable through this pointer for the
// process lifetime.
Table& table() {
    static Table* t = new Table;
    return *t;
}

}  // namespace

HController add(Connection* conn) {
    Table& t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    try {
        if (t.conns.size() >= 0x7fffffff) throw std::length_error("handle table full");
        t.conns.reserve(t.conns.size() + 1);  // so that the push below cannot fail
    } catch (const std::exception&) {
        delete conn;
        return -1;
    }
    HController handle = static_cast<HController>(t.conns.size());
    // Started under the lock, so no other thread can find the connection
    // before its handle is set.
    if (!conn->start(handle)) {
        delete conn;
        return -1;
    }
    t.conns.push_back(conn);
    return handle;
}

Connection* find(HController handle) {
    Table& t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    if (handle < 0 || static_cast<size_t>(handle) >= t.conns.size()) return nullptr;
    return t.conns[static_cast<size_t>(handle)];
}

Connection* latest_alive() {
    Table& t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    for (auto it = t.conns.rbegin(); it != t.conns.rend(); ++it)
        if ((*it)->alive()) return *it;
    return nullptr;
}

}  // namespace tessaro::lib::registry
