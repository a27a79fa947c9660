#include "machine.h"

#include <algorithm>
#include <climits>

#include "xal_tessaro.h"

namespace tessaro::sim {

namespace {

// The copy operations: the text and its terminator must fit in `size`.
int copy_text(const std::string& text, int32_t size, std::string& out) {
    if (size <= 0) return E_INVALID;
    if (text.size() + 1 > static_cast<size_t>(size)) return E_NOSPACE;
    out = text;
    return E_OK;
}

int32_t length_of(size_t n) { return n > INT32_MAX ? E_FAILURE : static_cast<int32_t>(n); }

std::string parent_name(const std::vector<std::string>& parts) {
    std::string out;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        if (i) out += '.';
        out += parts[i];
    }
    return out;
}

}  // namespace

Machine::Machine(MachineConfig cfg, ClockFn clock)
    : clock_(clock ? std::move(clock) : ClockFn([] { return Clock::now(); })),
      name_(std::move(cfg.name)),
      tree_(std::move(cfg.tree)),
      job_node_types_(std::move(cfg.job_node_types)),
      devices_(std::move(cfg.devices)),
      messages_(std::move(cfg.messages)),
      faults_(std::move(cfg.faults)),
      plc_(cfg.plc_word, [this](uint32_t w) { notify(w); }),
      timeline_(std::move(cfg.timeline)) {
    if (!cfg.selected.empty())
        if (Node* n = tree_.find(cfg.selected))
            plc_.select(n->handle, n->kind == Kind::Job ? &n->job : nullptr, clock_());
}

Machine::~Machine() { stop_timers(); }

void Machine::start_timers() {
    std::lock_guard<std::mutex> lk(mu_);
    if (timer_.joinable()) return;
    stop_ = false;
    timer_ = std::thread([this] { timer_loop(); });
}

void Machine::stop_timers() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
    }
    timer_cv_.notify_all();
    if (timer_.joinable()) timer_.join();
}

void Machine::timer_loop() {
    std::unique_lock<std::mutex> lk(mu_);
    while (!stop_) {
        // Wake at the next PLC or timeline deadline, and at least once a second.
        TimePoint next = Clock::now() + std::chrono::seconds(1);
        if (auto plc = plc_.next_deadline()) next = std::min(next, *plc);
        if (auto step = timeline_deadline()) next = std::min(next, *step);
        timer_cv_.wait_until(lk, next);
        if (stop_) break;
        TimePoint now = clock_();
        plc_.run_due(now);
        run_timeline(now);
        if (!outbox_.empty()) {
            lk.unlock();
            deliver_events();
            lk.lock();
        }
    }
}

void Machine::run_due() {
    Locked lk(*this);
    TimePoint now = clock_();
    plc_.run_due(now);
    run_timeline(now);
}

void Machine::client_greeted() {
    Locked lk(*this);
    if (timeline_start_ || timeline_.empty()) return;
    timeline_start_ = clock_();
    run_timeline(*timeline_start_);
    timer_cv_.notify_all();
}

std::optional<TimePoint> Machine::timeline_deadline() const {
    if (!timeline_start_ || timeline_next_ >= timeline_.size()) return std::nullopt;
    return *timeline_start_ + std::chrono::milliseconds(timeline_[timeline_next_].at_ms);
}

void Machine::run_timeline(TimePoint now) {
    for (auto due = timeline_deadline(); due && *due <= now; due = timeline_deadline()) {
        const TimelineStep& step = timeline_[timeline_next_++];
        // A client may have deleted the node, or made another of its name:
        // a value that no longer fits is passed over.
        Node* n = tree_.find(step.node);
        Value v;
        if (!n || n->kind != Kind::Variable || parse_value(n->def, step.value, v) != E_OK) continue;
        n->value = std::move(v);
        changed({n->handle});
    }
}

void Machine::notify(uint32_t word) {
    // Runs under mu_ (the PLC engine calls it with every new word): the
    // events go out once it is released.
    changed();
    for (Session* s : registered_) outbox_.push_back(Pushed{s->sink, word});
}

void Machine::deliver_events() {
    std::lock_guard<std::mutex> order(deliver_mu_);
    std::vector<Pushed> batch;
    {
        std::lock_guard<std::mutex> lk(mu_);
        batch.swap(outbox_);
    }
    for (const Pushed& p : batch) p.sink->plc_changed(p.word);
}

