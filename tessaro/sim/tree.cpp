#include "tree.h"

#include <cstring>

#include <algorithm>
#include <climits>

namespace tessaro::sim {

Node* Tree::find(int32_t handle) const {
    auto it = nodes_.find(handle);
    return it == nodes_.end() ? nullptr : it->second.get();
}

Node* Tree::find(const std::string& fullname) const {
    std::vector<std::string> parts;
    if (!split_full_name(fullname, parts)) return nullptr;
    Node* n = nullptr;
    for (const auto& p : parts) {
        n = child_named(n, p);
        if (!n) return nullptr;
    }
    return n;
}

std::string Tree::full_name(const Node& n) const {
    // Sized first, then filled from its end: one allocation.
    size_t len = 0;
    for (const Node* p = &n; p; p = p->parent) len += p->name.size() + (p->parent ? 1 : 0);
    std::string out(len, '.');
    for (const Node* p = &n; p; p = p->parent) {
        len -= p->name.size();
        std::memcpy(&out[len], p->name.data(), p->name.size());
        if (p->parent) --len;
    }
    return out;
}

uint32_t Tree::index_of(const Node& n) const {
    const auto& sib = children_of(n.parent);
    auto it = std::find(sib.begin(), sib.end(), &n);
    return static_cast<uint32_t>(it - sib.begin());
}

size_t Tree::depth_of(const Node& n) const {
    size_t d = 0;
    for (const Node* p = &n; p; p = p->parent) ++d;
    return d;
}

size_t Tree::height_of(const Node& n) const {
    size_t h = 0;
    for (const Node* c : n.children) h = std::max(h, height_of(*c));
    return h + 1;
}

const std::vector<Node*>& Tree::children_of(const Node* parent) const {
    return parent ? parent->children : roots_;
}

std::vector<Node*>& Tree::siblings(Node* parent) {
    return parent ? parent->children : roots_;
}

Node* Tree::child_named(const Node* parent, const std::string& name) const {
    for (Node* c : children_of(parent))
        if (c->name == name) return c;
    return nullptr;
}

bool Tree::in_subtree(const Node* n, const Node* root) {
    for (const Node* p = n; p; p = p->parent)
        if (p == root) return true;
    return false;
}

std::vector<Node*> Tree::preorder() const {
    std::vector<Node*> out;
    std::vector<Node*> stack(roots_.rbegin(), roots_.rend());
    while (!stack.empty()) {
        Node* n = stack.back();
        stack.pop_back();
        out.push_back(n);
        stack.insert(stack.end(), n->children.rbegin(), n->children.rend());
    }
    return out;
}

Node* Tree::insert(Node* parent, std::unique_ptr<Node> n, size_t position) {
    if (next_handle_ == INT32_MAX) return nullptr;
    if (n->id != 0 && ids_.count(n->id)) return nullptr;
    if (n->id == 0) {
        while (ids_.count(next_auto_id_)) ++next_auto_id_;
        n->id = next_auto_id_++;
    }
    ids_.insert(n->id);
    n->handle = next_handle_++;
    n->parent = parent;
    Node* raw = n.get();
    nodes_[raw->handle] = std::move(n);
    auto& sib = siblings(parent);
    sib.insert(sib.begin() + static_cast<std::ptrdiff_t>(std::min(position, sib.size())), raw);
    return raw;
}

void Tree::erase(Node* n) {
    auto& sib = siblings(n->parent);
    sib.erase(std::remove(sib.begin(), sib.end(), n), sib.end());
    ids_.erase(n->id);
    nodes_.erase(n->handle);
}

void Tree::move(Node* n, Node* parent, size_t position) {
    auto& from = siblings(n->parent);
    from.erase(std::remove(from.begin(), from.end(), n), from.end());
    n->parent = parent;
    auto& to = siblings(parent);
    to.insert(to.begin() + static_cast<std::ptrdiff_t>(std::min(position, to.size())), n);
}

bool Tree::valid_name(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) return false;
    for (unsigned char c : name)
        if (c == '.' || c == ';' || c < 0x20 || c == 0x7F) return false;
    return true;
}

bool Tree::split_full_name(const std::string& fullname, std::vector<std::string>& parts) {
    parts.clear();
    size_t start = 0;
    while (true) {
        size_t dot = fullname.find('.', start);
        std::string part = fullname.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
        if (!valid_name(part)) return false;
        parts.push_back(std::move(part));
        if (parts.size() > kMaxDepth) return false;
        if (dot == std::string::npos) return true;
        start = dot + 1;
    }
}

}  // namespace tessaro::sim
