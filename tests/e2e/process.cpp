#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::string make_temp(const std::string& suffix) {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/zuna-e2e-XXXXXX" + suffix;
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemps(buf.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw std::runtime_error("mkstemps failed");
    close(fd);
    return buf.data();
}

std::vector<std::string> split_words(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string w; in >> w;) v.push_back(w);
    return v;
}

// Waits for the child at most `timeout_s`; kills it after that.
int wait_bounded(pid_t pid, double timeout_s) {
    auto deadline = Clock::now() + std::chrono::duration<double>(timeout_s);
    int st = 0;
    for (;;) {
        pid_t r = waitpid(pid, &st, WNOHANG);
        if (r == pid) break;
        if (r < 0) return -1;
        if (Clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &st, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

pid_t spawn(const std::vector<std::string>& argv_s, const std::string& file, const std::string& out_path,
            const std::string& err_path, const std::string& cwd) {
    std::vector<char*> argv;
    for (const auto& a : argv_s) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&fa, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    // posix_spawnp: a bare name is looked up in PATH, like a shell would.
    int rc = posix_spawnp(&pid, file.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + file + ": " + std::strerror(rc));
    return pid;
}

}  // namespace

const Environment& Environment::get() {
    static const Environment env = [] {
        Environment e;
        e.bin_dir = ZUNA_BIN_DIR;
        e.sim = TESSARO_SIM;
        e.emulator = split_words(ZUNA_EMULATOR);
        return e;
    }();
    return env;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

RunResult run_program(const std::string& path, const std::vector<std::string>& args, const std::string* argv0,
                      double timeout_s, const std::string& cwd) {
    const Environment& env = Environment::get();
    std::vector<std::string> argv;
    std::string file = path;
    if (!env.emulator.empty()) {
        // The emulator hands the target program the path it was given as its
        // argv[0]; -0 overrides that.
        argv = env.emulator;
        if (argv0) {
            argv.push_back("-0");
            argv.push_back(*argv0);
        }
        argv.push_back(path);
        file = env.emulator.front();
    } else {
        argv.push_back(argv0 ? *argv0 : path);
    }
    argv.insert(argv.end(), args.begin(), args.end());

    std::string out_path = make_temp(".out"), err_path = make_temp(".err");
    RunResult r;
    auto start = Clock::now();
    pid_t pid = spawn(argv, file, out_path, err_path, cwd);
    r.status = wait_bounded(pid, timeout_s);
    r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    r.out = read_file(out_path);
    r.err = read_file(err_path);
    unlink(out_path.c_str());
    unlink(err_path.c_str());
    return r;
}

Simulator::Simulator(const std::string& scenario, int port) {
    log_path_ = make_temp(".log");
    std::vector<std::string> argv = {Environment::get().sim, "--port", std::to_string(port)};
    if (!scenario.empty()) {
        argv.push_back("--scenario");
        argv.push_back(scenario);
    }
    pid_ = spawn(argv, argv[0], "/dev/null", log_path_, "");
    // Wait until it says where it listens, or exits.
    auto deadline = Clock::now() + std::chrono::seconds(20);
    const std::string marker = "tessaro-sim: listening on ";
    while (Clock::now() < deadline) {
        std::string text = read_file(log_path_);
        auto at = text.find(marker);
        auto eol = at == std::string::npos ? std::string::npos : text.find('\n', at);
        if (eol != std::string::npos) {
            std::string addr = text.substr(at + marker.size(), eol - at - marker.size());
            port_ = std::atoi(addr.substr(addr.rfind(':') + 1).c_str());
            return;
        }
        int st = 0;
        if (waitpid(pid_, &st, WNOHANG) == pid_) {
            pid_ = -1;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

Simulator::~Simulator() {
    stop();
    unlink(log_path_.c_str());
}

int Simulator::stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    int st = wait_bounded(pid_, 10.0);
    pid_ = -1;
    return st;
}

std::string Simulator::address() const { return "127.0.0.1:" + std::to_string(port_); }

std::string Simulator::log() const { return read_file(log_path_); }

int Simulator::connections() const {
    std::istringstream in(log());
    int n = 0;
    for (std::string line; std::getline(in, line);)
        if (line.find(SIM_CONNECTION_MARK) != std::string::npos) ++n;
    return n;
}

TempFile::TempFile(const std::string& content, const std::string& suffix) : path_(make_temp(suffix)) {
    std::ofstream(path_, std::ios::binary) << content;
}

TempFile::~TempFile() { unlink(path_.c_str()); }

TempDir::TempDir() {
    const char* dir = std::getenv("TMPDIR");
    std::string tmpl = std::string(dir && *dir ? dir : "/tmp") + "/zuna-e2e-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string TempDir::link(const std::string& name, const std::string& target) const {
    std::filesystem::path p = std::filesystem::path(path_) / name;
    std::filesystem::create_directories(p.parent_path());
    std::filesystem::create_symlink(target, p);
    return p.string();
}

int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

}  // namespace e2e
