// The messages of the controller protocol: one request/reply operation per
// library operation that needs the controller, the pushed events, and the
// records as plain C++ values with their wire encoding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace tessaro::proto {

// Operation numbers. Each request operation is named after the library
// operation it serves; that name is also how scenario faults address it.
enum class Op : uint16_t {
    Hello = 1,
    GetNode = 10,
    GetParentNode = 11,
    ReadNode = 12,
    GetNodeInfo = 13,
    GetNodeValueStringLen = 20,
    GetNodeValueString = 21,
    GetNodeValueBinCopyLen = 22,
    GetNodeValueBinCopy = 23,
    SetNodeValueString = 24,
    WriteNodeSync = 25,
    GetNodeNameLen = 30,
    GetNodeName = 31,
    CreateNodeOnController = 40,
    CreateJobNodeOnController = 41,
    DeleteSingleNodeOnController = 42,
    RenameNode = 43,
    MoveSubtree = 44,
    CreateNodeObjectCollection = 50,
    GetSubnodes = 51,
    GetNodeObjectCount = 52,
    GetNodeObjectAtIndex = 53,
    DestroyNodeObjectCollection = 54,
    GetJobInfo = 60,
    GetJobNamesLen = 61,
    GetJobNames = 62,
    SelectNode = 63,
    JobStart = 64,
    GetJobNodeTypesCount = 65,
    GetJobNodeTypeInfo = 66,
    GetPLCState = 70,
    RegisterOnPLCChanged = 71,
    UnregisterOnPLCChanged = 72,
    GetDriverInfo = 80,
    GetAllDeviceInfo = 81,
    GetDeviceInfo = 82,
    GetSystemMessageXMLLen = 90,
    GetSystemMessageXML = 91,
    // Events pushed by the controller (Kind::Event, sequence number 0).
    PlcChanged = 200,
};

// The name of an operation ("GetNode"), or "" for a number that names none.
const char* op_name(Op op);
// The operation of a name; false when the name is no operation's.
bool op_from_name(const std::string& name, Op& op);
// Every request operation, in number order (Hello included).
const std::vector<Op>& request_ops();

struct NodeInfo {
    int32_t handle = -1;
    int64_t nodeid = 0;
    std::string fullname, name, path, value, priv, unit;
    int32_t type = 0;
    std::string typestring;
    float min = 0.0f, max = 0.0f;
    uint32_t index = 0, flags = 0;
};

struct JobInfo {
    std::vector<std::string> fulljobnames;  // same length and order as jobnames
    std::vector<std::string> jobnames;
    std::string selectednode;
};

struct JobNodeType {
    std::string fullname, name;
    int32_t usercreatable = 0, canmakelines = 0, canpasslines = 0, acceptssubnodes = 0;
};

struct Driver {
    std::string name, version, vendor, comment;
};

struct Device {
    int32_t handle = -1;
    std::string name, driver;
    int32_t state = 0;
    std::string statestring;
    int32_t staticdevice = 0, stat_n = 0;
    std::string stat_str, dependenciesvarname;
    std::vector<std::string> dependencies, dependson;
};

void put(wire::Writer& w, const NodeInfo& v);
void put(wire::Writer& w, const JobInfo& v);
void put(wire::Writer& w, const JobNodeType& v);
void put(wire::Writer& w, const std::vector<Driver>& v);
void put(wire::Writer& w, const Device& v);
void put(wire::Writer& w, const std::vector<Device>& v);

bool get(wire::Reader& r, NodeInfo& v);
bool get(wire::Reader& r, JobInfo& v);
bool get(wire::Reader& r, JobNodeType& v);
bool get(wire::Reader& r, std::vector<Driver>& v);
bool get(wire::Reader& r, Device& v);
bool get(wire::Reader& r, std::vector<Device>& v);

}  // namespace tessaro::proto
