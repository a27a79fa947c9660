// Files for the simulator tests: a scratch folder and whole-file I/O.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tessaro::sim::test {

// A fresh folder under /tmp, removed with its contents.
struct TempDir {
    TempDir() {
        char tmpl[] = "/tmp/tessaro-sim-XXXXXX";
        if (::mkdtemp(tmpl)) path = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path.empty()) std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace tessaro::sim::test
