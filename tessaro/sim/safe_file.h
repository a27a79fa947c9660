// Files that other processes may touch: a kernel lock that marks one writer,
// and a replacement that never writes through someone else's file or link.
#pragma once

#include <string>

namespace tessaro::sim {

// An exclusive flock() on a lock file, released when the holder closes it or
// dies in any way (SIGKILL included), so a crash never leaves a stale lock.
// The lock file is created when missing, never written, and stays behind.
class FileLock {
public:
    enum class Result { Taken, Held, Failed };

    FileLock() = default;
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

    // Held: another open file (another process) has the lock. Failed, with
    // errno set: the file cannot be opened (a symbolic link or a folder
    // included) or locked.
    Result take(const std::string& path);

private:
    int fd_ = -1;
};

// Replaces `name` in the folder `dir_fd` with a file holding `data`, in one
// step: the data goes into a new file that exists nowhere else (unnamed where
// the file system allows it, otherwise under an unguessable name created
// exclusively, not following links), is synced, renamed over `name`, and
// the folder is synced. Returns 0, or the errno of the step that failed;
// then `name` is as it was and no new file is left behind.
int replace_file(int dir_fd, const std::string& name, const std::string& data);

}  // namespace tessaro::sim
