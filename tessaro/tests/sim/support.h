// Helpers shared by the simulator tests: loading scenarios, a manual clock,
// a PLC event recorder, a raw protocol client and a simulator process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "machine.h"
#include "protocol/frame_io.h"
#include "protocol/messages.h"
#include "protocol/wire.h"

namespace tessaro::sim::test {

// Loads scenario text; fails the calling test when it does not load.
MachineConfig load(const std::string& text);
// The loader's error for scenario text that must not load ("" if it loads).
std::string load_error(const std::string& text, const std::string& name = "t.json");
std::string read_file(const std::string& path);

struct ManualClock {
    TimePoint now{};
    Machine::ClockFn fn() {
        return [this] { return now; };
    }
    void advance(int ms) { now += std::chrono::milliseconds(ms); }
};

// Collects the PLC words pushed to a session.
class Recorder : public PlcSink {
public:
    void plc_changed(uint32_t word) override {
        std::lock_guard<std::mutex> lk(mu_);
        words_.push_back(word);
    }
    std::vector<uint32_t> words() {
        std::lock_guard<std::mutex> lk(mu_);
        return words_;
    }

private:
    std::mutex mu_;
    std::vector<uint32_t> words_;
};

// A protocol client over a plain socket, built on the shared codec.
class RawClient {
public:
    RawClient() = default;
    ~RawClient();
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    bool connect(uint16_t port);
    void close();
    bool send(const std::vector<uint8_t>& frame);
    bool send_bytes(const void* data, size_t len);
    wire::IoStatus read(std::vector<uint8_t>& body, int timeout_ms);
    // True when the server closes the connection within `timeout_ms`
    // (frames that arrive before that are skipped).
    bool closed_within(int timeout_ms);

    wire::Writer request(proto::Op op) { return wire::Writer(wire::Kind::Request, ++seq_, static_cast<uint16_t>(op)); }
    // Sends a request and returns the reply's body; events that arrive
    // first are kept in `events`. Empty when no reply comes in time.
    std::vector<uint8_t> call(const wire::Writer& w, int timeout_ms = 3000);
    // A Hello with the right magic and version; true when accepted.
    bool hello();
    // Waits for a PlcChanged event; false when none arrives in time.
    bool next_event(uint32_t& word, int timeout_ms);

    std::deque<std::vector<uint8_t>> events;

private:
    int fd_ = -1;
    uint32_t seq_ = 0;
};

// The result field of a reply body, with a reader placed after it.
struct Reply {
    explicit Reply(std::vector<uint8_t> b);
    Reply(const Reply&) = delete;
    Reply(Reply&&) = default;  // the moved body keeps its buffer, so `fields` stays valid
    bool ok = false;  // a reply frame with a result field
    int32_t result = 0;
    std::vector<uint8_t> body;
    wire::Reader fields;  // after the result
};

// A tessaro-sim process with its standard error read through a pipe.
class SimProcess {
public:
    ~SimProcess();
    bool start(const std::vector<std::string>& args);
    // Waits until a line starting with `prefix` has been written; returns it.
    std::string wait_line(const std::string& prefix, int timeout_ms);
    // Waits for the exit; -1 when it does not exit in time (it is killed then).
    int wait_exit(int timeout_ms);
    void signal(int sig);
    std::string output() const { return err_; }
    bool stdout_empty();

private:
    void pump(int timeout_ms);
    pid_t pid_ = -1;
    int err_fd_ = -1, out_fd_ = -1;
    std::string err_, out_;
};

// The port of a "tessaro-sim: listening on ADDR:PORT" line, 0 for none.
uint16_t port_of(const std::string& listening_line);

}  // namespace tessaro::sim::test