void Machine::forget_sink(Session& s) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        registered_.erase(&s);
        outbox_.erase(std::remove_if(outbox_.begin(), outbox_.end(), [&](const Pushed& p) { return p.sink == s.sink; }),
                      outbox_.end());
    }
    // A batch taken before is delivered in full before the caller goes on.
    std::lock_guard<std::mutex> wait(deliver_mu_);
}

std::string Machine::server_name() const {
    std::lock_guard<std::mutex> lk(mu_);
    return "tessaro-sim " + name_;
}

void Machine::inspect(const std::function<void(const MachineView&)>& f) {
    Locked lk(*this);
    std::vector<Fault> faults = faults_.faults();
    f(MachineView{name_, tree_, plc_.word(), tree_.find(plc_.selected()), job_node_types_, devices_, messages_, faults, timeline_});
}

void Machine::changed(std::initializer_list<int32_t> nodes) {
    uint64_t v = version_.fetch_add(1, std::memory_order_acq_rel) + 1;
    if (!noting_) {
        noted_from_ = v;
        return;
    }
    for (int32_t n : nodes) noted_.push_back(Noted{v, n});
    while (noted_.size() > kMaxNoted) {
        noted_from_ = noted_.front().version;
        noted_.pop_front();
    }
}

void Machine::changed_all() {
    noted_.clear();
    noted_from_ = version_.fetch_add(1, std::memory_order_acq_rel) + 1;
}

std::optional<FaultHit> Machine::admit(Request& r, bool name_nodes, bool check_faults) {
    Locked lk(*this);
    const proto::Operation& op = *r.layout;
    bool watched = check_faults && faults_.watches(op.op);
    if (!watched && !name_nodes) return std::nullopt;
    FaultQuery q{op.op, {}, {}};
    r.nodes.assign(r.args.size(), std::string());
    for (size_t i = 0; op.roles[i] && i < r.args.size(); ++i) {
        const Arg& a = r.args[i];
        char role = op.roles[i];
        if (role == proto::kNodeByName) r.nodes[i] = a.str;
        else if (role == proto::kNodeByHandle) {
            if (Node* n = tree_.find(a.i())) r.nodes[i] = tree_.full_name(*n);
        }
        if (!watched) continue;  // only the trace's names are wanted
        if (proto::is_handle_role(role)) q.handles.push_back(a.i());
        if (!r.nodes[i].empty()) q.nodes.push_back(r.nodes[i]);
    }
    if (!watched) return std::nullopt;
    size_t before = faults_.size();
    std::optional<FaultHit> hit = faults_.check(q);
    if (faults_.size() != before) changed();  // a fault was spent
    return hit;
}

std::string Machine::value_text(const Node& n) const {
    return n.kind == Kind::Variable ? render(n.def, n.value) : std::string();
}

bool Machine::accepts_subnodes(const Node& n) const {
    return n.jobnode_type >= 0 && static_cast<size_t>(n.jobnode_type) < job_node_types_.size() &&
           job_node_types_[static_cast<size_t>(n.jobnode_type)].acceptssubnodes != 0;
}

bool Machine::can_contain(const Node* parent, const Node& child) const {
    if (!parent || parent->kind == Kind::Folder) return child.kind != Kind::JobNode;
    if (parent->kind == Kind::Job) return child.kind == Kind::JobNode;
    if (parent->kind == Kind::JobNode) return child.kind == Kind::JobNode && accepts_subnodes(*parent);
    return false;
}

bool Machine::inside_running_job(const Node* n) const {
    int32_t job = plc_.running_job();
    return job >= 0 && n && Tree::in_subtree(n, tree_.find(job));
}

// ---- Nodes -----------------------------------------------------------------

int32_t Machine::get_node(const std::string& fullname) {
    Locked lk(*this);
    Node* n = tree_.find(fullname);
    return n ? n->handle : -1;
}

int32_t Machine::get_parent(int32_t node) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    return n && n->parent ? n->parent->handle : -1;
}

