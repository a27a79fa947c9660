// Where the trace's lines go: a file, or a FIFO or pipe whose reader may be
// slow. Each line is written whole before the next; a reader that takes no
// whole line within kStallLimitMs is dropped, so a stalled reader holds the
// simulator back for a bounded time only, and never past stop().
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "log.h"

namespace tessaro::sim {

class TraceSink {
public:
    static constexpr int kStallLimitMs = 2000;

    explicit TraceSink(LogFn log) : log_(std::move(log)) {}
    ~TraceSink();
    TraceSink(const TraceSink&) = delete;
    TraceSink& operator=(const TraceSink&) = delete;

    // Creates or empties the file. On a FIFO this waits for a reader (a stop
    // signal's handler must be able to end that wait).
    bool open(const std::string& path, std::string& error);

    // Writes one line. When it cannot be written (a full disk, the file size
    // limit, a reader gone or stalled) the sink says so in one log line and
    // takes no more lines; a partly written line is cut off a regular file.
    void write(const std::string& line);

    // Whether lines are still written (a file is open and has not failed).
    bool writing() const { return writing_; }

    // A line waiting for a stalled reader is given up at once, and so is any
    // later one that would wait: the simulator is stopping.
    void stop() { stopping_ = true; }

private:
    void fail(const std::string& why);

    LogFn log_;
    std::string path_;
    std::mutex mu_;
    int fd_ = -1;
    off_t written_ = 0;  // bytes of whole lines in a regular file
    std::atomic<bool> stopping_{false};
    std::atomic<bool> writing_{false};
};

}  // namespace tessaro::sim
