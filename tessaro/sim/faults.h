// Scripted faults: rules that pick requests by operation, node, handle and
// call number and make the simulator answer them wrongly, late, or not at all.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "protocol/messages.h"

namespace tessaro::sim {

struct Fault {
    enum class Action { None, Silent, Close };

    proto::Op op = proto::Op::Hello;
    std::optional<std::string> node;  // full name of a node the request names or addresses
    std::optional<int32_t> handle;    // a handle the request carries
    uint64_t call = 0;   // only from the call-th matching call on (1-based); 0: from the first
    uint64_t times = 0;  // how many matching calls are hit; 0: one when `call` is set, else all
    std::optional<int32_t> result;
    Action action = Action::None;
    int64_t delay_ms = 0;
};

// What to do with a request that a fault hit.
struct FaultHit {
    enum class Kind {
        Result,  // reply `result` (after `delay_ms`) without carrying out the request
        Silent,  // never reply, carry out nothing
        Close,   // close the connection (after `delay_ms`), carry out nothing
        Delay,   // carry out the request normally, `delay_ms` late
    };
    Kind kind = Kind::Delay;
    int32_t result = 0;
    int64_t delay_ms = 0;
    size_t index = 0;  // the fault's number: its position in the scenario's list, from 0
};

// The request facts a fault may match on.
struct FaultQuery {
    proto::Op op;
    std::vector<std::string> nodes;  // full names the request names or addresses
    std::vector<int32_t> handles;    // every handle the request carries
};

// A fault as it stands: its number, how many matching calls it has seen
// since it was added, and how many it will still hit (none: no end).
struct FaultStatus {
    Fault fault;
    size_t index = 0;
    uint64_t seen = 0;
    std::optional<uint64_t> left;
};

// Not thread-safe: the machine calls it under its lock. Scenario faults are
// numbered by their position from 0, faults added later go on from there.
// A fault whose window of calls has passed removes itself.
class FaultTable {
public:
    FaultTable() = default;
    explicit FaultTable(std::vector<Fault> faults);

    bool empty() const { return entries_.empty(); }
    size_t size() const { return entries_.size(); }
    // The faults as configured, in list order.
    std::vector<Fault> faults() const;
    std::vector<FaultStatus> status() const;
    // Appends a fault, counting its calls from now on; returns its number.
    size_t add(Fault f);
    // Removes the fault numbered `index`; false when there is none.
    bool remove(size_t index);
    // True when some fault is about `op`.
    bool watches(proto::Op op) const;
    // Counts the request against every fault that matches it, then returns
    // what the first fault (in list order) whose window holds its count does.
    std::optional<FaultHit> check(const FaultQuery& q);

private:
    struct Entry {
        Fault fault;
        size_t index = 0;
        uint64_t seen = 0;
    };
    // The last call number the fault hits; none when it has no end.
    static std::optional<uint64_t> last_call(const Fault& f);
    static bool matches(const Fault& f, const FaultQuery& q);
    static bool in_window(const Fault& f, uint64_t n);

    std::vector<Entry> entries_;
    size_t next_index_ = 0;
};

}  // namespace tessaro::sim