int Machine::read_node(Session& s, int32_t node) {
    Locked lk(*this);
    if (!tree_.find(node)) return E_NOEXIST;
    // Reading fetches the controller's value, replacing what was set locally.
    s.pending.erase(node);
    return E_OK;
}

std::string Machine::full_name(int32_t node) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    return n ? tree_.full_name(*n) : std::string();
}

int Machine::node_info(int32_t node, proto::NodeInfo& out) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    out.handle = n->handle;
    out.nodeid = n->id;
    out.fullname = tree_.full_name(*n);
    out.name = n->name;
    out.path = n->parent ? tree_.full_name(*n->parent) : std::string();
    out.value = value_text(*n);
    out.priv = n->priv;
    out.unit = n->unit;
    switch (n->kind) {
        case Kind::Folder:
            out.type = VT_INV;
            out.typestring = "FOLDER";
            break;
        case Kind::Variable:
            out.type = n->def.type;
            out.typestring = type_name(n->def.type);
            break;
        case Kind::Job:
            out.type = VT_JOB;
            out.typestring = type_name(VT_JOB);
            break;
        case Kind::JobNode:
            out.type = VT_INV;
            out.typestring = job_node_types_[static_cast<size_t>(n->jobnode_type)].name;
            break;
    }
    out.min = n->def.min;
    out.max = n->def.max;
    out.index = tree_.index_of(*n);
    out.flags = n->flags;
    return E_OK;
}

// ---- Values ----------------------------------------------------------------

int Machine::value_string_len(int32_t node) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    return n ? length_of(value_text(*n).size()) : E_INVALID;
}

int Machine::value_string(int32_t node, int32_t size, std::string& out) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    return copy_text(value_text(*n), size, out);
}

int Machine::bin_len(int32_t node) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_INVALID;
    return n->kind == Kind::Variable ? length_of(raw_bytes(n->def, n->value).size()) : 0;
}

int Machine::bin_copy(int32_t node, int32_t size, std::vector<uint8_t>& out) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    if (size <= 0) return E_INVALID;
    std::vector<uint8_t> bytes;
    if (n->kind == Kind::Variable) bytes = raw_bytes(n->def, n->value);
    // Binary copies are exact: a buffer sized for another length means the
    // value changed since its length was asked, and part of it is no answer.
    if (bytes.size() != static_cast<size_t>(size)) return E_NOSPACE;
    out = std::move(bytes);
    return E_OK;
}

int Machine::set_value(Session& s, int32_t node, const std::string& text) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    if (n->kind != Kind::Variable) return E_INVALID;
    if (!n->writable()) return E_ACCESS;
    Value v;
    int rc = parse_value(n->def, text, v);
    if (rc != E_OK) return rc;
    s.pending[node] = std::move(v);
    return E_OK;
}

int Machine::write_sync(Session& s, int32_t node) {
    Locked lk(*this);
    auto it = s.pending.find(node);
    Node* n = tree_.find(node);
    if (!n) {
        if (it != s.pending.end()) s.pending.erase(it);
        return E_NOEXIST;
    }
    if (it != s.pending.end()) {
        n->value = std::move(it->second);
        s.pending.erase(it);
        changed({n->handle});
    }
    if (s.keep_written) s.written = value_text(*n);
    return E_OK;
}

// ---- Names -----------------------------------------------------------------

int Machine::name_len(int32_t node) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    return n ? length_of(n->name.size()) : E_INVALID;
}

int Machine::name_copy(int32_t node, int32_t size, std::string& out) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    return copy_text(n->name, size, out);
}

// ---- Tree ------------------------------------------------------------------

int Machine::create_node(const std::string& fullname, int32_t type) {
    Locked lk(*this);
    std::vector<std::string> parts;
    if (!Tree::split_full_name(fullname, parts)) return E_INVALID;
    if (!is_variable_type(type)) return E_INVALID;
    if (tree_.find(fullname)) return E_EXIST;
    Node* parent = nullptr;
    if (parts.size() > 1 && !(parent = tree_.find(parent_name(parts)))) return E_NOEXIST;
    auto n = std::make_unique<Node>();
    n->name = parts.back();
    n->kind = Kind::Variable;
    n->def.type = type;
    n->value = default_value(n->def);
    if (!can_contain(parent, *n)) return E_NALLOWED;
    if (tree_.size() >= kMaxNodes) return E_NOMEM;
    Node* added = tree_.insert(parent, std::move(n), SIZE_MAX);
    if (!added) return E_NOMEM;
    changed({added->handle, handle_of(parent)});
    return E_OK;
}

