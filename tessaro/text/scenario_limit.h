// The size limit of scenario files, shared by the simulator, which reads
// none larger (--scenario, --state) and saves no state larger, and the
// snapshot example, which writes no snapshot larger.
#pragma once

#include <cstddef>

namespace tessaro::text {

// The largest scenario file, in bytes (16 MiB). Loading one takes at most
// about ten times that in memory.
constexpr size_t kMaxScenarioBytes = 16u << 20;

}  // namespace tessaro::text
