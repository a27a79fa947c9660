// Writes a machine as scenario text, so that a running machine can be saved
// and served again: loading the text gives the same tree (names, types,
// ids, values, limits, privileges, order), jobs, PLC word and selection,
// devices, system messages and faults. Handles are given anew in tree order
// on loading, and fault counts start again from zero.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "text/json_writer.h"

namespace tessaro::sim {

// The scenario text of `m`: deterministic (the same machine always gives the
// same bytes). False, with `error` naming the node, when a text of the
// machine is no UTF-8 and so cannot stand in a JSON file.
bool write_scenario(const MachineView& m, std::string& out, std::string& error);

// One member of a fault object: a text or a number under its key.
struct FaultMember {
    const char* key;
    std::optional<std::string> text;  // none: the member is `number`
    long long number = 0;
};
// The members of `f` as a scenario file gives them, in the order written:
// only those the fault has, and a delay_ms of 0 when it has nothing else
// to do.
std::vector<FaultMember> fault_members(const Fault& f);
// Writes `f` as an object of a scenario's faults, in the style of `w`.
// False when a text of it is no UTF-8 and so cannot stand in a JSON file.
bool write_fault(text::JsonWriter& w, const Fault& f);

}  // namespace tessaro::sim
