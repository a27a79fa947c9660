// Time bounds of the library, some of them tunable from the environment.
#pragma once

namespace tessaro::lib {

// One DetectRemoteController attempt: name resolution, TCP connect and the
// Hello exchange together.
constexpr int kConnectBudgetMs = 1000;

// Default wait for the reply to one request.
constexpr int kDefaultCallTimeoutMs = 3000;

// How long UnregisterOnPLCChanged waits for a handler call in progress on
// another thread before it gives up with E_TIMEOUT.
constexpr int kHandlerDrainMs = 10000;

// Events received while a handler is busy wait in a queue of at most this many
// entries; beyond it the oldest are dropped (and logged).
constexpr unsigned kMaxQueuedEvents = 65536;

// The reply timeout for connections opened from now on: TESSARO_CALL_TIMEOUT_MS
// when it holds a whole number from 1 to 600000, else kDefaultCallTimeoutMs.
int call_timeout_ms();

}  // namespace tessaro::lib
