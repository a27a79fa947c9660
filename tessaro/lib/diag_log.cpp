#include "diag_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace tessaro::lib {

void log_event(const char* fmt, ...) {
    int saved_errno = errno;  // callers may still want the errno of the failure they log
    const char* path = std::getenv("TESSARO_LOG");
    if (path == nullptr || *path == '\0') return;

    char line[1024];
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::tm utc{};
    time_t secs = now.tv_sec;
    gmtime_r(&secs, &utc);
    int n = std::snprintf(line, sizeof line, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ tessaro[%ld] ",
                          utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                          utc.tm_sec, static_cast<long>(now.tv_nsec / 1000000), static_cast<long>(getpid()));
    if (n < 0) n = 0;
    va_list ap;
    va_start(ap, fmt);
    int m = std::vsnprintf(line + n, sizeof line - static_cast<size_t>(n) - 1, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n);
    if (m > 0) len += static_cast<size_t>(m);
    if (len > sizeof line - 2) len = sizeof line - 2;  // a cut message still ends its line
    line[len++] = '\n';

    // Opened per event: rare events, no descriptor held behind the program's
    // back, and O_APPEND keeps lines from several threads or processes whole.
    int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        ssize_t ignored = ::write(fd, line, len);
        (void)ignored;
        ::close(fd);
    }
    errno = saved_errno;
}

std::string printable(const std::string& text, size_t max) {
    std::string out;
    out.reserve(text.size() < max ? text.size() : max + 3);
    for (size_t i = 0; i < text.size(); ++i) {
        if (i == max) {
            out += "...";
            break;
        }
        unsigned char c = static_cast<unsigned char>(text[i]);
        out += (c >= 0x20 && c < 0x7f) ? static_cast<char>(c) : '?';
    }
    return out;
}

}  // namespace tessaro::lib
