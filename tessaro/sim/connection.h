// One client connection: the handshake, the request loop on a reader thread,
// and a writer thread that sends replies and pushed events from a bounded
// queue, so that a client that stops reading never blocks the machine or
// the other clients; it is dropped instead.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "machine.h"

namespace tessaro::sim {

class StateFile;
class Trace;

struct ServerOptions {
    int handshake_timeout_ms = 5000;  // from accepting until a successful Hello
    int frame_timeout_ms = 10000;     // a frame, once begun, must arrive whole within this
    int write_timeout_ms = 2000;      // per frame sent
    size_t max_backlog_bytes = 8u << 20;  // queued, unsent output of one connection (two largest frames)
    size_t max_connections = 256;
    StateFile* state = nullptr;  // --state: acknowledged changes are saved before their replies
    Trace* trace = nullptr;      // --trace: every request and event is recorded
};

using LogFn = std::function<void(const std::string&)>;

class Connection : public PlcSink {
public:
    // Takes ownership of the connected socket `fd`.
    Connection(Machine& m, int fd, std::string peer, const ServerOptions& opt, LogFn log);
    ~Connection() override;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    void start();
    // Asks the connection to end soon: wakes every wait and shuts the socket down.
    void stop();
    // True once both threads have finished; join() then returns at once.
    bool finished() const { return finished_; }
    void join();

    // Queues a PlcChanged event (called under the machine lock).
    void plc_changed(uint32_t word) override;

private:
    enum class Read { Frame, Timeout, Ended };

    void run();
    void write_loop();
    bool handshake();
    Read next_frame(std::vector<uint8_t>& body, const TimePoint* deadline);
    bool enqueue(std::vector<uint8_t> frame);
    bool delay(int64_t ms);
    void set_reason(const std::string& why);
    void shutdown_socket();

    Machine& machine_;
    int fd_;
    std::string peer_;
    ServerOptions opt_;
    LogFn log_;
    Session session_;

    std::mutex fd_mu_;  // guards closing the socket against stop()
    bool fd_closed_ = false;

    std::mutex q_mu_;
    std::condition_variable q_cv_;
    std::deque<std::vector<uint8_t>> queue_;
    size_t queued_bytes_ = 0;
    bool closing_ = false;  // no more output; the writer ends once the queue is empty
    bool writing_ = false;  // the writer thread is sending a frame it took off the queue
    bool dead_ = false;     // output failed; nothing more is sent

    std::mutex reason_mu_;
    std::string reason_;  // why the connection ended, first cause wins

    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::thread reader_, writer_;
};

}  // namespace tessaro::sim
