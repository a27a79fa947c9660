// zuna-record: runs a command with libzuna-record.so preloaded, so that
// every call the command (and every process it starts) makes of the
// controller library is recorded into one file.
//
//   zuna-record [-o FILE] [--redact GLOB]... -- COMMAND [ARGS...]
//
// The command runs as it would without: its standard input, output and
// error are its own, and zuna-record exits with its status (dies by its
// signal). When the recording could not be written, zuna-record says so on
// standard error after the command has ended. Usage errors: status 2.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE
#endif
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "command_help.h"

// Where the library is, from the folder of this program: installed, and in
// the build tree.
#ifndef ZUNA_RECORD_LIBRARY_FROM_BINDIR
#define ZUNA_RECORD_LIBRARY_FROM_BINDIR "../lib/zuna/libzuna-record.so"
#endif

namespace {

const char kUsage[] = "usage: zuna-record [-o FILE] [--redact GLOB]... -- COMMAND [ARGS...]";

const command_help::Option kOptions[] = {
    {"-o, --output FILE", "the recording (default zuna-record.jsonl), created or emptied"},
    {"--redact GLOB", "record the values of the nodes that GLOB matches as tokens"},
    {"-h, --help", "print this help and exit"},
    {"--version", "print the version and exit"}};

// A text that grows; the program exits when memory runs out.
struct Text {
    char* s;
    size_t n;
    Text() : s(static_cast<char*>(calloc(1, 1))), n(0) {}
    ~Text() { free(s); }
    Text(const Text&) = delete;
    Text& operator=(const Text&) = delete;
    void add(const char* t, size_t len) {
        char* grown = static_cast<char*>(realloc(s, n + len + 1));
        if (!s || !grown) {
            fputs("zuna-record: out of memory\n", stderr);
            exit(2);
        }
        s = grown;
        memcpy(s + n, t, len);
        n += len;
        s[n] = '\0';
    }
    void add(const char* t) { add(t, strlen(t)); }
};

// The absolute form of `path` (its folder resolved), so that processes that
// change their folder still find the file.
bool absolute(const char* path, Text& out) {
    if (path[0] == '/') return out.add(path), true;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) return false;
    out.add(cwd);
    out.add("/");
    out.add(path);
    return true;
}

// The library beside this program: ZUNA_RECORD_LIBRARY, or found from the
// program's own folder.
bool find_library(Text& out) {
    const char* given = getenv("ZUNA_RECORD_LIBRARY");
    if (given && *given) return absolute(given, out) && access(out.s, R_OK) == 0;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    self[n] = '\0';
    char* slash = strrchr(self, '/');
    if (!slash) return false;
    slash[1] = '\0';
    const char* tries[] = {ZUNA_RECORD_LIBRARY_FROM_BINDIR, "../lib/libzuna-record.so"};
    for (size_t i = 0; i < sizeof tries / sizeof tries[0]; ++i) {
        Text t;
        t.add(self);
        t.add(tries[i]);
        if (access(t.s, R_OK) == 0) return out.add(t.s), true;
    }
    return false;
}

// 32 hex digits from the system's random source: the key of the tokens.
void random_key(char (&out)[33]) {
    unsigned char bytes[16] = {0};
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, bytes, sizeof bytes) != static_cast<ssize_t>(sizeof bytes)) {
        unsigned long seed = static_cast<unsigned long>(getpid()) ^ static_cast<unsigned long>(time(0));
        for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(seed >> (i % 8));
    }
    if (fd >= 0) close(fd);
    for (size_t i = 0; i < sizeof bytes; ++i) snprintf(out + 2 * i, 3, "%02x", bytes[i]);
}

int usage_error(const char* what, const char* arg) {
    fprintf(stderr, "zuna-record: %s%s%s (%s)\n", what, arg ? " " : "", arg ? arg : "", kUsage);
    return 2;
}

}  // namespace

