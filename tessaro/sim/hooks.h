// What --state and --trace add around serving a request: refusing text the
// state file cannot hold, saving an acknowledged change before its reply,
// and recording the request with its outcome.
#pragma once

#include <string>
#include <vector>

#include "connection.h"
#include "dispatch.h"

namespace tessaro::sim {

// Serves one request frame body as respond() does, with the state file and
// the trace of `opt` (either may be absent).
Outcome serve(Machine& m, Session& s, PlcSink* sink, const ServerOptions& opt, const std::string& peer,
              const std::vector<uint8_t>& body, const DelayFn& delay);

// The result of an outcome's reply frame; none when nothing is sent.
std::optional<int32_t> result_of(const Outcome& o);

// Records a request and its outcome in the trace of `opt`, if any. `nodes`:
// full names of the nodes the arguments address, looked up before the
// request was carried out (a deleted node has none after).
void trace_request(const ServerOptions& opt, const std::string& peer, const std::vector<uint8_t>& body,
                   const Outcome& o, std::vector<std::string> nodes = {});

}  // namespace tessaro::sim