int Machine::create_job_node(const std::string& fullname, const std::string& nodetype) {
    Locked lk(*this);
    std::vector<std::string> parts;
    if (!Tree::split_full_name(fullname, parts)) return E_INVALID;
    int type = -1;
    for (size_t i = 0; i < job_node_types_.size() && type < 0; ++i)
        if (job_node_types_[i].fullname == nodetype) type = static_cast<int>(i);
    for (size_t i = 0; i < job_node_types_.size() && type < 0; ++i)
        if (job_node_types_[i].name == nodetype) type = static_cast<int>(i);
    if (type < 0) return E_INVALID;
    if (tree_.find(fullname)) return E_EXIST;
    Node* parent = nullptr;
    if (parts.size() > 1 && !(parent = tree_.find(parent_name(parts)))) return E_NOEXIST;
    auto n = std::make_unique<Node>();
    n->name = parts.back();
    n->kind = Kind::JobNode;
    n->jobnode_type = type;
    if (!parent || !can_contain(parent, *n)) return E_NALLOWED;
    if (!job_node_types_[static_cast<size_t>(type)].usercreatable) return E_ACCESS;
    if (inside_running_job(parent)) return E_BUSY;
    if (tree_.size() >= kMaxNodes) return E_NOMEM;
    Node* added = tree_.insert(parent, std::move(n), SIZE_MAX);
    if (!added) return E_NOMEM;
    changed({added->handle, handle_of(parent)});
    return E_OK;
}

int Machine::delete_node(int32_t node) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    if (!n->writable()) return E_ACCESS;
    if (!n->children.empty()) return E_NALLOWED;
    if (inside_running_job(n)) return E_BUSY;
    if (plc_.selected() == node) plc_.deselect();
    int32_t parent = handle_of(n->parent);
    tree_.erase(n);
    changed({node, parent});
    return E_OK;
}

int Machine::rename_node(int32_t node, const std::string& newname) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    if (!n->writable()) return E_ACCESS;
    if (!Tree::valid_name(newname)) return E_INVALID;
    Node* other = tree_.child_named(n->parent, newname);
    if (other && other != n) return E_EXIST;
    tree_.rename(n, newname);
    changed({node});
    return E_OK;
}

int Machine::move_subtree(int32_t node, int32_t newparent, int32_t position) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    Node* p = tree_.find(newparent);
    if (!n || !p) return E_NOEXIST;
    if (!n->writable()) return E_ACCESS;
    if (Tree::in_subtree(p, n)) return E_INVALID;
    if (!can_contain(p, *n)) return E_NALLOWED;
    if (p != n->parent && tree_.child_named(p, n->name)) return E_EXIST;
    if (inside_running_job(n) || inside_running_job(p)) return E_BUSY;
    size_t count = p->children.size() - (n->parent == p ? 1 : 0);
    if (position == -1) position = static_cast<int32_t>(count);
    if (position < 0 || static_cast<size_t>(position) > count) return E_RANGE;
    if (tree_.depth_of(*p) + tree_.height_of(*n) > kMaxDepth) return E_NALLOWED;
    int32_t from = handle_of(n->parent);
    tree_.move(n, p, static_cast<size_t>(position));
    changed({node, from, newparent});
    return E_OK;
}

// ---- Collections -----------------------------------------------------------

int32_t Machine::create_collection(Session& s) {
    Locked lk(*this);
    if (s.collections.size() >= kMaxCollections || s.next_collection == INT32_MAX) return -1;
    int32_t id = s.next_collection++;
    s.collections[id];
    return id;
}

int Machine::get_subnodes(Session& s, int32_t node, int32_t collection) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    auto it = s.collections.find(collection);
    if (it == s.collections.end()) return E_INVALID;
    it->second.clear();
    for (const Node* c : n->children) it->second.push_back(c->handle);
    return E_OK;
}

int Machine::collection_count(Session& s, int32_t collection, int32_t& count) {
    Locked lk(*this);
    auto it = s.collections.find(collection);
    if (it == s.collections.end()) return E_INVALID;
    count = static_cast<int32_t>(it->second.size());
    return E_OK;
}

