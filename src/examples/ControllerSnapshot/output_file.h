// Writing the finished snapshot: to standard output, or to a file that is
// replaced in one step, so that no reader ever sees half a snapshot and a
// failed run leaves an existing file as it was.
#pragma once

#include <string>

namespace snapshot {

// Writes `text` to `path`, or to standard output when `path` is empty. The
// file is written beside its final name, flushed to disk and renamed over
// it. On failure returns false with the reason in `error`; no temporary
// file is left behind.
bool write_output(const std::string& path, const std::string& text, std::string& error);

}  // namespace snapshot
