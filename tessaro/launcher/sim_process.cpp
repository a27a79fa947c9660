#include "sim_process.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace tessaro {

namespace {

const char kListening[] = "tessaro-sim: listening on ";

std::vector<std::string> command(const std::string& executable, std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--port") == args.end()) args.insert(args.end(), {"--port", "0"});
    args.insert(args.begin(), executable);
    return args;
}

}  // namespace

SimProcess::SimProcess(const std::string& executable, std::vector<std::string> args, int start_timeout_ms)
    : child_(command(executable, std::move(args))) {
    // The listening line is its first line; a bad start ends with one line
    // and an exit instead.
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(start_timeout_ms);
         child_.running() && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        std::string text = log();
        size_t eol = text.find('\n');
        if (eol != std::string::npos && text.compare(0, sizeof kListening - 1, kListening) == 0) {
            address_ = text.substr(sizeof kListening - 1, eol - (sizeof kListening - 1));
            port_ = std::atoi(address_.c_str() + address_.rfind(':') + 1);
            if (port_ <= 0) address_.clear();
            return;
        }
    }
}

int SimProcess::stop(int timeout_ms, int sig) {
    port_ = 0;
    address_.clear();
    return child_.stop(timeout_ms, sig);
}

}  // namespace tessaro
