// The process-wide table of connections. A handle is the connection's index:
// the first connection of the process is 0, and handles are never reused.
// The table and its connections are never destroyed, so nothing depends on
// the order of static destruction at process exit and library threads can run
// until the very end.
#pragma once

#include "connection.h"
#include "xal_tessaro.h"

namespace tessaro::lib::registry {

// Gives `conn` the next handle, starts it and enters it in the table. Returns
// the handle, or -1 (and deletes `conn`) when it cannot be started.
HController add(Connection* conn);

// The connection of a handle, or nullptr for one never issued.
Connection* find(HController handle);

// The most recently opened connection that is still alive, or nullptr.
Connection* latest_alive();

}  // namespace tessaro::lib::registry
