// A library client's reads while the whole of a large machine is asked for
// over HTTP: a tessaro-sim with a machine of about 99,000 nodes (about 15 MB
// as scenario text) and --http, eight event streams that carry the machine
// (GET /api/events?machine=1) and eight clients asking GET /api/machine again
// and again, while one library client reads a node call after call and
// another writes a value four times a second (so that the machine changes
// and its text must be made again). Prints, as one JSON object, the longest
// library round trip without and with that load, and the simulator's peak
// resident memory.
//
// Usage: machine_read_bench [SECONDS]   (default 5; BENCH_SIM names another
// tessaro-sim to measure, an older build say)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim_process.h"
#include "xal_tessaro.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kFolders = 99, kPerFolder = 1000;
constexpr int kStreams = 8, kGetters = 8;

// 99 folders of 1,000 text variables, each value 80 characters.
void write_scenario(const std::string& path) {
    std::ofstream f(path);
    f << "{\"nodes\":[";
    for (int d = 0; d < kFolders; ++d) {
        f << (d ? "," : "") << "{\"name\":\"F" << d << "\",\"type\":\"FOLDER\",\"children\":[";
        for (int i = 0; i < kPerFolder; ++i) {
            std::string value = "F" + std::to_string(d) + ".v" + std::to_string(i) + " ";
            value.resize(80, 'x');
            f << (i ? "," : "") << "{\"name\":\"v" << i << "\",\"type\":\"VT_STR\",\"value\":\"" << value << "\"}";
        }
        f << "]}";
    }
    f << "]}\n";
}

