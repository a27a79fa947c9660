// The messages of the controller protocol: one request/reply operation per
// library operation that needs the controller, the pushed events, and the
// records as plain C++ values with their wire encoding.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"

namespace tessaro::proto {

// Operation numbers: the handshake, one request operation per library
// operation that needs the controller (xal_operations.def), and the pushed
// events. A request operation is named after the library operation it
// serves; that name is also how scenario faults address it.
enum class Op : uint16_t {
    Hello = 1,
#define XAL_WIRE_OP(name, wire, ...) name = wire,
#define XAL_LOCAL_OP(...)
#include "xal_operations.def"
#undef XAL_WIRE_OP
#undef XAL_LOCAL_OP
#define XAL_API_OP(name, wire, ...) name = wire,
#include "api_operations.def"
#undef XAL_API_OP
    // Events pushed by the controller (Kind::Event, sequence number 0).
    PlcChanged = 200,
};

// True for the requests of the simulator's HTTP control API.
inline bool is_api_op(Op op) { return op >= Op::ApiSetPlc && op <= Op::ApiReset; }

// The name of an operation ("GetNode"), or "" for a number that names none.
// (The operations' table is operations.h.)
const char* op_name(Op op);
// The name of a request operation (Hello included), or null for a number
// that no request has (an event's among them).
const char* request_op_name(Op op);
// The request operation of a name (Hello included); false when the name is
// no request operation's.
bool op_from_name(const std::string& name, Op& op);

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