int Machine::collection_at(Session& s, int32_t collection, int32_t position, int32_t& node) {
    Locked lk(*this);
    auto it = s.collections.find(collection);
    if (it == s.collections.end()) return E_INVALID;
    if (position < 0 || static_cast<size_t>(position) >= it->second.size()) return E_RANGE;
    node = it->second[static_cast<size_t>(position)];
    return E_OK;
}

int Machine::destroy_collection(Session& s, int32_t collection) {
    Locked lk(*this);
    return s.collections.erase(collection) ? E_OK : E_INVALID;
}

// ---- Jobs and PLC ----------------------------------------------------------

proto::JobInfo Machine::job_info() {
    Locked lk(*this);
    proto::JobInfo info;
    for (const Node* n : tree_.preorder())
        if (n->kind == Kind::Job) {
            info.fulljobnames.push_back(tree_.full_name(*n));
            info.jobnames.push_back(n->name);
        }
    if (Node* sel = tree_.find(plc_.selected())) info.selectednode = tree_.full_name(*sel);
    return info;
}

std::string Machine::job_names() {
    Locked lk(*this);
    std::string out;
    for (const Node* n : tree_.preorder())
        if (n->kind == Kind::Job) {
            if (!out.empty()) out += ';';
            out += tree_.full_name(*n);
        }
    return out;
}

int Machine::job_names_copy(int32_t size, std::string& out) { return copy_text(job_names(), size, out); }

int Machine::select_node(int32_t node) {
    Locked lk(*this);
    Node* n = tree_.find(node);
    if (!n) return E_NOEXIST;
    int rc = plc_.select(node, n->kind == Kind::Job ? &n->job : nullptr, clock_());
    if (rc == E_OK) changed();  // the selection, even when the word stays
    timer_cv_.notify_all();
    return rc;
}

int Machine::job_start() {
    Locked lk(*this);
    int rc = plc_.start(clock_());
    timer_cv_.notify_all();
    return rc;
}

int32_t Machine::job_node_type_count() {
    Locked lk(*this);
    return static_cast<int32_t>(job_node_types_.size());
}

int Machine::job_node_type(int32_t position, proto::JobNodeType& out) {
    Locked lk(*this);
    if (position < 0 || static_cast<size_t>(position) >= job_node_types_.size()) return E_RANGE;
    out = job_node_types_[static_cast<size_t>(position)];
    return E_OK;
}

uint32_t Machine::plc_state() {
    Locked lk(*this);
    return plc_.word();
}

int Machine::register_plc(Session& s, PlcSink* sink) {
    Locked lk(*this);
    s.sink = sink;
    registered_.insert(&s);
    return E_OK;
}

void Machine::push_plc(Session& s, uint32_t word) {
    Locked lk(*this);
    if (registered_.count(&s)) outbox_.push_back(Pushed{s.sink, word});
}

int Machine::unregister_plc(Session& s) {
    forget_sink(s);
    return E_OK;
}

void Machine::end_session(Session& s) {
    forget_sink(s);
    std::lock_guard<std::mutex> lk(mu_);
    s.pending.clear();
    s.collections.clear();
}

// ---- Devices and system messages -------------------------------------------

std::vector<proto::Driver> Machine::drivers() {
    Locked lk(*this);
    return devices_.drivers;
}

std::vector<proto::Device> Machine::devices() {
    Locked lk(*this);
    return devices_.devices;
}

int Machine::device(int32_t handle, proto::Device& out) {
    Locked lk(*this);
    const proto::Device* d = devices_.find(handle);
    if (!d) return E_NOEXIST;
    out = *d;
    return E_OK;
}

int Machine::sysmsg_len(int32_t id) {
    Locked lk(*this);
    auto it = messages_.find(id);
    return it == messages_.end() ? E_INVALID : length_of(it->second.size());
}

int Machine::sysmsg_copy(int32_t id, int32_t size, std::string& out) {
    Locked lk(*this);
    auto it = messages_.find(id);
    if (it == messages_.end()) return E_INVALID;
    return copy_text(it->second, size, out);
}

}  // namespace tessaro::sim
