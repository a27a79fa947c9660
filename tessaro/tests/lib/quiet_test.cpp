// Standard output and standard error belong to the program: the library
// writes its diagnostics only to the file named by TESSARO_LOG.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "scripted_peer.h"
#include "test_util.h"
#include "xal_tessaro.h"

using peer::Op;
using peer::Request;
using peer::ScriptedPeer;
using peer::Session;
using testutil::ScopedEnv;

namespace {

std::string temp_file(const char* stem) {
    std::string path = std::string("/tmp/") + stem + "-XXXXXX";
    int fd = ::mkstemp(&path[0]);
    if (fd >= 0) ::close(fd);
    return path;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int quiet_handler(HController, unsigned, unsigned) { return 0; }

}  // namespace

TEST(Quiet, NothingReachesStdoutOrStderrAndTheLogGetsOneLinePerEvent) {
    const std::string log_path = temp_file("tessaro-log");
    const std::string out_path = temp_file("tessaro-out");
    ScopedEnv log("TESSARO_LOG", log_path);
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "200");

    ScriptedPeer refusing({}, peer::Hello::Refuse);
    ScriptedPeer p([](Session& s, const Request& r) {
        if (r.op == Op::ReadNode) return;                           // never answered
        if (r.op == Op::GetNode) return s.send_raw({0, 0, 0, 0});  // bad frame
        s.reply(r, E_OK);
    });

    std::fflush(stdout);
    std::fflush(stderr);
    int out = ::open(out_path.c_str(), O_WRONLY | O_TRUNC);
    ASSERT_GE(out, 0);
    int saved_out = ::dup(1), saved_err = ::dup(2);
    ::dup2(out, 1);
    ::dup2(out, 2);

    // No assertions in here: a failing one would print into the capture.
    int malformed = DetectRemoteController("[::1", 1610);
    int refused_port = DetectRemoteController("127.0.0.1", peer::unused_port());
    int refused = testutil::connect_to(refusing);
    HController hc = testutil::connect_to(p);
    int timed_out = ReadNode(hc, 1);
    int registered = RegisterOnPLCChanged(hc, quiet_handler);
    p.session(0)->event(0x10);
    int broken = GetNode(hc, "x");
    int after = JobStart(hc);
    int destroy_null = DestroyNodeInfo(nullptr);

    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);
    ::close(out);

    EXPECT_EQ(malformed, -1);
    EXPECT_EQ(refused_port, -1);
    EXPECT_EQ(refused, -1);
    EXPECT_GE(hc, 0);
    EXPECT_EQ(timed_out, E_TIMEOUT);
    EXPECT_EQ(registered, E_OK);
    EXPECT_EQ(broken, -1);
    EXPECT_EQ(after, E_UNAVAIL);
    EXPECT_EQ(destroy_null, E_INVALID);

    EXPECT_EQ(slurp(out_path), "");

    std::string text = slurp(log_path);
    EXPECT_NE(text.find("malformed address"), std::string::npos) << text;
    EXPECT_NE(text.find("handshake refused"), std::string::npos) << text;
    EXPECT_NE(text.find("no reply within 200 ms"), std::string::npos) << text;
    EXPECT_NE(text.find("bad frame"), std::string::npos) << text;
    EXPECT_NE(text.find("connected to 127.0.0.1:"), std::string::npos) << text;
    std::istringstream lines(text);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        ++n;
        EXPECT_NE(line.find(" tessaro["), std::string::npos) << line;
    }
    EXPECT_GE(n, 6);
    ::unlink(log_path.c_str());
    ::unlink(out_path.c_str());
}
