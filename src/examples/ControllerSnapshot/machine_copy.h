// A copy of what a controller holds, read through the controller library's
// operations only (never writing to the controller): the subtrees under given
// nodes, the jobs with their subtrees, the selected node, the job node types,
// the drivers, the devices and the PLC state word.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "xal_tessaro.h"

namespace snapshot {

// What a node is in the scenario: the library tells variables and jobs by
// their type; a node of type VT_INV is a job node inside a job or job node,
// and a folder anywhere else.
enum class Kind { Folder, Variable, Job, JobNode };

struct NodeCopy {
    HNodeObject handle = -1;
    Kind kind = Kind::Folder;
    std::string fullname, name, priv, unit;
    std::string value;     // variables: the value text; for VT_BIN its bytes in hex
    std::string nodetype;  // job nodes: the full name of their job node type
    int32_t type = VT_INV;
    int64_t id = 0;
    float min = 0.0f, max = 0.0f;
    uint32_t index = 0, flags = 0;
    bool walked = false;  // its whole subtree is copied, not just the node
    std::vector<NodeCopy> children;
};

struct JobNodeTypeCopy {
    std::string fullname, name;
    bool usercreatable = false, canmakelines = false, canpasslines = false, acceptssubnodes = false;
};

struct DriverCopy {
    std::string name, version, vendor, comment;
};

struct DeviceCopy {
    int32_t handle = 0;
    std::string name, driver, statestring, stat_str, dependencies_var;
    int32_t state = 0, stat_n = 0;
    bool is_static = false;
    std::vector<std::string> dependencies, dependson;
};

struct MachineCopy {
    bool have_plc = false;
    uint32_t plc_word = 0;
    std::string selected;  // full name of the selected node; "" for none
    std::vector<JobNodeTypeCopy> job_node_types;
    std::vector<NodeCopy> nodes;  // the top level, in index order
    std::vector<DriverCopy> drivers;
    std::vector<DeviceCopy> devices;
    size_t nodes_read = 0;
    size_t records_read = 0;  // job list, job node types, driver and device lists, PLC word
    size_t left_out = 0;      // nodes and records that could not be read or expressed
};

// Copies the controller behind `HC`: the subtrees under `roots` (full node
// names), plus every job and the selected node. Whatever cannot be read, or
// cannot be expressed in a scenario, is reported on standard error and left
// out. With `progress`, a count of the nodes read goes to standard error
// every 1000 nodes.
MachineCopy copy_machine(HController HC, const std::vector<std::string>& roots, bool progress);

}  // namespace snapshot
