// The simulated machine: the variable tree, the PLC runtime, the devices and
// the system messages behind one lock, with every library operation as a
// method that returns the library's result. Per-connection state (pending
// values, node collections, the PLC-change registration) lives in a Session
// that the connection owns and hands in.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "devices.h"
#include "faults.h"
#include "protocol/messages.h"
#include "plc.h"
#include "request.h"
#include "tree.h"

namespace tessaro::sim {

// Receives the PLC state changes of a registered connection. Called in the
// order of the changes, after the machine's lock is released (so it may
// trace the event), but while other changes wait to be delivered: it must
// not wait long, nor call the machine.
class PlcSink {
public:
    virtual ~PlcSink() = default;
    virtual void plc_changed(uint32_t word) = 0;
};

// What one connection keeps on the machine.
struct Session {
    std::map<int32_t, Value> pending;  // node handle -> value set but not yet written
    std::map<int32_t, std::vector<int32_t>> collections;
    int32_t next_collection = 1;
    PlcSink* sink = nullptr;  // where this connection's PLC events go, once registered
    // Set by a caller that answers with the value its write left (the control
    // API): WriteNodeSync then puts the node's value, as it stands once the
    // write is done, in `written`, under the same lock as the write, so that
    // a write landing right after cannot show in it.
    bool keep_written = false;
    std::optional<std::string> written;
};

// A step of a scenario's timeline: the variable `node` (full name) takes
// `value` (as text) `at_ms` after the first library client is greeted, as
// if a client had written it.
struct TimelineStep {
    std::string node;
    int64_t at_ms = 0;
    std::string value;
};

// Everything a machine starts from; the scenario loader fills it in.
struct MachineConfig {
    std::string name = "unnamed";
    Tree tree;
    uint32_t plc_word = 0;
    std::string selected;  // full name of the node selected at start; "" for none
    std::vector<proto::JobNodeType> job_node_types;
    DeviceTable devices;
    SystemMessages messages;
    std::vector<Fault> faults;
    std::vector<TimelineStep> timeline;  // in the order of at_ms
};

// A read-only look at everything the machine holds that a scenario
// describes; valid only during Machine::inspect.
struct MachineView {
    const std::string& name;
    const Tree& tree;
    uint32_t plc_word;
    const Node* selected;  // null for none
    const std::vector<proto::JobNodeType>& job_node_types;
    const DeviceTable& devices;
    const SystemMessages& messages;
    const std::vector<Fault>& faults;
    const std::vector<TimelineStep>& timeline;
};

// Limits that keep a misbehaving client from exhausting the simulator.
constexpr size_t kMaxNodes = 100000;
constexpr size_t kMaxCollections = 1024;  // per connection

class Machine {
public:
    using ClockFn = std::function<TimePoint()>;

    // `clock` defaults to the steady clock; tests pass their own and step the
    // PLC with run_due() instead of starting the timer thread.
    explicit Machine(MachineConfig cfg, ClockFn clock = {});
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The thread that ends jobs and makes them ready on time.
    void start_timers();
    void stop_timers();
    // Carries out whatever the PLC and the timeline have due at the clock's
    // current time.
    void run_due();
    // A library client has been greeted: the first starts the timeline.
    void client_greeted();

    std::string server_name() const;

    // Calls `f` with a view of the whole machine, under the machine lock, so
    // that what `f` sees is one consistent state.
    void inspect(const std::function<void(const MachineView&)>& f);
    // A number that changes with every change of what inspect() shows:
    // values written, nodes created, deleted, renamed or moved, the PLC word
    // and the selection, job settings, the faults (added, removed, spent),
    // a reset. A machine that does not change keeps it, so that what is made
    // of the machine can be made once per version.
    uint64_t version() const { return version_.load(std::memory_order_acquire); }

    // Admits a decoded request: names the nodes it addresses in
    // `r.nodes` when `name_nodes` is set (or a fault may need them) and,
    // with `check_faults`, counts it against the faults, telling what a
    // fault that hits it does.
    std::optional<FaultHit> admit(Request& r, bool name_nodes, bool check_faults = true);

    // Nodes
    int32_t get_node(const std::string& fullname);
    int32_t get_parent(int32_t node);
    int read_node(Session& s, int32_t node);
    int node_info(int32_t node, proto::NodeInfo& out);
    // The full name of a node; "" for none (cheaper than node_info).
    std::string full_name(int32_t node);
    // Values
    int value_string_len(int32_t node);
    int value_string(int32_t node, int32_t size, std::string& out);
    int bin_len(int32_t node);
    int bin_copy(int32_t node, int32_t size, std::vector<uint8_t>& out);
    int set_value(Session& s, int32_t node, const std::string& text);
    int write_sync(Session& s, int32_t node);
    // Names
    int name_len(int32_t node);
    int name_copy(int32_t node, int32_t size, std::string& out);
    // Tree
    int create_node(const std::string& fullname, int32_t type);
    int create_job_node(const std::string& fullname, const std::string& nodetype);
    int delete_node(int32_t node);
    int rename_node(int32_t node, const std::string& newname);
    int move_subtree(int32_t node, int32_t newparent, int32_t position);
    // Collections
    int32_t create_collection(Session& s);
    int get_subnodes(Session& s, int32_t node, int32_t collection);
    int collection_count(Session& s, int32_t collection, int32_t& count);
    int collection_at(Session& s, int32_t collection, int32_t position, int32_t& node);
    int destroy_collection(Session& s, int32_t collection);
    // Jobs and PLC
    proto::JobInfo job_info();
    std::string job_names();
    int job_names_copy(int32_t size, std::string& out);
    int select_node(int32_t node);
    int job_start();
    int32_t job_node_type_count();
    int job_node_type(int32_t position, proto::JobNodeType& out);
    uint32_t plc_state();
    int register_plc(Session& s, PlcSink* sink);
    int unregister_plc(Session& s);
    // Pushes `word` to `s` alone while it is registered (a replayed event);
    // the machine's own word stays as it is.
    void push_plc(Session& s, uint32_t word);
    // Devices and system messages
    std::vector<proto::Driver> drivers();
    std::vector<proto::Device> devices();
    int device(int32_t handle, proto::Device& out);
    int sysmsg_len(int32_t id);
    int sysmsg_copy(int32_t id, int32_t size, std::string& out);

