// Every operation of the protocol as one row: its number and name, the
// fields of its request and what each addresses, the fields and record of
// its reply, and what a success does to the machine. The rows are made from
// the library's list of operations (xal_operations.def) and the control
// API's (api_operations.def), plus the handshake; everything that treats
// operations differently reads it here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "messages.h"

namespace tessaro::proto {

// What a request field addresses (Operation::roles).
constexpr char kNodeByHandle = 'n';
constexpr char kNodeByName = 'N';
// A role that names or addresses a node.
constexpr bool is_node_role(char r) { return r == kNodeByHandle || r == kNodeByName; }
// A role whose field is a handle: a node's, a collection's ('c'), a
// device's ('d') or a system message's ('m').
constexpr bool is_handle_role(char r) { return r == kNodeByHandle || r == 'c' || r == 'd' || r == 'm'; }

// The record that follows a reply's result of 0.
enum class RecordKind : uint8_t { None, NodeInfo, JobInfo, JobNodeType, DriverList, Device, DeviceList };

// What a success does to the machine that a state file holds.
enum class StateEffect : uint8_t {
    Transient,  // nothing that outlives the run (reads, collections, a job's start)
    Staged,     // keeps its texts for a later change that saves them
    Saved,      // changes it: saved before the reply
};

struct Operation {
    Op op;
    const char* name;
    // Request field tags in order: 'i' (i32), 'u' (u32), 's' (string).
    const char* request;
    // Per request field: 'n' node handle, 'N' node full name, 'c' collection,
    // 'd' device, 'm' system message, '-' anything else.
    const char* roles;
    // Fields that follow the result in every reply, success or not: 'i',
    // 'u', 's' or 'b' (bytes).
    const char* reply;
    RecordKind record;
    StateEffect state;

    size_t fields() const;        // in a request
    size_t reply_fields() const;  // after a reply's result
    // True when a request names or addresses a node (roles 'n' or 'N').
    bool addresses_node() const;
    // True when a request carries any handle (node, collection, device or
    // system message).
    bool carries_handle() const;
    // A success changes what a state file holds: it is saved before its reply.
    bool changes_machine() const { return state == StateEffect::Saved; }
    // Its texts become part of what a state file holds, so they must be
    // ones it can hold.
    bool keeps_texts() const { return state != StateEffect::Transient; }
};

// The row of an operation number; null when no request has it (events
// included).
const Operation* operation(uint16_t op);
const Operation* operation(Op op);
// The row of a request operation's name; null when no request has it.
const Operation* operation_named(const std::string& name);

// Every row, in number order.
const Operation* operations_begin();
const Operation* operations_end();

// The operations the library answers itself (connecting, giving records
// back), which have no number on the wire: by their place in the list,
// from 0. A name for each place, null past the last.
const char* local_op_name(uint16_t i);
bool local_op_from_name(const std::string& name, uint16_t& i);

}  // namespace tessaro::proto
