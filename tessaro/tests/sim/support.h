// Helpers shared by the simulator tests: loading a scenario, scratch files,
// and a protocol client over a plain socket built on the shared codec.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "machine.h"
#include "protocol/frame_io.h"
#include "protocol/messages.h"
#include "protocol/wire.h"
#include "scenario.h"
#include "xal_tessaro.h"

namespace tessaro::sim::test {

// Loads scenario text; fails the calling test when it does not load.
inline MachineConfig load(const std::string& text) {
    MachineConfig cfg;
    std::string error;
    EXPECT_TRUE(load_scenario_text(text, "test.json", cfg, error)) << error;
    return cfg;
}

// A fresh folder under /tmp, removed with its contents.
struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/tessaro-sim-XXXXXX";
        if (::mkdtemp(tmpl)) path = tmpl;
    }
    ~TempDir() { std::filesystem::remove_all(path); }
    std::string path;
};

inline std::string read_file(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path, std::ios::binary).rdbuf();
    return out.str();
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// A PLC sink that keeps the words it hears.
struct Events : PlcSink {
    void plc_changed(uint32_t word) override { words.push_back(word); }
    std::vector<uint32_t> words;
};

class RawClient {
public:
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool connect(int port) {
        if (fd_ >= 0) ::close(fd_);  // a client may try again
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    int fd() const { return fd_; }
    // Any bytes: a frame, or part of one.
    bool send(const std::vector<uint8_t>& bytes) { return wire::write_frame(fd_, bytes, 2000) == wire::IoStatus::Ok; }
    // True when the server closes the connection within `timeout_ms`
    // (frames that arrive before that are skipped).
    bool closed_within(int timeout_ms) {
        std::vector<uint8_t> body;
        wire::IoStatus st;
        while ((st = wire::read_frame(fd_, body, timeout_ms)) == wire::IoStatus::Ok) {}
        return st != wire::IoStatus::Timeout;
    }

    wire::Writer request(proto::Op op) { return wire::Writer(wire::Kind::Request, ++seq_, static_cast<uint16_t>(op)); }
    // Sends a request and returns the reply's body, skipping events; empty
    // when no reply comes in time.
    std::vector<uint8_t> call(const wire::Writer& w, int timeout_ms = 3000) {
        uint32_t seq = wire::Reader(w.body()).seq();
        std::vector<uint8_t> body;
        if (!send(w.frame())) return {};
        while (wire::read_frame(fd_, body, timeout_ms) == wire::IoStatus::Ok)
            if (wire::Reader(body).kind() == wire::Kind::Reply && wire::Reader(body).seq() == seq) return body;
        return {};
    }
    // The result of the reply; INT_MIN when no reply comes.
    int32_t result(const wire::Writer& w) {
        int32_t rc = INT_MIN;
        return wire::Reader(call(w)).i32(rc) ? rc : INT_MIN;
    }
    int32_t get_node(const std::string& name) { return result(request(proto::Op::GetNode).str(name)); }
    bool hello() { return result(request(proto::Op::Hello).str(wire::kMagic).u32(wire::kProtocolVersion)) == E_OK; }

private:
    int fd_ = -1;
    uint32_t seq_ = 0;
};

// A recording's line (process 7) of connection handle `conn` at `ms` (under
// a minute) after the recording began; `call` is the rest of the object.
inline std::string recorded_at(int ms, const std::string& call, int conn = 0) {
    char time[64];
    std::snprintf(time, sizeof time, "2026-12-09T10:00:%02d.%03d000Z", ms / 1000, ms % 1000);
    static int seq = 0;
    return "{\"seq\":" + std::to_string(++seq) + ",\"pid\":7,\"tid\":7,\"begin\":\"" + time + "\",\"time\":\"" + time +
           "\",\"conn\":\"hc=" + std::to_string(conn) + "\"," + call + "}\n";
}

}  // namespace tessaro::sim::test
