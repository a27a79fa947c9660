/*
 * stdout_capture.h - captures everything written to standard output.
 *
 * While `body` runs, file descriptor 1 points at a temporary file, so every
 * byte written through stdio, std::cout or write(1, ...) is kept exactly,
 * from any thread. Only what reached the file by the time `body` returned
 * counts: output the code left in stdio's buffer is dropped, so a missing
 * flush shows. Keep gtest assertions out of `body`: their messages would be
 * captured too. Captures do not nest.
 */
#ifndef TESTSUPPORT_STDOUT_CAPTURE_H
#define TESTSUPPORT_STDOUT_CAPTURE_H

#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace testsupport {

template <class F> std::string captureStdout(F&& body)
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

#endif /* TESTSUPPORT_STDOUT_CAPTURE_H */
