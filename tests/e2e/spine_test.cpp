// The program's invocation, options and connection, end to end through its
// links against the simulated controller.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "process.h"

namespace e2e {
namespace {

const std::string kBoardAddr = DEFAULT_BOARD_ADDR "\n";

std::string bin(const std::string& name) { return Environment::get().bin_dir + "/" + name; }

class Spine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(sim.listening()) << sim.log(); }
    Simulator sim;
};

TEST_F(Spine, ModeIsTheLastPathComponent) {
    TempDir dir;
    std::string deep = dir.link("usr/local/bin/zunaReadStr", bin("multicall"));
    RunResult r = run_program(deep, {"-c", sim.address(), "-n", "sys.BoardAddr"});
    EXPECT_EQ(r.out, kBoardAddr);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // ./zunaReadStr and a bare zunaReadStr found through PATH.
    std::string path = Environment::get().bin_dir + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "");
    setenv("PATH", path.c_str(), 1);
    for (const std::string name : {"./zunaReadStr", "zunaReadStr"}) {
        r = run_program(name, {"-c", sim.address(), "-n", "sys.BoardAddr"}, nullptr, 60, Environment::get().bin_dir);
        EXPECT_EQ(r.out, kBoardAddr) << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.status, 0) << name;
    }
}

TEST_F(Spine, NamesWithoutAModeAreReportedAfterConnecting) {
    TempDir dir;
    for (const std::string name : {"zunaReadVar.sh", "zunareadvar", "zuna", "ReadVar"}) {
        std::string link = dir.link(name, bin("multicall"));
        RunResult r = run_program(link, {"-c", sim.address(), "-n", "sys.BoardAddr"});
        EXPECT_EQ(r.err, "Unknown mode of operation: " + name + "!\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 0) << name;
    }
    EXPECT_EQ(sim.connections(), 4);

    // A path that ends with "/" names nothing.
    const std::string slash = dir.path() + "/";
    RunResult r = run_program(bin("multicall"), {"-c", sim.address()}, &slash);
    EXPECT_EQ(r.err, "Unknown mode of operation: !\n");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Spine, OptionErrorsEndTheRunBeforeAnyConnection) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"-c", sim.address(), "-n"}, "Option -n requires an argument.\n"},
        {{"-n", "sys.BoardAddr", "-c"}, "Option -c requires an argument.\n"},
        {{"-c", sim.address(), "-v"}, "Option -v requires an argument.\n"},
        {{"-c", sim.address(), "-t"}, "Option -t requires an argument.\n"},
        {{"-c", sim.address(), "-x", "-n"}, "Unknown option -x.\n"},
        {{"-q", "-c", sim.address()}, "Unknown option -q.\n"},
    };
    for (const auto& c : cases) {
        RunResult r = run_program(bin("zunaReadStr"), c.args);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.status, 1) << c.err;
        EXPECT_LT(r.seconds, 5.0);
    }
    EXPECT_EQ(sim.connections(), 0) << sim.log();
}

TEST_F(Spine, HelpOptionIsIgnoredAndOperandsToo) {
    RunResult r = run_program(bin("zunaReadStr"), {"-h", "-c", sim.address(), "operand", "-n", "sys.BoardAddr", "-h"});
    EXPECT_EQ(r.out, kBoardAddr);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Spine, LaterAddressReplacesTheEarlierOne) {
    // The first address has nothing listening: using it would mean 60 failed
    // attempts. The run connects to the second at once.
    std::string nowhere = "127.0.0.1:" + std::to_string(free_port());
    RunResult r = run_program(bin("zunaReadStr"), {"-c", nowhere, "-c", sim.address(), "-n", "sys.BoardAddr"});
    EXPECT_EQ(r.out, kBoardAddr);
    EXPECT_EQ(r.status, 0);
    EXPECT_LT(r.seconds, 10.0);
    EXPECT_EQ(sim.connections(), 1);
}

TEST(SpineConnection, ControllerThatComesUpLateIsReached) {
    int port = free_port();
    ASSERT_GT(port, 0);
    std::string address = "127.0.0.1:" + std::to_string(port);
    auto run = std::async(std::launch::async, [&] {
        return run_program(bin("zunaReadStr"), {"-c", address, "-n", "sys.BoardAddr"});
    });
    std::this_thread::sleep_for(std::chrono::seconds(3));
    Simulator sim("", port);
    ASSERT_TRUE(sim.listening()) << sim.log();
    RunResult r = run.get();
    EXPECT_EQ(r.out, kBoardAddr);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(r.seconds, 3.0);
}

// A listener that accepts every connection and closes it at once, so each
// connection attempt fails fast; counts the attempts.
class RefusingController {
public:
    RefusingController() {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(fd_, 16);
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            while (!stop_) {
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, 50) == 1) {
                    int c = accept(fd_, nullptr, nullptr);
                    if (c >= 0) {
                        ++accepted_;
                        close(c);
                    }
                }
            }
        });
    }
    ~RefusingController() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
    int accepted() const { return accepted_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> accepted_{0};
    std::thread thread_;
};

TEST(SpineConnection, NoControllerMeansSixtyAttemptsThenStatus2) {
    RefusingController nobody;
    RunResult r = run_program(bin("zunaReadStr"), {"-c", nobody.address(), "-n", "sys.BoardAddr"});
    EXPECT_EQ(r.err, "Failed to connect to controller!\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(nobody.accepted(), 60);
    EXPECT_GE(r.seconds, 30.0);  // a 0.5 s pause after each attempt
}

}  // namespace
}  // namespace e2e
