// The variable tree: folders, variables, jobs and job nodes, each with a
// handle that is never reused, its name rules and the structural changes
// (insert, erase, move) that keep every parent's child order consistent.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "plc.h"
#include "value.h"

namespace tessaro::sim {

enum class Kind { Folder, Variable, Job, JobNode };

// Longest short name, and deepest nesting (a top-level node has depth 1).
constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxDepth = 64;
// Node ids handed out automatically start above 2^32, so that clients
// that print them show all 64 bits.
constexpr int64_t kFirstAutoId = (int64_t(1) << 32) + 1;

struct Node {
    int32_t handle = -1;
    int64_t id = 0;  // 0: assign one automatically on insertion
    std::string name;
    Kind kind = Kind::Folder;
    std::string priv = "rw";
    std::string unit;
    uint32_t flags = 0;
    VarDef def;         // variables: type, limits, options
    Value value;          // variables: the committed value
    JobSettings job;      // jobs
    int jobnode_type = -1;  // job nodes: index into the machine's job node types

    Node* parent = nullptr;
    std::vector<Node*> children;

    bool writable() const { return priv.find('w') != std::string::npos; }
};

class Tree {
public:
    Tree() = default;
    Tree(Tree&&) = default;
    Tree& operator=(Tree&&) = default;

    Node* find(int32_t handle) const;
    // Looks a node up by its full dotted name; null when there is none.
    Node* find(const std::string& fullname) const;
    std::string full_name(const Node& n) const;
    // Position among the parent's (or the top level's) children.
    uint32_t index_of(const Node& n) const;
    size_t depth_of(const Node& n) const;
    size_t height_of(const Node& n) const;  // 1 for a leaf
    const std::vector<Node*>& children_of(const Node* parent) const;
    Node* child_named(const Node* parent, const std::string& name) const;
    // True when `n` is `root` or lies below it.
    static bool in_subtree(const Node* n, const Node* root);
    // Every node, parents before children, siblings in index order.
    std::vector<Node*> preorder() const;
    size_t size() const { return nodes_.size(); }

    // Adds `n` under `parent` (null: the top level) at `position` (clamped to
    // the end). Assigns the next handle, and an id when it has none. Returns
    // the node, or null when the handles are used up or the id is taken.
    Node* insert(Node* parent, std::unique_ptr<Node> n, size_t position);
    // Removes a node without children.
    void erase(Node* n);
    // Moves `n` under `parent` at `position` of the children without `n`.
    void move(Node* n, Node* parent, size_t position);
    void rename(Node* n, const std::string& name) { n->name = name; }

    // A short name is 1 to kMaxNameLength bytes without ".", ";" or control
    // characters.
    static bool valid_name(const std::string& name);
    // Splits a full name at its dots; false when any component is no valid name.
    static bool split_full_name(const std::string& fullname, std::vector<std::string>& parts);

private:
    friend class MachineMirror;  // builds a copy of a tree piece by piece
    std::vector<Node*>& siblings(Node* parent);

    std::unordered_map<int32_t, std::unique_ptr<Node>> nodes_;
    std::vector<Node*> roots_;
    std::set<int64_t> ids_;
    int32_t next_handle_ = 1;
    int64_t next_auto_id_ = kFirstAutoId;
};

}  // namespace tessaro::sim
