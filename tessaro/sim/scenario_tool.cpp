// tessaro-scenario: works on scenario files without a simulator.
//
//   tessaro-scenario check FILE
//   tessaro-scenario from-recording FILE [-o OUT]
//
// `check` loads FILE as tessaro-sim --scenario loads it and prints the
// error it finds, as FILE:LINE:COLUMN and what is wrong, on standard error.
// `from-recording` writes the machine a recording (or a simulator trace
// with replies) saw as a scenario, on standard output or into OUT (replaced
// in one step), and says on standard error what it had to leave out.
// Status 0 when it worked, 2 when it did not or on a usage error.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "command_help.h"
#include "replay/recorded_machine.h"
#include "safe_file.h"
#include "scenario.h"
#include "scenario_writer.h"

namespace {

const char kUsage[] = "usage: tessaro-scenario check FILE | from-recording FILE [-o OUT]";
const command_help::Option kCommands[] = {
    {"check FILE", "load FILE as tessaro-sim --scenario would; print its error"},
    {"from-recording FILE [-o OUT]", "write the machine a recording saw as a scenario (into OUT)"},
    {"-h, --help", "print this help and exit"},
    {"--version", "print the version and exit"}};

int usage_error(const std::string& what) {
    std::fprintf(stderr, "tessaro-scenario: %s (%s)\n", what.c_str(), kUsage);
    return 2;
}

int fail(const std::string& what) {
    std::fprintf(stderr, "tessaro-scenario: %s\n", what.c_str());
    return 2;
}

bool write_all(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

int from_recording(const std::string& file, const std::string& out) {
    using namespace tessaro::sim;
    replay::RecordedMachine recorded;
    std::string error, text;
    if (!replay::machine_from_recording(file, recorded, error)) return fail(error);
    Machine machine(std::move(recorded.config));
    bool written = false;
    machine.inspect([&](const MachineView& v) { written = write_scenario(v, text, error); });
    if (!written) return fail(file + ": the machine it saw cannot be written: " + error);
    // What is written must load as it is.
    MachineConfig check;
    if (!load_scenario_text(text, out.empty() ? "the scenario" : out, check, error))
        return fail(file + ": the scenario made of it does not load: " + error);
    for (const std::string& note : recorded.notes) std::fprintf(stderr, "tessaro-scenario: %s\n", note.c_str());
    if (out.empty()) return write_all(STDOUT_FILENO, text) ? 0 : fail(std::string("standard output: ") + std::strerror(errno));
    size_t slash = out.rfind('/');
    std::string dir = slash == std::string::npos ? "." : out.substr(0, slash + 1);
    int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) return fail(out + ": " + std::strerror(errno));
    int err = replace_file(dir_fd, out.substr(slash == std::string::npos ? 0 : slash + 1), text);
    ::close(dir_fd);
    return err == 0 ? 0 : fail(out + ": " + std::strerror(err));
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        command_help::print_help(kUsage, kCommands);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        command_help::print_version("tessaro-scenario");
        return 0;
    }
    if (argc < 2) return usage_error("no command");
    const std::string command = argv[1];
    if (command == "from-recording") {
        std::string file, out;
        for (int i = 2; i < argc; ++i) {
            std::string a = argv[i];
            if (a == "-o" || a == "--output") {
                if (++i == argc) return usage_error("option '" + a + "' needs a value");
                if (!out.empty()) return usage_error("one -o OUT");
                out = argv[i];
                if (out.empty() || out.back() == '/') return usage_error("-o takes a file name");
            } else if (a.size() > 1 && a[0] == '-') {
                return usage_error("unknown option '" + a + "'");
            } else if (file.empty()) {
                file = a;
            } else {
                return usage_error("from-recording takes one FILE");
            }
        }
        if (file.empty()) return usage_error("from-recording takes one FILE");
        return from_recording(file, out);
    }
    if (command != "check") return usage_error("unknown command '" + command + "'");
    if (argc != 3) return usage_error("check takes one FILE");
    tessaro::sim::MachineConfig cfg;
    std::string error;
    if (tessaro::sim::load_scenario_file(argv[2], cfg, error)) return 0;
    return fail(error);
}
