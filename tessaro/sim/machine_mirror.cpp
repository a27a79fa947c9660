#include "machine_mirror.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace tessaro::sim {

namespace {

// Rounds of noted changes copied piece by piece before the rest is copied in
// one hold of the lock, however much it is (changes that come faster than
// they are copied).
constexpr int kRounds = 8;
// Full copies given up, because the machine was reset or noted too many
// changes meanwhile, before one is made in one hold of the lock.
constexpr int kTries = 3;

}  // namespace

uint64_t MachineMirror::update() {
    std::unique_lock<std::mutex> lk(m_.mu_);
    m_.noting_ = true;
    for (int tries = 1;; ++tries) {
        bool all = !synced_ || version_ < m_.noted_from_;
        if (all && !copy_all(lk, tries >= kTries)) continue;
        if (copy_noted(lk, all)) break;
    }
    lk.unlock();
    link();
    return version_;
}

MachineView MachineMirror::view() const {
    return MachineView{name_, tree_, plc_word_, tree_.find(selected_), job_node_types_, devices_, messages_, faults_, timeline_};
}

void MachineMirror::pause(std::unique_lock<std::mutex>& lk) {
    lk.unlock();
    if (between_pieces) between_pieces();
    // A moment without the lock: a client woken by the unlock takes it
    // before this thread can take it again.
    std::this_thread::sleep_for(std::chrono::microseconds(100));
    lk.lock();
}

bool MachineMirror::copy_all(std::unique_lock<std::mutex>& lk, bool at_once) {
    children_.clear();
    if (tree_.size()) {  // the old copy is freed without the machine's lock
        Tree old;
        std::swap(old, tree_);
        lk.unlock();
    }
    if (!lk.owns_lock()) lk.lock();
    const uint64_t start = m_.version();
    // Nodes made later have larger handles, and are noted.
    const int32_t end = m_.tree_.next_handle_;
    put_top_level();
    size_t looked = 0;
    for (int32_t h = 1; h < end; ++h) {
        if (!at_once && ++looked % piece_ == 0) {
            pause(lk);
            if (m_.noted_from_ > start) return false;  // reset, or too much noted meanwhile
        }
        if (m_.tree_.find(h)) put(h);
    }
    version_ = start;
    synced_ = true;
    return true;
}

bool MachineMirror::copy_noted(std::unique_lock<std::mutex>& lk, bool all) {
    const std::deque<Machine::Noted>& noted = m_.noted_;
    auto after = [&](uint64_t v) {
        return std::upper_bound(noted.begin(), noted.end(), v,
                                [](uint64_t x, const Machine::Noted& n) { return x < n.version; });
    };
    for (int round = 1;; ++round) {
        if (version_ < m_.noted_from_) return false;
        const uint64_t upto = m_.version();
        auto it = after(version_);
        if (static_cast<size_t>(noted.end() - it) <= piece_ || round >= kRounds) {
            for (; it != noted.end(); ++it) put(it->node);
            put_rest(all);
            version_ = upto;
            return true;
        }
        // The changes up to `upto`, a piece at a time; those made meanwhile
        // are the next round's.
        for (uint64_t done = version_;;) {
            size_t n = 0;
            for (it = after(done); it != noted.end() && it->version <= upto; ++it) {
                if (n >= piece_ && it->version != done) break;  // a piece ends between two changes
                put(it->node);
                done = it->version;
                ++n;
            }
            if (it == noted.end() || it->version > upto) break;
            pause(lk);
            if (done < m_.noted_from_) return false;
        }
        version_ = upto;
    }
}

void MachineMirror::put(int32_t handle) {
    if (handle == Machine::kTopLevel) return put_top_level();
    const Node* from = m_.tree_.find(handle);
    if (!from) {
        tree_.nodes_.erase(handle);
        children_.erase(handle);
        return;
    }
    std::unique_ptr<Node>& to = tree_.nodes_[handle];
    if (!to) to = std::make_unique<Node>();
    Node* parent = to->parent;  // the copy's links are its own, made by link()
    *to = *from;
    to->parent = parent;
    to->children.clear();
    std::vector<int32_t>& children = children_[handle];
    children.clear();
    for (const Node* c : from->children) children.push_back(c->handle);
}

void MachineMirror::put_top_level() {
    top_level_.clear();
    for (const Node* n : m_.tree_.roots_) top_level_.push_back(n->handle);
    top_level_copied_ = true;
}

void MachineMirror::put_rest(bool all) {
    name_ = m_.name_;
    plc_word_ = m_.plc_.word();
    selected_ = m_.plc_.selected();
    faults_ = m_.faults_.faults();
    // These change only with a reset, which is copied as a whole.
    if (all) {
        job_node_types_ = m_.job_node_types_;
        devices_ = m_.devices_;
        messages_ = m_.messages_;
        timeline_ = m_.timeline_;
    }
}

void MachineMirror::link() {
    for (const auto& [handle, children] : children_) {
        Node* n = tree_.find(handle);
        if (!n) continue;
        n->children.clear();
        n->children.reserve(children.size());
        for (int32_t c : children)
            if (Node* child = tree_.find(c)) {
                child->parent = n;
                n->children.push_back(child);
            }
    }
    children_.clear();
    if (top_level_copied_) {
        tree_.roots_.clear();
        for (int32_t h : top_level_)
            if (Node* n = tree_.find(h)) {
                n->parent = nullptr;
                tree_.roots_.push_back(n);
            }
        top_level_copied_ = false;
    }
}

}  // namespace tessaro::sim
