// The library's diagnostics. Standard output and standard error belong to the
// program, so nothing is ever written there; when TESSARO_LOG names a file,
// each event becomes one appended line of that file.
#pragma once

#include <string>

namespace tessaro::lib {

// Appends one line ("<UTC time> tessaro[<pid>] <message>") to the log file,
// if there is one. Safe from any thread; never fails the caller.
void log_event(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// `text` made safe for a log line: control and non-ASCII bytes become '?',
// and anything past `max` bytes is cut and marked with "...".
std::string printable(const std::string& text, size_t max = 120);

}  // namespace tessaro::lib
