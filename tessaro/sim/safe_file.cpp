#include "safe_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>

namespace tessaro::sim {

namespace {

constexpr int kNameAttempts = 16;

// "NAME.tmp." and 16 random hex digits.
bool random_name(const std::string& name, std::string& out) {
    uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) return false;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    out = name + ".tmp." + hex;
    return true;
}

bool write_all(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// A new file under a fresh random name beside `name`; -1 with errno set.
int create_exclusive(int dir_fd, const std::string& name, std::string& tmp) {
    for (int i = 0; i < kNameAttempts; ++i) {
        if (!random_name(name, tmp)) break;
        int fd = ::openat(dir_fd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0 || errno != EEXIST) {
            if (fd < 0) tmp.clear();
            return fd;
        }
    }
    tmp.clear();
    return -1;
}

// Gives the unnamed file `fd` a fresh random name beside `name`; 0 or errno.
int link_unnamed(int fd, int dir_fd, const std::string& name, std::string& tmp) {
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (int i = 0; i < kNameAttempts; ++i) {
        if (!random_name(name, tmp)) break;
        if (::linkat(AT_FDCWD, self.c_str(), dir_fd, tmp.c_str(), AT_SYMLINK_FOLLOW) == 0) return 0;
        if (errno != EEXIST) break;
    }
    int err = errno;
    tmp.clear();
    return err;
}

}  // namespace

FileLock::~FileLock() {
    if (fd_ >= 0) ::close(fd_);
}

FileLock::Result FileLock::take(const std::string& path) {
    // Non-blocking, so a FIFO put in its place cannot hold the start up.
    int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) return Result::Failed;
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {}
    if (rc != 0) {
        int err = errno;
        ::close(fd);
        errno = err;
        return err == EWOULDBLOCK ? Result::Held : Result::Failed;
    }
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
    return Result::Taken;
}

int replace_file(int dir_fd, const std::string& name, const std::string& data) {
    std::string tmp;
    // Unnamed until complete: a crash in the middle leaves nothing behind.
    int fd = ::openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    const bool unnamed = fd >= 0;
    if (!unnamed && (fd = create_exclusive(dir_fd, name, tmp)) < 0) return errno;
    int err = write_all(fd, data) && ::fsync(fd) == 0 ? 0 : errno;
    if (err == 0 && unnamed) err = link_unnamed(fd, dir_fd, name, tmp);
    if (::close(fd) != 0 && err == 0) err = errno;
    if (err == 0 && ::renameat(dir_fd, tmp.c_str(), dir_fd, name.c_str()) != 0) err = errno;
    if (err != 0) {
        if (!tmp.empty()) ::unlinkat(dir_fd, tmp.c_str(), 0);
        return err;
    }
    // The rename is durable only once the folder is.
    return ::fsync(dir_fd) == 0 ? 0 : errno;
}

}  // namespace tessaro::sim
