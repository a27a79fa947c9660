/*
 * stdout_capture.cpp - see stdout_capture.h.
 */
#include "stdout_capture.h"

#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace testsupport {

std::string captureStdout(const std::function<void()>& body)
{
    fflush(stdout);
    FILE* file = tmpfile();
    int saved = dup(STDOUT_FILENO);
    if (!file || saved < 0 || dup2(fileno(file), STDOUT_FILENO) < 0) {
        throw std::runtime_error("captureStdout: redirecting stdout failed");
    }
    body();
    // Read before stdio is flushed: bytes still in its buffer were not
    // flushed by the code under test, and do not count as written.
    std::string out;
    char buf[4096];
    ssize_t n = 0;
    for (off_t pos = 0; (n = pread(fileno(file), buf, sizeof buf, pos)) > 0; pos += n) {
        out.append(buf, static_cast<size_t>(n));
    }
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    fclose(file);
    return out;
}

} // namespace testsupport
