// A tessaro-sim child process for tests, benchmarks and tools.
//
//   tessaro::SimProcess sim(path_to_tessaro_sim, {"--scenario", "machine.json"});
//   if (!sim.listening()) fail_with(sim.log());
//   connect_to(sim.address());            // "127.0.0.1:PORT"
//   // stopped when `sim` goes out of scope, also when the caller fails early
//
// The simulator gets "--port 0" (a free port) unless the arguments name a
// port. The constructor waits, bounded, until the simulator prints its
// "tessaro-sim: listening on ADDR" line (and with --http the line naming
// the control page) or exits (a bad start: listening() is
// false, stop() gives its exit status, log() its message). It runs as a
// ChildProcess: stopped by its process id only, SIGTERM, then SIGKILL when it
// does not exit in time.
#pragma once

#include <string>
#include <vector>

#include "child_process.h"

namespace tessaro {

class SimProcess {
public:
    SimProcess(const std::string& executable, std::vector<std::string> args = {}, int start_timeout_ms = 20000);
    ~SimProcess() { stop(); }

    bool listening() const { return port_ > 0; }
    int port() const { return port_; }
    // The address it listens on, as it printed it; empty when not listening.
    const std::string& address() const { return address_; }
    // With --http: the port of the control API, from the line that names
    // its page (waited for as the listening line is); 0 otherwise.
    int http_port() const { return http_port_; }
    pid_t pid() const { return child_.pid(); }
    // Everything it wrote to standard error so far.
    std::string log() const { return child_.err(); }
    // Stops it (`sig`, SIGTERM unless a test wants a crash; SIGKILL after
    // `timeout_ms`) and returns its exit status, 128 + signal number when a
    // signal ended it; -1 when it could not be started. Once stopped, further
    // calls return the same status.
    int stop(int timeout_ms = 5000, int sig = SIGTERM);
    // Sends `sig` (SIGKILL, SIGSTOP, SIGCONT ...) to the running simulator;
    // stop() still collects it afterwards, a stopped one included.
    void signal(int sig) { child_.signal(sig); }
    // Its peak resident memory in KiB, known once it was stopped.
    long max_rss_kb() const { return child_.max_rss_kb(); }

private:
    ChildProcess child_;
    int port_ = 0;
    int http_port_ = 0;
    std::string address_;
};

}  // namespace tessaro
