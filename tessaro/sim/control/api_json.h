// The control API's JSON: the machine's parts as the API shows them, and
// the request bodies checked and turned into what the machine takes. Names
// and texts are those of scenario files and of the library.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "control_port.h"
#include "faults.h"
#include "plc.h"

namespace tessaro::sim {

// JSON text; a text of the machine that is no UTF-8 shows replacement characters.
std::string dump(const nlohmann::json& j);

// One node: name, type, value as the library renders it, limits, unit,
// privileges and its children's short names. None when there is no such node.
std::optional<nlohmann::json> node_json(ControlPort& port, const std::string& name);
// The node `name` as the answer to a value write that succeeded: the value
// as that write left it (`sent.value`), so that a write landing right after
// does not show in it, and the rest as node_json gives it now; `before` when
// the node is gone by then.
nlohmann::json written_node_json(ControlPort& port, const std::string& name, const ControlPort::Sent& sent,
                                 const nlohmann::json& before);
// The PLC state word ("word"), the names of its bits that are set ("state",
// a number for a bit without a name), the selected node ("selected", "" for
// none) and every bit's name ("names", indexed by bit number).
nlohmann::json plc_json(ControlPort& port);
// A fault as a scenario object with its number ("index"), the matching
// calls it has seen and the calls it will still hit ("left", null for no end).
nlohmann::json fault_json(const FaultStatus& fault);
// Every fault as fault_json gives it, in list order.
nlohmann::json faults_json(const std::vector<FaultStatus>& faults);

// Deepest nesting of arrays and objects a body may have: what the API takes
// is two levels deep, and a deeper text would only cost stack to handle.
constexpr int kMaxBodyDepth = 32;

// Parses a request body of any JSON; none, with `error` set, for malformed
// text or text nested more than kMaxBodyDepth deep.
std::optional<nlohmann::json> parse_json_body(const std::string& body, std::string& error);
// A request body: a JSON object of only the `keys` named. False with
// `error` saying what is wrong.
bool parse_body(const std::string& body, std::initializer_list<const char*> keys, nlohmann::json& out,
                std::string& error);
// A request body that is a fault object as a scenario file gives it, read
// as the scenario loader reads one. Malformed or too deeply nested text is
// refused as parse_json_body refuses it.
bool parse_fault(const std::string& body, Fault& out, std::string& error);
// {"value": "..."}: the text to write to a node.
bool parse_node_value(const nlohmann::json& j, std::string& value, std::string& error);
// {"set": [names], "clear": [names]} as bit masks.
bool parse_plc(const nlohmann::json& j, uint32_t& set, uint32_t& clear, std::string& error);
// {"outcome": name, "duration_ms": n}, either or both.
bool parse_job(const nlohmann::json& j, std::optional<JobOutcome>& outcome, std::optional<int64_t>& duration_ms,
               std::string& error);

}  // namespace tessaro::sim
