// The program run through one of its links as a child process, with its
// output, exit status and peak memory collected.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace rel {

struct RunResult {
    int status = -1;      // exit status, or 128 + signal number
    std::string out;      // everything written to standard output
    std::string err;      // everything written to standard error
    long max_rss_kb = 0;  // peak resident memory, from wait4
};

// The link `name` in the build's program directory.
std::string link(const std::string& name);

// A run in the background; killed when destroyed unwaited.
class Run {
public:
    Run(const std::string& path, const std::vector<std::string>& args);
    ~Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    // Waits at most `timeout_s` seconds, then kills (status 128 + SIGKILL).
    RunResult wait(double timeout_s);
    std::string out_so_far() const;

private:
    pid_t pid_ = -1;
    std::string out_path_, err_path_;
};

inline RunResult run_program(const std::string& path, const std::vector<std::string>& args, double timeout_s) {
    return Run(path, args).wait(timeout_s);
}

// A scenario file that lives as long as the object.
class TempFile {
public:
    explicit TempFile(const std::string& content);
    ~TempFile();
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace rel
