#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace tessaro {

namespace {

std::string temp_file() {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/tessaro-child-XXXXXX";
    int fd = mkstemp(path.data());
    if (fd < 0) return "";
    close(fd);
    return path;
}

std::string read_file(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv) : out_path_(temp_file()), err_path_(temp_file()) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_APPEND, 0);
    posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_APPEND, 0);
    // Without its files it is not started: output that cannot be read back
    // must not pass for output that was empty.
    int rc = argv.empty() ? EINVAL
             : out_path_.empty() || err_path_.empty() ? EIO
                                                      : posix_spawn(&pid_, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        pid_ = -1;
        std::ofstream(err_path_, std::ios::app) << "cannot start " << (argv.empty() ? "" : argv[0]) << ": "
                                                << std::strerror(rc) << "\n";
    }
}

ChildProcess::~ChildProcess() {
    wait(0);
    for (const std::string* path : {&out_path_, &err_path_})
        if (!path->empty()) unlink(path->c_str());
}

std::string ChildProcess::out() const { return read_file(out_path_); }
std::string ChildProcess::err() const { return read_file(err_path_); }

void ChildProcess::collected(int wait_status, long max_rss_kb) {
    status_ = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : WIFSIGNALED(wait_status) ? 128 + WTERMSIG(wait_status) : -1;
    max_rss_kb_ = max_rss_kb;
    pid_ = -1;
}

bool ChildProcess::running() {
    int st = 0;
    rusage ru{};
    if (pid_ <= 0) return false;
    pid_t r = wait4(pid_, &st, WNOHANG, &ru);
    if (r == 0 || (r < 0 && errno == EINTR)) return true;
    if (r == pid_) collected(st, ru.ru_maxrss);
    else pid_ = -1;  // not ours to collect any more
    return false;
}

int ChildProcess::wait(int timeout_ms) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
         running() && std::chrono::steady_clock::now() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (pid_ > 0) {  // never -1 to kill(): that would signal every process
        kill(pid_, SIGKILL);
        int st = 0;
        rusage ru{};
        pid_t r;
        while ((r = wait4(pid_, &st, 0, &ru)) < 0 && errno == EINTR) {
        }
        if (r == pid_) collected(st, ru.ru_maxrss);
        pid_ = -1;
    }
    return status_;
}

int ChildProcess::stop(int timeout_ms, int sig) {
    signal(sig);
    signal(SIGCONT);
    return wait(timeout_ms);
}

void ChildProcess::signal(int sig) {
    if (pid_ > 0) kill(pid_, sig);
}

}  // namespace tessaro