    // Drops what the machine keeps for a connection that ends.
    void end_session(Session& s);

    // Run-time control, for changes that no library operation makes
    // (machine_control.cpp).
    // Sets and clears PLC state bits in one change, pushed to registered clients.
    void change_plc(uint32_t set, uint32_t clear);
    // How the job `name` (full name, or a short name that only one job has)
    // ends its next runs and how long they take; `full` gets its full name.
    // E_NOEXIST: no such job.
    int set_job(const std::string& name, std::optional<JobOutcome> outcome, std::optional<int64_t> duration_ms,
                std::string* full = nullptr);
    size_t add_fault(Fault f);
    bool remove_fault(size_t index);
    std::vector<FaultStatus> fault_status();
    // Puts the machine back as `cfg` describes it, without faults: a run
    // under way is dropped, and registered clients learn the new PLC word.
    // Handles are given anew in tree order, so the nodes of an unchanged
    // scenario keep theirs.
    void reset(MachineConfig cfg);
    // The scenario text a reset goes back to (the machine as it started).
    void keep_start(std::string scenario);
    // Resets to the kept start: E_OK, or E_FAILURE when there is none or it
    // no longer loads.
    int reset_to_start();
    // The full name of the job `name` (full, or a short name only one job
    // has); "" for none.
    std::string job_name(const std::string& name);

private:
    bool can_contain(const Node* parent, const Node& child) const;
    bool accepts_subnodes(const Node& n) const;
    bool inside_running_job(const Node* n) const;
    std::string value_text(const Node& n) const;
    void notify(uint32_t word);
    // Delivers the events queued while mu_ was held, in order; called
    // without mu_.
    void deliver_events();
    // Stops delivering to `s`: once it returns, no event reaches s.sink.
    void forget_sink(Session& s);
    void timer_loop();
    // Under mu_: the timeline's steps due at `now`, and when the next is due.
    void run_timeline(TimePoint now);
    std::optional<TimePoint> timeline_deadline() const;

    // Holds mu_; on leaving, releases it and then delivers the PLC events
    // queued meanwhile, so that no sink runs under the machine's lock.
    class Locked {
    public:
        explicit Locked(Machine& m) : m_(m), lk_(m.mu_) {}
        ~Locked() {
            bool queued = !m_.outbox_.empty();
            lk_.unlock();
            if (queued) m_.deliver_events();
        }
        Locked(const Locked&) = delete;
        Locked& operator=(const Locked&) = delete;

    private:
        Machine& m_;
        std::unique_lock<std::mutex> lk_;
    };
    Node* find_job(const std::string& name);  // under mu_

    // Under mu_, with every change that inspect() shows: the version moves
    // on, and the nodes whose own fields or list of children changed
    // (kTopLevel: the list of top-level nodes) are noted for the mirrors.
    static constexpr int32_t kTopLevel = 0;  // no node has handle 0
    void changed(std::initializer_list<int32_t> nodes = {});
    // Everything changed at once (a reset): a mirror copies it all again.
    void changed_all();
    int32_t handle_of(const Node* n) const { return n ? n->handle : kTopLevel; }

    friend class MachineMirror;
    // A change of node `node` at `version`.
    struct Noted {
        uint64_t version;
        int32_t node;
    };
    // Most changes noted: a mirror that has fallen further behind copies it all again.
    static constexpr size_t kMaxNoted = 2 * kMaxNodes;

    mutable std::mutex mu_;
    ClockFn clock_;
    std::string name_;
    Tree tree_;
    std::vector<proto::JobNodeType> job_node_types_;
    DeviceTable devices_;
    SystemMessages messages_;
    FaultTable faults_;
    std::set<Session*> registered_;
    // PLC events for the registered sessions, queued under mu_ and
    // delivered by the thread that queued them once it has released mu_.
    struct Pushed {
        PlcSink* sink;
        uint32_t word;
    };
    std::vector<Pushed> outbox_;
    // Held while a batch of events is delivered, so that batches keep
    // their order and forget_sink() can wait for one under way.
    std::mutex deliver_mu_;
    PlcEngine plc_;
    std::vector<TimelineStep> timeline_;
    size_t timeline_next_ = 0;                  // the first step not yet taken
    std::optional<TimePoint> timeline_start_;   // none until a client is greeted
    std::string start_;  // set once, before serving starts
    std::atomic<uint64_t> version_{0};  // changed under mu_, read without it
    // The nodes changed, in version order, once a mirror has asked for them;
    // every change after version noted_from_ is in it.
    bool noting_ = false;
    std::deque<Noted> noted_;
    uint64_t noted_from_ = 0;

    std::condition_variable timer_cv_;
    std::thread timer_;
    bool stop_ = false;
};

}  // namespace tessaro::sim
