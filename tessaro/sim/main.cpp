// tessaro-sim: the simulated machine controller that the stand-in
// libtessaro.so talks to. Loads a scenario (or the embedded default machine),
// listens, and serves clients until SIGINT or SIGTERM.
#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "control/control_port.h"
#include "control/http_control.h"
#include "default_scenario.h"
#include "machine.h"
#include "options.h"
#include "replay/replay.h"
#include "scenario.h"
#include "scenario_writer.h"
#include "safe_file.h"
#include "server.h"
#include "state_file.h"
#include "trace.h"
#include "xal_tessaro.h"

namespace {

enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitDiverged = 3 };

bool write_all(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

// One whole line per write, so lines from different threads never mix.
void log_line(const std::string& text) {
    static std::mutex mu;
    std::string line = "tessaro-sim: " + text + "\n";
    std::lock_guard<std::mutex> lk(mu);
    write_all(STDERR_FILENO, line);
}

// A stop signal before the serving threads exist: nothing is open that needs
// closing, so the simulator ends at once, also in the middle of a long load.
void stop_at_once(int) { _exit(kExitOk); }

int run(int argc, char** argv) {
    using namespace tessaro::sim;
    // Set explicitly, since a stop signal may have been inherited as ignored
    // (a shell's background job): the simulator always obeys both.
    struct sigaction stop {};
    stop.sa_handler = stop_at_once;
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    // Writes to vanished clients must not kill the simulator, nor writes past
    // the file size limit (ulimit -f): they fail with EFBIG instead, which a
    // save and the trace take as they take a full disk.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);

    Options opt;
    std::string error;
    if (!parse_options(argc, argv, opt, error)) {
        log_line(error);
        return kExitUsage;
    }
    if (opt.help || opt.version) {
        opt.help ? print_help() : print_version();
        return kExitOk;
    }

    // A state file, once it exists, holds the machine; the scenario only
    // seeds a new one.
    // One simulator per state file, held from before the file is read.
    FileLock state_lock;
    if (!opt.state.empty() && !lock_state(opt.state, state_lock, error)) {
        log_line(error);
        return kExitUsage;
    }
    MachineConfig cfg;
    StateLoad state_load = opt.state.empty() ? StateLoad::Missing : load_state(opt.state, cfg, error);
    bool loaded = state_load == StateLoad::Loaded;
    if (state_load == StateLoad::Missing)
        loaded = opt.scenario.empty() ? load_scenario_text(default_scenario_text(), "default.json", cfg, error)
                                      : load_scenario_file(opt.scenario, cfg, error);
    if (!loaded) {
        log_line(error);
        return kExitUsage;
    }
    // A recording to replay is read and checked whole before anything is
    // served; its report's file is made now, so that it cannot fail at the end.
    replay::Recording recording;
    if (!opt.replay.empty() && !recording.load(opt.replay, error)) {
        log_line(error);
        return kExitUsage;
    }
    int report_fd = -1;
    if (!opt.replay_report.empty() &&
        (report_fd = ::open(opt.replay_report.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) < 0) {
        log_line(opt.replay_report + ": " + std::strerror(errno));
        return kExitUsage;
    }
    // Opening a FIFO waits for its reader; a stop signal still ends that at once.
    Trace trace(log_line);
    if (!opt.trace.empty() && !trace.open(opt.trace, error)) {
        log_line(error);
        return kExitUsage;
    }

    // From here on the signals are taken by sigtimedwait below, and every
    // thread inherits the mask, so the server stops in order; one that
    // arrives during startup waits its turn.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    Machine machine(std::move(cfg));
    std::string replay_note;
    ServerOptions server_opt;
    std::unique_ptr<StateFile> state;
    if (!opt.state.empty()) {
        state = std::make_unique<StateFile>(opt.state, machine, log_line);
        if (!state->open(error) || (state_load == StateLoad::Missing && state->commit() != E_OK)) {
            log_line(error.empty() ? state->last_error() : error);
            return kExitUsage;
        }
        server_opt.state = state.get();
    }
    // The HTTP API reads the trace from memory, with or without a file.
    if (!opt.trace.empty() || opt.http) server_opt.trace = &trace;
    Server server(machine, server_opt, log_line);
    std::unique_ptr<replay::Replay> replay;
    if (!opt.replay.empty()) {
        size_t calls = recording.calls(), conns = recording.sessions().size();
        replay = std::make_unique<replay::Replay>(std::move(recording), machine, opt.replay_strict, log_line);
        server.path().replay_from(replay.get());
        replay_note = "replaying " + std::to_string(calls) + " calls of " + std::to_string(conns) + " connections from " +
                      opt.replay;
    }
    if (!server.listen(opt.bind, opt.port, error)) {
        log_line(error);
        return kExitUsage;
    }
    std::unique_ptr<ControlPort> control;
    std::unique_ptr<HttpControl> http;
    if (opt.http) {
        std::string start;
        machine.inspect([&](const MachineView& v) { write_scenario(v, start, error); });
        machine.keep_start(std::move(start));
        control = std::make_unique<ControlPort>(server.path(), trace);
        http = std::make_unique<HttpControl>(*control, log_line);
        if (!http->listen(opt.http_bind, opt.http_port, error)) {
            log_line(error);
            return kExitUsage;
        }
    }
    // The address lines come first on standard error (scripts wait for
    // them there), before any connection can be accepted and logged.
    log_line("listening on " + server.endpoint());
    if (http) log_line("control page and API on " + http->url());
    if (http && !http->warning().empty()) log_line(http->warning());
    if (replay) log_line(replay_note);
    machine.start_timers();
    if (replay) replay->start();
    server.start();
    if (http) http->start();

    timespec slice{1, 0};
    while (true) {
        int sig = sigtimedwait(&stop_signals, nullptr, &slice);
        if (sig == SIGINT || sig == SIGTERM) break;
    }
    trace.stop();  // a request held by a stalled trace reader ends now
    if (http) http->stop();
    server.stop();
    machine.stop_timers();
    if (replay) {
        replay->stop();
        // One line for the log, and the same with every divergence for a
        // program to read.
        log_line(replay->summary());
        if (report_fd >= 0 && !write_all(report_fd, replay->report())) {
            log_line(opt.replay_report + ": " + std::strerror(errno));
            return kExitFailure;
        }
    }
    // What changed without a request (the PLC word at a job's end) is kept too.
    if (state && state->commit() != E_OK) return kExitFailure;
    return replay && replay->failed() ? kExitDiverged : kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    // Blocks of 1 MiB and more (a large machine written out, the answers and
    // events that carry it) are mapped apart and given back when freed, so
    // that they do not stay in the heaps of the threads that used them.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        log_line("out of memory");
        return kExitUsage;
    } catch (const std::exception& e) {  // a thread that cannot be started
        log_line(std::string("cannot start: ") + e.what());
        return kExitUsage;
    }
}
