// The live page's files, built into the simulator: path, bytes, media type.
#pragma once

#include <cstddef>
#include <vector>

namespace tessaro::sim {

struct PageFile {
    const char* path;
    const char* data;
    size_t size;
    const char* type;
};

const std::vector<PageFile>& page_files();

}  // namespace tessaro::sim
