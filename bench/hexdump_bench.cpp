// hexdump flushes standard output after every single write; this measures
// what that costs per dumped byte, with standard output sent to /dev/null.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "ControllerWrap.h"

namespace {

void BM_Hexdump(benchmark::State& state) {
    std::vector<unsigned char> data(static_cast<size_t>(state.range(0)));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 37);
    // Send fd 1 to /dev/null while measuring; the report is printed later.
    fflush(stdout);
    int saved = dup(1);
    int null_fd = open("/dev/null", O_WRONLY);
    if (saved < 0 || null_fd < 0) {
        state.SkipWithError("cannot send stdout to /dev/null");
        return;
    }
    dup2(null_fd, 1);
    for (auto _ : state) hexdump(data.data(), static_cast<int>(data.size()));
    fflush(stdout);
    dup2(saved, 1);
    close(saved);
    close(null_fd);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Hexdump)->Arg(20)->Arg(4096);

}  // namespace
