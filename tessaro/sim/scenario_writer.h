// Writes a machine as scenario text, so that a running machine can be saved
// and served again: loading the text gives the same tree (names, types,
// ids, values, limits, privileges, order), jobs, PLC word and selection,
// devices, system messages and faults. Handles are given anew in tree order
// on loading, and fault counts start again from zero.
#pragma once

#include <string>

#include "machine.h"

namespace tessaro::sim {

// The scenario text of `m`: deterministic (the same machine always gives the
// same bytes). False, with `error` naming the node, when a text of the
// machine is no UTF-8 and so cannot stand in a JSON file.
bool write_scenario(const MachineView& m, std::string& out, std::string& error);

}  // namespace tessaro::sim
