// A copy of a machine that is kept up to date without holding the machine's
// lock for longer than a short piece of work, so that looking at a large
// machine as a whole (writing it out) never holds up its clients.
//
// The first update copies every node, a piece of nodes per hold of the lock;
// the machine notes which nodes change from then on (Machine::changed), and
// later updates copy only those, again piece by piece. A node that changes
// while the pieces are copied is noted again and copied again, until the
// changes left are few enough to copy in one last hold of the lock, which
// also copies the rest of the machine (the PLC word, the selection, the
// faults): the copy then shows the machine as it was at that moment.
//
// One thread at a time may use a mirror; any number of mirrors may follow one
// machine.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

#include "machine.h"

namespace tessaro::sim {

class MachineMirror {
public:
    // `piece`: the most nodes copied (or handles looked up) per hold of the
    // machine's lock.
    explicit MachineMirror(Machine& machine, size_t piece = 500) : m_(machine), piece_(piece ? piece : 1) {}
    MachineMirror(const MachineMirror&) = delete;
    MachineMirror& operator=(const MachineMirror&) = delete;

    // Brings the copy up to the machine as it is now; returns the machine's
    // version (Machine::version) that the copy shows.
    uint64_t update();
    // The copy as Machine::inspect shows the machine; valid until the next update.
    MachineView view() const;

    // Tests: called between two pieces, with the machine's lock released.
    std::function<void()> between_pieces;

private:
    // False when it must start again; `at_once`: in one hold of the lock.
    bool copy_all(std::unique_lock<std::mutex>& lk, bool at_once);
    // The changes noted since the copy's version, then the rest of the
    // machine (`all`: its parts that only a reset changes too); false when
    // the machine no longer has them all noted.
    bool copy_noted(std::unique_lock<std::mutex>& lk, bool all);
    void pause(std::unique_lock<std::mutex>& lk);
    // Copying one node or list, under the machine's lock.
    void put(int32_t handle);
    void put_top_level();
    void put_rest(bool all);
    // Links the nodes copied since the last link to their children.
    void link();

    Machine& m_;
    const size_t piece_;
    bool synced_ = false;
    uint64_t version_ = 0;  // the machine's version that the copy shows

    Tree tree_;
    // The children of the nodes copied since the last link, by handle.
    std::unordered_map<int32_t, std::vector<int32_t>> children_;
    std::vector<int32_t> top_level_;
    bool top_level_copied_ = false;

    std::string name_;
    uint32_t plc_word_ = 0;
    int32_t selected_ = -1;
    std::vector<proto::JobNodeType> job_node_types_;
    DeviceTable devices_;
    SystemMessages messages_;
    std::vector<Fault> faults_;
    std::vector<TimelineStep> timeline_;
};

}  // namespace tessaro::sim
