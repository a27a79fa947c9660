#include "program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace rel {

namespace {

std::string make_temp(const std::string& suffix) {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/zuna-rel-XXXXXX" + suffix;
    int fd = mkstemps(tmpl.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw std::runtime_error("mkstemps failed");
    close(fd);
    return tmpl;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

}  // namespace

std::string link(const std::string& name) { return std::string(ZUNA_BIN_DIR) + "/" + name; }

Run::Run(const std::string& path, const std::vector<std::string>& args)
    : out_path_(make_temp(".out")), err_path_(make_temp(".err")) {
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path_.c_str(), O_WRONLY | O_TRUNC, 0);
    posix_spawn_file_actions_addopen(&fa, 2, err_path_.c_str(), O_WRONLY | O_TRUNC, 0);
    int rc = posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + path + ": " + std::strerror(rc));
}

Run::~Run() {
    if (pid_ > 0) wait(0.0);
}

RunResult Run::wait(double timeout_s) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    int st = 0;
    rusage ru{};
    for (pid_t r; (r = wait4(pid_, &st, WNOHANG, &ru)) != pid_;) {
        if (r < 0 || std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);  // pid_ > 0: never a process group
            wait4(pid_, &st, 0, &ru);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    RunResult res;
    res.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
    res.max_rss_kb = ru.ru_maxrss;
    res.out = read_file(out_path_);
    res.err = read_file(err_path_);
    unlink(out_path_.c_str());
    unlink(err_path_.c_str());
    return res;
}

std::string Run::out_so_far() const { return read_file(out_path_); }

TempFile::TempFile(const std::string& content) : path_(make_temp(".json")) {
    std::ofstream(path_, std::ios::binary) << content;
}

TempFile::~TempFile() { unlink(path_.c_str()); }

}  // namespace rel
