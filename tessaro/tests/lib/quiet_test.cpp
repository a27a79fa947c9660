// Standard output and standard error belong to the program: the library
// writes its diagnostics only to the file named by TESSARO_LOG, one line each.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "scripted_peer.h"

using namespace peer;

TEST(Quiet, NothingReachesStdoutOrStderrAndTheLogGetsOneLinePerEvent) {
    std::string log_path = "/tmp/tessaro-log-XXXXXX";
    ::close(::mkstemp(&log_path[0]));
    ScopedEnv log("TESSARO_LOG", log_path);
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "200");
    const uint16_t closed_port = ScriptedPeer().port();
    ScriptedPeer refusing({}, Hello::Refuse);
    ScriptedPeer p([](Session& s, const Request& r) {
        if (r.op == Op::ReadNode) return;                           // never answered
        if (r.op == Op::GetNode) return s.send_raw({0, 0, 0, 0});  // bad frame
        s.reply(r, E_OK);
    });

    std::fflush(stdout);
    std::fflush(stderr);
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    int saved_out = ::dup(1), saved_err = ::dup(2);
    ::dup2(::fileno(out), 1);
    ::dup2(::fileno(out), 2);
    // No assertions in here: a failing one would print into the capture.
    std::vector<int> got;
    got.push_back(DetectRemoteController("[::1", 1610));
    got.push_back(DetectRemoteController("127.0.0.1", closed_port));
    got.push_back(refusing.connect());
    HController hc = p.connect();
    got.push_back(ReadNode(hc, 1));
    got.push_back(RegisterOnPLCChanged(hc, [](HController, unsigned, unsigned) { return 0; }));
    p.session()->event(0x10);
    got.push_back(GetNode(hc, "x"));
    got.push_back(JobStart(hc));
    got.push_back(DestroyNodeInfo(nullptr));
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);

    EXPECT_GE(hc, 0);
    EXPECT_EQ(got, (std::vector<int>{-1, -1, -1, E_TIMEOUT, E_OK, -1, E_UNAVAIL, E_INVALID}));
    EXPECT_EQ(::lseek(::fileno(out), 0, SEEK_END), 0) << "the library wrote to standard output or error";
    std::fclose(out);

    std::stringstream text;
    text << std::ifstream(log_path).rdbuf();
    ::unlink(log_path.c_str());
    for (const char* event : {"malformed address", "handshake refused", "connected to 127.0.0.1:",
                              "no reply within 200 ms", "bad frame"})
        EXPECT_NE(text.str().find(event), std::string::npos) << event << " not in:\n" << text.str();
    int n = 0;
    for (std::string line; std::getline(text, line); ++n) EXPECT_NE(line.find(" tessaro["), std::string::npos) << line;
    EXPECT_GE(n, 6);
}