int main(int argc, char* argv[]) {
    const char* output = "zuna-record.jsonl";
    Text redact;
    enum { kRedact = 1, kVersion };
    static const option kLong[] = {{"output", required_argument, 0, 'o'}, {"redact", required_argument, 0, kRedact},
                                      {"help", no_argument, 0, 'h'},         {"version", no_argument, 0, kVersion},
                                      {0, 0, 0, 0}};
    opterr = 0;
    for (int opt; (opt = getopt_long(argc, argv, "+:o:h", kLong, 0)) != -1;) {
        switch (opt) {
            case 'o': output = optarg; break;
            case kRedact:
                if (!*optarg || strchr(optarg, '\n')) return usage_error("a glob is not empty and has no line end:", optarg);
                if (redact.n) redact.add("\n");
                redact.add(optarg);
                break;
            case 'h': command_help::print_help(kUsage, kOptions); return 0;
            case kVersion: command_help::print_version("zuna-record"); return 0;
            case ':': return usage_error("the option needs a value:", argv[optind - 1]);
            default: return usage_error("unknown option", argv[optind - 1]);
        }
    }
    if (optind >= argc) return usage_error("no command to run", 0);

    // What goes wrong with the recording is said after the command has run.
    Text trouble, file, library, preload, status_path;
    const char* tmp = getenv("TMPDIR");
    status_path.add(tmp && *tmp ? tmp : "/tmp");
    status_path.add("/zuna-record-XXXXXX");
    int status_fd = mkstemp(status_path.s);
    if (status_fd < 0) return fprintf(stderr, "zuna-record: cannot make a file in %s: %s\n", tmp ? tmp : "/tmp", strerror(errno)), 2;
    close(status_fd);
    int fd = absolute(output, file) ? open(file.s, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666) : -1;
    if (fd < 0) {
        trouble.add(output);
        trouble.add(": ");
        trouble.add(strerror(errno));
        trouble.add("\n");
    } else {
        close(fd);
    }
    if (!find_library(library)) trouble.add("libzuna-record.so not found beside zuna-record\n");
    char key[33];
    random_key(key);

    if (trouble.n == 0) {
        // After what is preloaded already (a sanitizer's runtime must stay
        // first); any place in the list comes before the controller library.
        const char* before = getenv("LD_PRELOAD");
        if (before && *before) preload.add(before), preload.add(":");
        preload.add(library.s);
        setenv("LD_PRELOAD", preload.s, 1);
        setenv("ZUNA_RECORD_FILE", file.s, 1);
        setenv("ZUNA_RECORD_STATUS", status_path.s, 1);
        setenv("ZUNA_RECORD_KEY", key, 1);
        if (redact.n) setenv("ZUNA_RECORD_REDACT", redact.s, 1);
        else unsetenv("ZUNA_RECORD_REDACT");
    }

    // The command's own, while it runs: a Ctrl-C reaches it, not us.
    struct sigaction ignore, old_int, old_quit;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &old_int);
    sigaction(SIGQUIT, &ignore, &old_quit);
    pid_t child = fork();
    if (child == 0) {
        sigaction(SIGINT, &old_int, 0);
        sigaction(SIGQUIT, &old_quit, 0);
        execvp(argv[optind], argv + optind);
        int err = errno;
        fprintf(stderr, "zuna-record: %s: %s\n", argv[optind], strerror(err));
        _exit(err == ENOENT ? 127 : 126);
    }
    int status = 0;
    if (child < 0) {
        fprintf(stderr, "zuna-record: cannot start %s: %s\n", argv[optind], strerror(errno));
        unlink(status_path.s);
        return 126;
    }
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}

    // The reasons the processes gave, each once.
    fd = open(status_path.s, O_RDONLY | O_CLOEXEC);
    char buf[4096];
    for (ssize_t n; fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0;) trouble.add(buf, static_cast<size_t>(n));
    if (fd >= 0) close(fd);
    unlink(status_path.s);
    for (char* line = trouble.s; *line;) {
        char* end = strchr(line, '\n');
        size_t len = end ? static_cast<size_t>(end - line) : strlen(line);
        bool seen = false;
        for (char* prev = trouble.s; prev < line && !seen;) {
            char* prev_end = strchr(prev, '\n');
            seen = static_cast<size_t>(prev_end - prev) == len && memcmp(prev, line, len) == 0;
            prev = prev_end + 1;
        }
        if (!seen) fprintf(stderr, "zuna-record: recording stopped: %.*s\n", static_cast<int>(len), line);
        line += len + (end ? 1 : 0);
    }

    if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        sigaction(SIGINT, &old_int, 0);
        sigaction(SIGQUIT, &old_quit, 0);
        struct rlimit no_core = {0, 0};  // the command's core, if any, is the one that counts
        setrlimit(RLIMIT_CORE, &no_core);
        signal(sig, SIG_DFL);
        raise(sig);
        return 128 + sig;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
