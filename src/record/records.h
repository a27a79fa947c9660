// The records the library hands out, written into a recording's line as the
// simulator's trace writes them ("record", docs/trace.md): objects with the
// members of their structs, in order. A text the record leaves null is "";
// a list's missing entries are left out.
#pragma once

#include "line.h"
#include "xal_tessaro.h"

namespace zuna {
namespace record {

// `value`: what to write for the node's value (a redaction's token), or null
// for its own.
void write(Line& l, const XAL_NODEINFO& v, const char* value);
void write(Line& l, const XAL_JOBINFO& v);
void write(Line& l, const XAL_JOBNODEINFO& v);
void write(Line& l, const XAL_DRIVERINFO& v);
void write(Line& l, const XAL_SINGLEDEVICEINFO& v);
void write(Line& l, const XAL_DEVICEINFO& v);

}  // namespace record
}  // namespace zuna
