#include "state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "text/json_text.h"
#include "scenario.h"
#include "scenario_writer.h"
#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

std::string folder_of(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool write_all(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

StateLoad load_state(const std::string& path, MachineConfig& cfg, std::string& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return StateLoad::Missing;
    if (load_scenario_file(path, cfg, error)) return StateLoad::Loaded;
    error = "state file " + error + " (not started; the file is left as it is)";
    return StateLoad::Failed;
}

StateFile::StateFile(std::string path, Machine& m, LogFn log)
    : path_(std::move(path)), tmp_(path_ + ".tmp"), machine_(m), log_(std::move(log)) {}

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
    int fd = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = tmp_ + ": " + std::strerror(errno);
        return false;
    }
    bool ok = write_all(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) ok = false, err = errno;
    if (ok && ::rename(tmp_.c_str(), path_.c_str()) != 0) ok = false, err = errno;
    // The rename is durable only once the folder is.
    if (ok && ::fsync(dir_fd_) != 0) ok = false, err = errno;
    if (!ok) error = path_ + ": " + std::strerror(err);
    return ok;
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

bool StateFile::changes_machine(proto::Op op) {
    switch (op) {
        case proto::Op::WriteNodeSync:
        case proto::Op::CreateNodeOnController:
        case proto::Op::CreateJobNodeOnController:
        case proto::Op::DeleteSingleNodeOnController:
        case proto::Op::RenameNode:
        case proto::Op::MoveSubtree:
        case proto::Op::SelectNode: return true;
        default: return false;
    }
}

bool StateFile::can_hold(const OpLayout& layout, const std::vector<Arg>& args) {
    using proto::Op;
    Op op = layout.op;
    if (op != Op::SetNodeValueString && op != Op::CreateNodeOnController && op != Op::CreateJobNodeOnController &&
        op != Op::RenameNode)
        return true;
    for (size_t i = 0; layout.request[i] && i < args.size(); ++i)
        if (layout.request[i] == 's' && !text::is_utf8(args[i].str)) return false;
    return true;
}

}  // namespace tessaro::sim
