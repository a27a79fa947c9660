// The tessaro-sim executable: its command line, its messages and exit
// statuses, and clients talking to the real process.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include "support.h"

namespace tessaro::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

constexpr int kStartMs = 5000;

// A tessaro-sim process whose standard error is collected in `err`.
class SimProcess {
public:
    explicit SimProcess(std::vector<std::string> args) {
        int pipe[2];
        if (::pipe2(pipe, O_CLOEXEC) != 0) return;
        args.insert(args.begin(), TESSARO_SIM_PATH);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(pipe[1], STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(pipe[1]);
        fd_ = pipe[0];
    }
    ~SimProcess() {
        if (pid_ > 0) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
        if (fd_ >= 0) ::close(fd_);
    }
    // The first whole line of `err` that starts with `prefix`; "" when none comes in time.
    std::string wait_line(const std::string& prefix, int timeout_ms) {
        for (auto end = test::after(timeout_ms);; pump(std::min(test::ms_until(end), 50))) {
            for (size_t at = 0, nl; (nl = err.find('\n', at)) != std::string::npos; at = nl + 1)
                if (err.compare(at, prefix.size(), prefix) == 0) return err.substr(at, nl - at);
            if (test::ms_until(end) == 0) return "";
        }
    }
    // The exit status, once all output is read; -1 when it does not exit in time.
    int wait_exit(int timeout_ms) {
        int status = 0;
        if (pid_ <= 0) return -1;
        for (auto end = test::after(timeout_ms); ::waitpid(pid_, &status, WNOHANG) != pid_; pump(20))
            if (test::ms_until(end) == 0) return -1;
        pid_ = -1;
        while (pump(1000)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    void signal(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);  // never -1: that would signal every process
    }

    std::string err;

private:
    // Appends what there is within `timeout_ms`; false when nothing came.
    bool pump(int timeout_ms) {
        pollfd p{fd_, POLLIN, 0};
        char buf[4096];
        ssize_t n = ::poll(&p, 1, timeout_ms) > 0 ? ::read(fd_, buf, sizeof buf) : 0;
        if (n > 0) err.append(buf, static_cast<size_t>(n));
        return n > 0;
    }
    pid_t pid_ = -1;
    int fd_ = -1;
};

TEST(Process, RefusesBadStartsWithOneLineAndStatusTwo) {
    char path[] = "/tmp/tessaro-sim-test-XXXXXX";
    int fd = ::mkstemp(path);
    const std::string text = "{\n  \"nodes\": [\n    {\"name\": \"a\", \"type\": \"VT_NOPE\"}\n  ]\n}\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    const std::string malformed = "tessaro-sim: " + std::string(path) +
                                  ":3:27: unknown type name 'VT_NOPE' (FOLDER, VT_I32 to VT_FILE, VT_JOB or JOBNODE)\n";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--frobnicate"}, ""}, {{"--port"}, ""}, {{"--port", "65536"}, ""}, {{"--port", "x1"}, ""}, {{"stray"}, ""},
        {{"--bind", "nowhere", "--port", "0"}, ""}, {{"--scenario", path, "--port", "0"}, malformed}};
    for (const auto& [args, says] : cases) {
        SimProcess p(args);
        EXPECT_EQ(p.wait_exit(kStartMs), 2) << args[0];
        EXPECT_THAT(p.err, MatchesRegex("tessaro-sim: [^\n]+\n")) << args[0];  // one line: no listening line
        EXPECT_TRUE(says.empty() || p.err == says) << p.err;
    }
    ::unlink(path);
}

TEST(Process, ServesClientsUntilSigterm) {
    SimProcess p({"--port", "0"});
    std::string line = p.wait_line("tessaro-sim: listening on ", kStartMs);
    ASSERT_THAT(line, MatchesRegex("tessaro-sim: listening on 127\\.0\\.0\\.1:[0-9]+"));
    uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));

    test::RawClient c;
    ASSERT_TRUE(c.connect(port));
    ASSERT_TRUE(c.hello());
    EXPECT_GT(c.get_node("sys.BoardAddr"), 0);

    // A header announcing an empty or an oversized body ends only its own connection.
    for (std::vector<uint8_t> header : {std::vector<uint8_t>{0, 0, 0, 0}, {0x00, 0x10, 0x00, 0x01}}) {
        test::RawClient bad;
        ASSERT_TRUE(bad.connect(port) && bad.hello());
        ASSERT_TRUE(bad.send(header));
        EXPECT_TRUE(bad.closed_within(2000));
    }
    EXPECT_GT(c.get_node("jobs.Demo"), 0);

    SimProcess second({"--port", std::to_string(port)});  // the port is taken
    EXPECT_EQ(second.wait_exit(kStartMs), 2);
    EXPECT_THAT(second.err, StartsWith("tessaro-sim: cannot listen on 127.0.0.1:" + std::to_string(port)));

    p.signal(SIGTERM);
    EXPECT_EQ(p.wait_exit(3000), 0);
    EXPECT_THAT(p.err, HasSubstr("closed: bad frame header\n"));
}

}  // namespace
}  // namespace tessaro::sim
