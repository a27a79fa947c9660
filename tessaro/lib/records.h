// The records that the library hands out: built from the decoded protocol
// values with every text a zero-terminated copy, and released whole by the
// Destroy operation of their family.
//
// Every record handed out is remembered until it is destroyed, so a Destroy
// of a pointer the library did not hand out (or already took back) is refused
// with E_INVALID instead of corrupting the heap.
#pragma once

#include <vector>

#include "protocol/messages.h"
#include "xal_tessaro.h"

namespace tessaro::lib::records {

// Each returns nullptr when memory runs out.
XAL_NODEINFO* make(const proto::NodeInfo& v);
XAL_JOBINFO* make(const proto::JobInfo& v);
XAL_DRIVERINFO* make(const std::vector<proto::Driver>& v);
XAL_DEVICEINFO* make(const std::vector<proto::Device>& v);
XAL_SINGLEDEVICEINFO* make(const proto::Device& v);

// E_OK, or E_INVALID for NULL or a pointer that is not a live record of that
// family.
int destroy(XAL_NODEINFO* info);
int destroy(XAL_JOBINFO* info);
int destroy(XAL_DRIVERINFO* info);
int destroy(XAL_DEVICEINFO* info);
int destroy(XAL_SINGLEDEVICEINFO* info);

// Job node type records have no Destroy operation: they stay the library's
// for the process lifetime. One record is kept per connection and position
// and handed out again while the controller reports the same values; when
// the values change, a new record is made and the old one is kept alive (a
// caller may still be reading it), so memory grows only with real changes.
XAL_JOBNODEINFO* job_node_type(HController hc, int position, const proto::JobNodeType& v);

}  // namespace tessaro::lib::records
