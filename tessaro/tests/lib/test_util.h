// Small helpers shared by the library tests.
#pragma once

#include <chrono>
#include <cstdlib>
#include <string>

#include "scripted_peer.h"
#include "xal_tessaro.h"

namespace testutil {

// Sets an environment variable for the lifetime of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        const char* old = std::getenv(name);
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (had_)
            ::setenv(name_, old_.c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    bool had_ = false;
    std::string old_;
};

class Stopwatch {
public:
    long ms() const {
        return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now() - start_)
                                     .count());
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

inline HController connect_to(const peer::ScriptedPeer& p) {
    return DetectRemoteController(p.address().c_str(), 1610);
}

}  // namespace testutil

#include <thread>

namespace testutil {

// Polls `done` every 5 ms for up to `timeout_ms`; true once it holds.
template <typename Pred>
bool eventually(Pred done, int timeout_ms = 3000) {
    Stopwatch sw;
    while (!done()) {
        if (sw.ms() > timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// How many requests of `op` the peer has received.
inline size_t count_ops(const peer::ScriptedPeer& p, peer::Op op) {
    size_t n = 0;
    for (peer::Op o : p.ops()) n += (o == op);
    return n;
}

}  // namespace testutil
