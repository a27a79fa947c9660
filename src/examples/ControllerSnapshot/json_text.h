// JSON texts for the snapshot: quoted strings, limits as numbers, and the
// check that a text can stand in a JSON document unchanged. Every rendering
// is deterministic, so the same machine always gives the same bytes.
#pragma once

#include <string>

#include "text/json_text.h"

namespace snapshot {

// True when `s` is well-formed UTF-8: the only texts a JSON document carries
// as they are.
using tessaro::text::is_utf8;

// `s` in double quotes, with '"', '\\' and control characters escaped.
// `s` must be UTF-8 (see is_utf8).
std::string quoted(const std::string& s);

// The shortest decimal text that reads back as exactly `f` in single
// precision; `f` must be finite.
std::string single(float f);

}  // namespace snapshot
