#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/json_text.h"
#include "scenario.h"
#include "safe_file.h"
#include "scenario_writer.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

bool lock_state(const std::string& path, FileLock& lock, std::string& error) {
    const std::string lock_path = path + ".lock";
    switch (lock.take(lock_path)) {
        case FileLock::Result::Taken: return true;
        case FileLock::Result::Held:
            error = "state file " + path + ": another simulator holds it (" + lock_path + " is locked; not started)";
            return false;
        case FileLock::Result::Failed: break;
    }
    error = "state file " + path + ": cannot lock " + lock_path + ": " + std::strerror(errno) + " (not started)";
    return false;
}

StateLoad load_state(const std::string& path, MachineConfig& cfg, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return StateLoad::Missing;
    if (load_scenario_file(path, cfg, error)) return StateLoad::Loaded;
    error = "state file " + error + " (not started; the file is left as it is)";
    return StateLoad::Failed;
}

StateFile::StateFile(std::string path, Machine& m, LogFn log)
    : path_(std::move(path)), machine_(m), log_(std::move(log)) {}

StateFile::~StateFile() {
    if (dir_fd_ >= 0) ::close(dir_fd_);
}

bool StateFile::open(std::string& error) {
    std::string dir = folder_of(path_);
    dir_fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd_ < 0) error = "state file " + path_ + ": " + std::strerror(errno);
    return dir_fd_ >= 0;
}

bool StateFile::save(std::string& error) {
    std::string text;
    bool written = false;
    machine_.inspect([&](const MachineView& v) { written = write_scenario(v, text, error); });
    if (!written) return false;
    // A file that could not be loaded again would lose the whole machine; the
    // last state that fits stays instead.
    if (text.size() > kMaxScenarioBytes) {
        error = path_ + ": the state would take more than " + std::to_string(kMaxScenarioBytes >> 20) +
                " MiB, the most a scenario may";
        return false;
    }
    int err = replace_file(dir_fd_, base_of(path_), text);
    if (err != 0) error = path_ + ": " + std::strerror(err);
    return err == 0;
}

int StateFile::commit() {
    std::unique_lock<std::mutex> lk(mu_);
    uint64_t ticket = ++requested_;
    while (completed_ < ticket) {
        if (saving_) {
            cv_.wait(lk);
            continue;
        }
        // Every commit asked for so far made its change before this point,
        // and the save below looks at the machine after it: one save serves all.
        saving_ = true;
        uint64_t target = requested_;
        lk.unlock();
        std::string error;
        bool ok = save(error);
        if (!ok) log_("cannot save the state: " + error);
        lk.lock();
        saving_ = false;
        completed_ = target;
        completed_ok_ = ok;
        if (!ok) error_ = error;
        cv_.notify_all();
    }
    return completed_ok_ ? E_OK : E_FAILURE;
}

std::string StateFile::last_error() {
    std::lock_guard<std::mutex> lk(mu_);
    return error_;
}

bool StateFile::can_hold(const std::string& text) { return text::is_utf8(text); }

}  // namespace tessaro::sim
