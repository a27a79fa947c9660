/*
 * stdout_capture.cpp - see stdout_capture.h.
 */
#include "stdout_capture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace testsupport {

StdoutCapture::StdoutCapture()
{
    fflush(stdout);
    file_ = tmpfile();
    if (!file_) {
        throw std::runtime_error("StdoutCapture: tmpfile failed");
    }
    saved_ = dup(STDOUT_FILENO);
    if (saved_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0) {
        if (saved_ >= 0) {
            close(saved_);
            saved_ = -1;
        }
        fclose(file_);
        file_ = nullptr;
        throw std::runtime_error("StdoutCapture: redirecting stdout failed");
    }
}

StdoutCapture::~StdoutCapture()
{
    restore();
    if (file_) {
        fclose(file_);
    }
}

void StdoutCapture::restore()
{
    if (saved_ < 0) {
        return;
    }
    fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    saved_ = -1;
}

size_t StdoutCapture::bytesSoFar()
{
    fflush(stdout);
    struct stat st;
    if (!file_ || fstat(fileno(file_), &st) != 0) {
        return 0;
    }
    return static_cast<size_t>(st.st_size);
}

std::string StdoutCapture::stop()
{
    restore();
    std::string out;
    if (!file_) {
        return out;
    }
    int fd = fileno(file_);
    char buf[4096];
    for (off_t pos = 0;;) {
        ssize_t n = pread(fd, buf, sizeof buf, pos);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
        pos += n;
    }
    fclose(file_);
    file_ = nullptr;
    return out;
}

std::string captureStdout(const std::function<void()>& body)
{
    StdoutCapture capture;
    body();
    return capture.stop();
}

} // namespace testsupport
