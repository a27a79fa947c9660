// A child process for tests, benchmarks and tools.
//
//   tessaro::ChildProcess run({"/usr/bin/zunaReadStr", "-c", address, "-n", "v"});
//   int status = run.wait(10000);         // its exit status, or 137 when it had to be killed
//   check(run.out(), run.err(), status);  // stopped when `run` goes out of scope, also when the caller fails early
//
// It is started with posix_spawn, its standard input from /dev/null and its
// standard output and error each in a temporary file, so a chatty child never
// blocks on a full pipe and what it wrote can be read at any time. It is
// signalled and collected by its process id only, never a process group.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace tessaro {

class ChildProcess {
public:
    // argv[0] is the executable's path. When it cannot be started (its files
    // for output not made included), its status is -1 and err() says why
    // when it can.
    explicit ChildProcess(std::vector<std::string> argv);
    // Kills it (SIGKILL) when it still runs, and removes the files.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Everything it wrote so far.
    std::string out() const;
    std::string err() const;
    // Whether it still runs; an exit is collected.
    bool running();
    // Waits at most `timeout_ms` for it to end, then kills it (SIGKILL), and
    // returns its exit status: 128 + signal number when a signal ended it, -1
    // when it never started. Once collected, further calls return the same.
    int wait(int timeout_ms);
    // Sends `sig` (and SIGCONT, so that a stopped child sees it), then wait().
    int stop(int timeout_ms, int sig = SIGTERM);
    // Sends `sig` (SIGKILL, SIGSTOP, SIGCONT ...) while it runs.
    void signal(int sig);
    // Its process id while it runs (-1 when it never started).
    pid_t pid() const { return pid_; }
    // Its peak resident memory in KiB, known once it was collected.
    long max_rss_kb() const { return max_rss_kb_; }

private:
    void collected(int wait_status, long max_rss_kb);

    pid_t pid_ = -1;
    int status_ = -1;
    long max_rss_kb_ = 0;
    std::string out_path_, err_path_;
};

}  // namespace tessaro