// The HTTP port from the simulator's second line; 0 when it does not come
// within 20 s.
int http_port(const tessaro::SimProcess& sim) {
    const std::string mark = "control page and API on http://127.0.0.1:";
    for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
        std::string log = sim.log();
        size_t at = log.find(mark);
        if (at != std::string::npos && log.find('\n', at) != std::string::npos)
            return std::atoi(log.c_str() + at + mark.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// A connection to 127.0.0.1:port with `path` asked for; -1 when that fails.
// Every receive and send gives up after 10 s.
int ask(int port, const std::string& path) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval tv{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string req = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::send(fd, req.data(), req.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(req.size())) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The HTTP load: streams and GETs until stop() is called.
class HttpLoad {
public:
    explicit HttpLoad(int port) : port_(port) {
        for (int i = 0; i < kStreams; ++i) threads_.emplace_back([this] { stream(); });
        for (int i = 0; i < kGetters; ++i) threads_.emplace_back([this] { getter(); });
    }
    void stop() {
        stop_ = true;
        {
            std::lock_guard<std::mutex> lk(mu_);
            for (int fd : open_) ::shutdown(fd, SHUT_RDWR);  // ends a receive that waits
        }
        for (auto& t : threads_) t.join();
    }
    long gets() const { return gets_; }
    long events() const { return events_; }
    size_t machine_bytes() const { return machine_bytes_; }
    long failures() const { return failures_; }

private:
    int open(const std::string& path) {
        std::lock_guard<std::mutex> lk(mu_);
        if (stop_) return -1;
        int fd = ask(port_, path);
        if (fd >= 0) open_.push_back(fd);
        return fd;
    }
    void close(int fd) {
        std::lock_guard<std::mutex> lk(mu_);
        open_.erase(std::remove(open_.begin(), open_.end(), fd), open_.end());
        ::close(fd);
    }

    // One stream, read until the end; counts its machine events.
    void stream() {
        int fd = open("/api/events?machine=1");
        if (fd < 0) return void(++failures_);
        const std::string mark = "event: machine\n";
        std::string tail;
        std::vector<char> buf(1 << 16);
        ssize_t n;
        while ((n = ::recv(fd, buf.data(), buf.size(), 0)) > 0) {
            tail.append(buf.data(), static_cast<size_t>(n));
            for (size_t at = 0; (at = tail.find(mark, at)) != std::string::npos; at += mark.size()) ++events_;
            tail.erase(0, tail.size() > mark.size() ? tail.size() - mark.size() + 1 : 0);
        }
        if (!stop_) ++failures_;
        close(fd);
    }

    // GET /api/machine, one after the other; only whole answers count, sent
    // with a length or in chunks ending with the last, empty one.
    void getter() {
        std::vector<char> buf(1 << 16);
        std::string answer;
        while (!stop_) {
            int fd = open("/api/machine");
            if (fd < 0) break;
            answer.clear();
            ssize_t n;
            while ((n = ::recv(fd, buf.data(), buf.size(), 0)) > 0) answer.append(buf.data(), static_cast<size_t>(n));
            close(fd);
            size_t length = whole_body(answer);
            if (length == 0) {
                if (!stop_) ++failures_;
                continue;
            }
            ++gets_;
            machine_bytes_ = length;
        }
    }

    // The body's length of a whole 200 answer, 0 for anything else.
    static size_t whole_body(const std::string& answer) {
        size_t end = answer.find("\r\n\r\n");
        if (answer.compare(0, 12, "HTTP/1.1 200") != 0 || end == std::string::npos) return 0;
        std::string head = answer.substr(0, end + 2);
        size_t at = head.find("Content-Length: ");
        if (at != std::string::npos) {
            size_t length = std::strtoul(head.c_str() + at + 16, nullptr, 10);
            return answer.size() - end - 4 == length ? length : 0;
        }
        if (head.find("Transfer-Encoding: chunked\r\n") == std::string::npos) return 0;
        size_t pos = end + 4, body = 0;
        for (;;) {
            char* after = nullptr;
            size_t chunk = std::strtoul(answer.c_str() + pos, &after, 16);
            size_t line = answer.find("\r\n", pos);
            if (after == answer.c_str() + pos || line == std::string::npos) return 0;
            pos = line + 2;
            if (chunk == 0) return body;
            if (answer.size() < pos + chunk + 2) return 0;
            body += chunk;
            pos += chunk + 2;
        }
    }

    int port_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<int> open_;
    std::vector<std::thread> threads_;
    std::atomic<long> gets_{0}, events_{0}, failures_{0};
    std::atomic<size_t> machine_bytes_{0};
};

// Reads one node for `seconds`, round trip after round trip (GetNode,
// ReadNode, GetNodeValueString in turn); returns the longest in ms, and adds
// the round trips to `count` and those over 50 ms to `slow`. A read that
// fails (the library gives up after its call timeout, 3 s) counts with the
// time it took and ends the reading, with `failed` set.
double longest_read(HController hc, double seconds, long& count, long& slow, bool& failed) {
    double longest = 0;
    char value[256];
    auto end = Clock::now() + std::chrono::duration<double>(seconds);
    HNodeObject node = GetNode(hc, "F50.v500");
    for (int i = 0; Clock::now() < end; ++i) {
        auto t0 = Clock::now();
        bool ok = true;
        switch (i % 3) {
            case 0: ok = GetNode(hc, "F50.v500") == node; break;
            case 1: ok = ReadNode(hc, node) == E_OK; break;
            case 2: ok = GetNodeValueString(hc, node, value, sizeof value) == E_OK; break;
        }
        failed = !ok || node < 0;
        double took = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
        longest = std::max(longest, took);
        slow += took > 50;
        ++count;
        if (failed) break;
    }
    return longest;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? std::atof(argv[1]) : 5;
    const char* other = std::getenv("BENCH_SIM");
    char tmpl[] = "/tmp/machine-read-bench-XXXXXX";
    if (!mkdtemp(tmpl)) return 2;
    const std::string dir = tmpl, scenario = dir + "/machine.json";
    write_scenario(scenario);

    int status = 0;
    {
        tessaro::SimProcess sim(other && *other ? other : TESSARO_SIM, {"--scenario", scenario, "--http", "0"});
        int port = sim.listening() ? http_port(sim) : 0;
        HController reader = port ? DetectRemoteController(sim.address().c_str(), 1610) : -1;
        HController writer = port ? DetectRemoteController(sim.address().c_str(), 1610) : -1;
        if (reader == -1 || writer == -1) {
            std::fprintf(stderr, "machine_read_bench: no simulator\n%s", sim.log().c_str());
            status = 2;
        } else {
            // The writer changes the machine four times a second throughout.
            std::atomic<bool> writing{true};
            std::thread changer([&] {
                HNodeObject node = GetNode(writer, "F0.v0");
                for (int i = 0; writing; ++i) {
                    std::string v = "changed " + std::to_string(i);
                    SetNodeValueString(writer, node, v.c_str());
                    WriteNodeSync(writer, node);
                    std::this_thread::sleep_for(std::chrono::milliseconds(250));
                }
            });
            long quiet_reads = 0, quiet_slow = 0, reads = 0, slow = 0;
            bool quiet_failed = false, failed = false;
            double quiet = longest_read(reader, 1, quiet_reads, quiet_slow, quiet_failed);
            HttpLoad load(port);
            double loaded = quiet_failed ? 0 : longest_read(reader, seconds, reads, slow, failed);
            load.stop();
            writing = false;
            changer.join();
            sim.stop();
            if (quiet_failed) status = 1;  // nothing measured
            if (load.gets() == 0) {
                // Without whole answers the load was not the one measured.
                std::fprintf(stderr, "machine_read_bench: no whole answer to GET /api/machine\n");
                status = 1;
            }
            std::printf(
                "{\"nodes\": %d, \"machine_bytes\": %zu, \"seconds\": %g, \"quiet_max_ms\": %.2f, \"quiet_reads\": %ld, "
                "\"max_ms\": %.2f, \"reads\": %ld, \"reads_over_50ms\": %ld, \"read_failed\": %s, \"gets\": %ld, "
                "\"machine_events\": %ld, \"http_failures\": %ld, \"peak_rss_kib\": %ld}\n",
                kFolders * (kPerFolder + 1), load.machine_bytes(), seconds, quiet, quiet_reads, loaded, reads, slow,
                failed ? "true" : "false",
                load.gets(), load.events(), load.failures(), sim.max_rss_kb());
        }
    }
    std::filesystem::remove_all(dir);
    return status;
}
