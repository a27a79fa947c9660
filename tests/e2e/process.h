// Child processes for the end-to-end tests: the program run through one of
// its links (optionally under an emulator), and the simulated controller.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace e2e {

struct RunResult {
    int status = -1;       // exit status, or 128 + signal number
    std::string out;       // everything written to standard output
    std::string err;       // everything written to standard error
    double seconds = 0.0;  // wall time of the run
};

// Where the program under test and the simulator are, and how to run them.
struct Environment {
    std::string bin_dir;                // directory of the program and its links
    std::string sim;                    // the simulator executable (host-native)
    std::vector<std::string> emulator;  // prefix for target programs, empty on native builds
    static const Environment& get();
};

// Runs `path` with `args`. argv[0] is `argv0` when given, else `path`. The
// run is killed after `timeout_s` seconds (status then 128 + SIGKILL).
RunResult run_program(const std::string& path, const std::vector<std::string>& args,
                      const std::string* argv0 = nullptr, double timeout_s = 180.0,
                      const std::string& cwd = "");

// A tessaro-sim process, stopped (SIGTERM, then SIGKILL) when destroyed.
class Simulator {
public:
    // Starts the simulator on `port` (0: a free one) with the scenario file,
    // or the embedded default machine when `scenario` is empty, and waits
    // (bounded) until it listens.
    explicit Simulator(const std::string& scenario = "", int port = 0);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    bool listening() const { return port_ > 0; }
    int port() const { return port_; }
    std::string address() const;          // "127.0.0.1:PORT"
    std::string log() const;              // its standard error so far
    int connections() const;              // connections it has accepted so far
    int stop();                           // SIGTERM and wait; returns the exit status

private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::string log_path_;
};

// A scenario file that lives as long as the object.
class TempFile {
public:
    explicit TempFile(const std::string& content, const std::string& suffix = ".json");
    ~TempFile();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A directory that lives as long as the object, with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    // Creates a symbolic link `name` (may contain "/") inside the directory.
    std::string link(const std::string& name, const std::string& target) const;

private:
    std::string path_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int free_port();

std::string read_file(const std::string& path);

}  // namespace e2e
