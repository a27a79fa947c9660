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
    char log_path[] = "/tmp/tessaro-log-XXXXXX";
    ::close(::mkstemp(log_path));
    ScopedEnv log("TESSARO_LOG", log_path);
    ScopedEnv timeout("TESSARO_CALL_TIMEOUT_MS", "200");
    ScriptedPeer refusing({}, Hello::Refuse);
    ScriptedPeer p([](Session& s, const Request& r) {
        if (r.op == Op::GetNode) s.send_raw({0, 0, 0, 0});  // a bad frame; nothing else is answered
    });

    std::fflush(nullptr);
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    int saved_out = ::dup(1), saved_err = ::dup(2);
    ::dup2(::fileno(out), 1);
    ::dup2(::fileno(out), 2);
    // No assertions in here: a failing one would print into the capture.
    const int malformed = DetectRemoteController("[::1", 1610), refused = refusing.connect();
    HController hc = p.connect();
    const int timed_out = ReadNode(hc, 1), bad_frame = GetNode(hc, "x");
    std::fflush(nullptr);
    ::dup2(saved_out, 1);
    ::dup2(saved_err, 2);
    ::close(saved_out);
    ::close(saved_err);

    EXPECT_EQ((std::vector<int>{malformed, refused, hc >= 0, timed_out, bad_frame}),
              (std::vector<int>{-1, -1, 1, E_TIMEOUT, -1}));
    EXPECT_EQ(::lseek(::fileno(out), 0, SEEK_END), 0) << "the library wrote to standard output or error";
    std::fclose(out);

    std::stringstream text;
    text << std::ifstream(log_path).rdbuf();
    ::unlink(log_path);
    for (const char* event : {"malformed address", "handshake refused", "connected to 127.0.0.1:",
                              "no reply within 200 ms", "bad frame"})
        EXPECT_NE(text.str().find(event), std::string::npos) << event << " not in:\n" << text.str();
    for (std::string line; std::getline(text, line);) EXPECT_EQ(line.find(" tessaro["), 24u) << line;
}
