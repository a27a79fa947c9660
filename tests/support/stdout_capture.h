/*
 * stdout_capture.h - captures everything written to standard output.
 *
 * While a capture is active, file descriptor 1 points at a temporary file, so
 * every byte written through stdio (printf, puts, putchar, std::cout) or
 * write(1, ...) is kept exactly, from any thread. stdio is flushed when the
 * capture starts and ends, so nothing written before leaks in and nothing
 * written during it is left in the stdio buffer.
 *
 *     int rc = 0;
 *     std::string out = testsupport::captureStdout([&] { rc = readVar(HC, name, &str); });
 *     EXPECT_EQ(out, "Nodename: ...\n");
 *
 * Keep gtest assertions out of the captured span: their failure messages go
 * to standard output too and would end up in the captured bytes.
 * Captures do not nest.
 */
#ifndef TESTSUPPORT_STDOUT_CAPTURE_H
#define TESTSUPPORT_STDOUT_CAPTURE_H

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>

namespace testsupport {

class StdoutCapture {
public:
    /** Flushes stdout and redirects file descriptor 1 to a temporary file. */
    StdoutCapture();
    /** Restores file descriptor 1 if stop() was not called. */
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;

    /** Flushes stdout, restores file descriptor 1 and returns every captured byte. */
    std::string stop();
    /** Flushes stdout and tells how many bytes were captured so far (for checks on order with library calls). */
    size_t bytesSoFar();

private:
    void restore();
    FILE* file_ = nullptr;
    int saved_ = -1;
};

/** Runs `body` with standard output captured and returns the bytes it wrote. */
std::string captureStdout(const std::function<void()>& body);

} // namespace testsupport

#endif /* TESTSUPPORT_STDOUT_CAPTURE_H */
