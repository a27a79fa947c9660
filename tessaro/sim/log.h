// Where the simulator's components write their lines for standard error.
#pragma once

#include <functional>
#include <string>

namespace tessaro::sim {

using LogFn = std::function<void(const std::string&)>;

}  // namespace tessaro::sim
