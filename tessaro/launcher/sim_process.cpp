#include "sim_process.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace tessaro {

namespace {

const char kListening[] = "tessaro-sim: listening on ";
const char kPage[] = "tessaro-sim: control page and API on http://";

std::vector<std::string> command(const std::string& executable, std::vector<std::string> args) {
    if (std::find(args.begin(), args.end(), "--port") == args.end()) args.insert(args.end(), {"--port", "0"});
    args.insert(args.begin(), executable);
    return args;
}

}  // namespace

SimProcess::SimProcess(const std::string& executable, std::vector<std::string> args, int start_timeout_ms)
    : child_(command(executable, args)) {
    bool http = std::find(args.begin(), args.end(), "--http") != args.end();
    // The listening line is its first line, the page's the second; a bad
    // start ends with one line and an exit instead.
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(start_timeout_ms);
         child_.running() && std::chrono::steady_clock::now() < deadline;
         std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        std::string text = log();
        size_t eol = text.find('\n');
        if (eol == std::string::npos || text.compare(0, sizeof kListening - 1, kListening) != 0) continue;
        size_t page = text.find(kPage, eol);
        size_t page_eol = page == std::string::npos ? page : text.find('\n', page);
        if (http && page_eol == std::string::npos) continue;
        address_ = text.substr(sizeof kListening - 1, eol - (sizeof kListening - 1));
        port_ = std::atoi(address_.c_str() + address_.rfind(':') + 1);
        if (http) {
            std::string url = text.substr(page, page_eol - page);
            http_port_ = std::atoi(url.c_str() + url.rfind(':') + 1);
        }
        if (port_ <= 0 || (http && http_port_ <= 0)) {
            address_.clear();
            port_ = http_port_ = 0;
        }
        return;
    }
}

int SimProcess::stop(int timeout_ms, int sig) {
    port_ = 0;
    http_port_ = 0;
    address_.clear();
    return child_.stop(timeout_ms, sig);
}

}  // namespace tessaro
