// The state file of `tessaro-sim --state FILE`: the machine as scenario
// text, loaded at start and saved before every acknowledged change is
// answered, so that a change the client saw succeed survives a crash.
//
// A save writes a new file beside FILE, syncs it, renames it over FILE and
// syncs the folder, so FILE always holds one whole state. One simulator per
// FILE: it holds the kernel lock on FILE.lock while it runs. Saves of concurrent changes
// are grouped: a change waits for the next save that starts after it was
// made, and one save serves every change made before it started.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "log.h"
#include "machine.h"
#include "safe_file.h"

namespace tessaro::sim {

enum class StateLoad { Loaded, Missing, Failed };

// Loads the state file into `cfg`. Missing when there is no such file;
// Failed, with `error` naming the file, when it cannot be read or is no
// whole, valid scenario (a torn or truncated file included).
// Takes the lock of the state file `path` (FILE.lock) into `lock`, before
// the file is read. False with `error` naming the file when another
// simulator holds it or it cannot be taken.
bool lock_state(const std::string& path, FileLock& lock, std::string& error);

StateLoad load_state(const std::string& path, MachineConfig& cfg, std::string& error);

class StateFile {
public:
    StateFile(std::string path, Machine& m, LogFn log);
    ~StateFile();
    StateFile(const StateFile&) = delete;
    StateFile& operator=(const StateFile&) = delete;

    // Opens the folder that holds the file (synced after each rename).
    bool open(std::string& error);

    // Makes the machine as it is now durable: returns once a save that began
    // after the call has ended. E_OK, or E_FAILURE when that save failed
    // (the reason is logged, and kept for last_error()).
    int commit();
    std::string last_error();

    // False for a text the file cannot hold (no UTF-8): a request that
    // would bring one into the machine is refused with E_INVALID.
    static bool can_hold(const std::string& text);

private:
    bool save(std::string& error);

    const std::string path_;
    Machine& machine_;
    LogFn log_;
    int dir_fd_ = -1;

    std::mutex mu_;
    std::condition_variable cv_;
    uint64_t requested_ = 0;  // commits asked for
    uint64_t completed_ = 0;  // commits covered by the last save that ended
    bool completed_ok_ = true;
    bool saving_ = false;
    std::string error_;
};

}  // namespace tessaro::sim
