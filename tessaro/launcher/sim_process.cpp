#include "sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tessaro {

namespace {

using Clock = std::chrono::steady_clock;

const char kListening[] = "tessaro-sim: listening on ";

int decode(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

std::string temp_log() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/tessaro-sim-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) return "";
    close(fd);
    return path;
}

}  // namespace

SimProcess::SimProcess(const std::string& executable, std::vector<std::string> args, int start_timeout_ms) {
    log_path_ = temp_log();
    if (log_path_.empty()) return;
    if (std::find(args.begin(), args.end(), "--port") == args.end()) args.insert(args.end(), {"--port", "0"});
    args.insert(args.begin(), executable);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, log_path_.c_str(), O_WRONLY | O_APPEND, 0);
    int rc = posix_spawn(&pid_, executable.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        pid_ = -1;
        std::ofstream(log_path_, std::ios::app) << "cannot start " << executable << "\n";
        return;
    }

    // The listening line is its first line; a bad start ends with one line
    // and an exit instead.
    for (auto deadline = Clock::now() + std::chrono::milliseconds(start_timeout_ms); Clock::now() < deadline;) {
        std::string text = log();
        size_t eol = text.find('\n');
        if (eol != std::string::npos && text.compare(0, sizeof kListening - 1, kListening) == 0) {
            address_ = text.substr(sizeof kListening - 1, eol - (sizeof kListening - 1));
            port_ = std::atoi(address_.c_str() + address_.rfind(':') + 1);
            if (port_ <= 0) address_.clear();
            return;
        }
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            status_ = decode(st);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

SimProcess::~SimProcess() {
    stop();
    if (!log_path_.empty()) unlink(log_path_.c_str());
}

std::string SimProcess::log() const {
    std::ifstream in(log_path_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int SimProcess::stop(int timeout_ms, int sig) {
    if (pid_ <= 0) return status_;  // never -1 to kill(): that would signal every process
    kill(pid_, sig);
    kill(pid_, SIGCONT);  // a stopped simulator must see the signal too
    int st = 0;
    pid_t r = 0;
    for (auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
         (r = waitpid(pid_, &st, WNOHANG)) == 0 && Clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (r == 0) {
        kill(pid_, SIGKILL);
        r = waitpid(pid_, &st, 0);
    }
    status_ = r == pid_ ? decode(st) : -1;
    pid_ = -1;
    port_ = 0;
    address_.clear();
    return status_;
}

void SimProcess::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

}  // namespace tessaro
