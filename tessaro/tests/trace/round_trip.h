// What both trace tests do with a line: read it back and write it again, or
// see it refused with the place named.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "trace/trace_line.h"

namespace tessaro::trace::test {

// The time and connection that most lines of the tests start with.
const std::string kTime = R"("time":"2026-12-07T21:02:33.224239Z")";
const std::string kHead = "{" + kTime + R"(,"conn":"c",)";

// format() of the line as read into `slot` (a fresh one when none is given),
// or why it was refused.
inline std::string reread(const std::string& line, TraceLine& slot) {
    std::string error;
    return parse(line, slot, error) ? format(slot) : "refused: " + error;
}
inline std::string reread(const std::string& line, TraceLine&& fresh = {}) { return reread(line, fresh); }

// Each line (after kHead unless it is empty or starts with {) refused, the
// error naming what `error` names.
template <size_t N>
void expect_refused(const std::pair<std::string, const char*> (&cases)[N]) {
    for (const auto& [line, error] : cases) {
        const std::string got = reread(line.empty() || line[0] == '{' ? line : kHead + line);
        EXPECT_TRUE(got.rfind("refused: ", 0) == 0 && got.find(error) != std::string::npos) << line << "\n  " << got;
    }
}

}  // namespace tessaro::trace::test
