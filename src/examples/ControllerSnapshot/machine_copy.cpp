#include "machine_copy.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

#include "text/json_text.h"

namespace snapshot {

using tessaro::text::is_utf8;

namespace {

constexpr size_t kProgressEvery = 1000;
// Deeper than any tree a controller holds; ends the climb to the top level
// should a library ever report a cycle of parents.
constexpr size_t kMaxLevels = 256;

std::string text(const char* s) { return s ? s : ""; }

void report(const std::string& what, const char* why) {
    std::fprintf(stderr, "controllerSnapshot: %s: %s\n", what.c_str(), why);
}

bool all_utf8(std::initializer_list<const std::string*> texts) {
    for (const std::string* t : texts)
        if (!is_utf8(*t)) return false;
    return true;
}

std::string hex(const std::vector<unsigned char>& bytes) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

// The node named `fullname`, searched from `level` down; null when absent.
const NodeCopy* find(const std::vector<NodeCopy>& level, const std::string& fullname) {
    for (const NodeCopy& n : level) {
        if (n.fullname == fullname) return &n;
        if (fullname.compare(0, n.fullname.size() + 1, n.fullname + ".") == 0) return find(n.children, fullname);
    }
    return nullptr;
}

class Copier {
public:
    Copier(HController hc, bool progress, MachineCopy& m) : hc_(hc), progress_(progress), m_(m) {}
    ~Copier() {
        if (collection_ != -1) DestroyNodeObjectCollection(hc_, collection_);
    }
    Copier(const Copier&) = delete;
    Copier& operator=(const Copier&) = delete;

    void job_node_types();
    void plc_state();
    // Adds the job names and the selected node's name to `roots`.
    void jobs(std::vector<std::string>& roots);
    void add_root(const std::string& name);
    void drivers();
    void devices();
    void note_shifted_indexes(const std::vector<NodeCopy>& level);

private:
    bool read_node(HNodeObject h, Kind parent, const std::string& label, NodeCopy& out);
    bool read_bin(HNodeObject h, std::string& out);
    bool child_handles(const NodeCopy& n, std::vector<HNodeObject>& out);
    void walk(NodeCopy& n);
    void left_out(const std::string& what, const char* why) {
        report(what, why);
        ++m_.left_out;
    }

    HController hc_;
    bool progress_;
    MachineCopy& m_;
    HNodeObjectCollection collection_ = -1;
};

void Copier::job_node_types() {
    int count = 0;
    if (GetJobNodeTypesCount(hc_, &count) != E_OK) return left_out("job node types", "cannot be counted; left out");
    ++m_.records_read;
    std::set<std::string> names, fullnames;
    for (int i = 0; i < count; ++i) {
        std::string label = "job node type " + std::to_string(i);
        const XAL_JOBNODEINFO* t = GetJobNodeTypeInfo(hc_, i);  // stays the library's
        if (!t) {
            left_out(label, "cannot be read; left out");
            continue;
        }
        JobNodeTypeCopy c{text(t->fullname), text(t->name), t->usercreatable != 0, t->canmakelines != 0,
                          t->canpasslines != 0, t->acceptssubnodes != 0};
        if (c.name.empty() || !all_utf8({&c.name, &c.fullname}) || !names.insert(c.name).second ||
            !fullnames.insert(c.fullname).second) {
            left_out(label, "has an empty, repeated or non-UTF-8 name; left out");
            continue;
        }
        m_.job_node_types.push_back(std::move(c));
    }
}

void Copier::plc_state() {
    unsigned int state = 0, reserved = 0;
    if (GetPLCState(hc_, &state, &reserved) != E_OK) return left_out("PLC state", "cannot be read; left out");
    m_.have_plc = true;
    m_.plc_word = state;
    ++m_.records_read;
}

void Copier::jobs(std::vector<std::string>& roots) {
    XAL_JOBINFO* info = GetJobInfo(hc_);
    if (!info || (info->jobcount > 0 && !info->fulljobnames)) {
        if (info) DestroyJobInfo(info);
        return left_out("job list", "cannot be read; the jobs and the selection left out");
    }
    ++m_.records_read;
    for (int32_t i = 0; i < info->jobcount; ++i) roots.push_back(text(info->fulljobnames[i]));
    m_.selected = text(info->selectednode);
    if (!m_.selected.empty()) roots.push_back(m_.selected);
    DestroyJobInfo(info);
}

bool Copier::read_bin(HNodeObject h, std::string& out) {
    int len = GetNodeValueBinCopyLen(hc_, h);
    if (len < 0) return false;
    std::vector<unsigned char> bytes(static_cast<size_t>(len));
    if (len > 0 && GetNodeValueBinCopy(hc_, h, bytes.data(), len) != E_OK) return false;
    out = hex(bytes);
    return true;
}

bool Copier::read_node(HNodeObject h, Kind parent, const std::string& label, NodeCopy& out) {
    ReadNode(hc_, h);  // fetches the node afresh; a failure shows in GetNodeInfo
    XAL_NODEINFO* info = GetNodeInfo(hc_, h);
    if (!info) {
        left_out(label, "cannot be read; left out");
        return false;
    }
    NodeCopy& n = out;
    n.handle = h;
    n.fullname = text(info->fullname);
    n.name = text(info->name);
    n.priv = text(info->priv);
    n.unit = text(info->unit);
    n.value = text(info->value);
    std::string typestring = text(info->typestring);
    n.type = info->type;
    n.id = info->nodeid;
    n.min = info->min;
    n.max = info->max;
    n.index = info->index;
    n.flags = info->flags;
    DestroyNodeInfo(info);

    const std::string& what = n.fullname.empty() ? label : n.fullname;
    if (!all_utf8({&n.fullname, &n.name, &n.priv, &n.unit, &n.value, &typestring}))
        return left_out(what, "holds text that is not UTF-8; left out"), false;
    if (n.type == VT_JOB) {
        n.kind = Kind::Job;
    } else if (n.type >= VT_I32 && n.type <= VT_FILE) {
        n.kind = Kind::Variable;
        if (!std::isfinite(n.min) || !std::isfinite(n.max) || n.min > n.max)
            return left_out(what, "has limits a scenario cannot hold; left out"), false;
        if (n.type == VT_BIN && !read_bin(h, n.value))
            return left_out(what, "binary value cannot be read; left out"), false;
    } else if (n.type == VT_INV) {
        n.kind = parent == Kind::Job || parent == Kind::JobNode ? Kind::JobNode : Kind::Folder;
    } else {
        return left_out(what, "has an unknown type; left out"), false;
    }
    if (n.kind == Kind::JobNode) {
        // The record names the job node type by its short name.
        for (const auto& t : m_.job_node_types)
            if (t.name == typestring) n.nodetype = t.fullname;
        if (n.nodetype.empty()) return left_out(what, "is of a job node type that is not copied; left out"), false;
    }
    ++m_.nodes_read;
    if (progress_ && m_.nodes_read % kProgressEvery == 0)
        std::fprintf(stderr, "controllerSnapshot: %zu nodes read\n", m_.nodes_read);
    return true;
}

bool Copier::child_handles(const NodeCopy& n, std::vector<HNodeObject>& out) {
    if (collection_ == -1) collection_ = CreateNodeObjectCollection(hc_);
    int count = 0;
    if (collection_ == -1 || GetSubnodes(hc_, n.handle, collection_) != E_OK ||
        GetNodeObjectCount(hc_, collection_, &count) != E_OK)
        return false;
    for (int i = 0; i < count; ++i) {
        HNodeObject child = -1;
        if (GetNodeObjectAtIndex(hc_, collection_, i, &child) == E_OK)
            out.push_back(child);
        else
            left_out("child " + std::to_string(i + 1) + " of " + n.fullname, "cannot be fetched; left out");
    }
    return true;
}

void Copier::walk(NodeCopy& n) {
    n.walked = true;
    // Children placed earlier as parents of other copied nodes are read again
    // with all their siblings.
    n.children.clear();
    if (n.kind == Kind::Variable) return;
    std::vector<HNodeObject> handles;
    if (!child_handles(n, handles)) return left_out(n.fullname, "children cannot be listed; copied without them");
    for (size_t i = 0; i < handles.size(); ++i) {
        NodeCopy c;
        if (!read_node(handles[i], n.kind, "child " + std::to_string(i + 1) + " of " + n.fullname, c)) continue;
        walk(c);
        n.children.push_back(std::move(c));
    }
}

void Copier::add_root(const std::string& name) {
    HNodeObject h = GetNode(hc_, name.c_str());
    if (h == -1) return left_out(name, "no such node");
    // The node and its parents, top level first: a scenario holds nodes by
    // their place in the tree.
    std::vector<HNodeObject> chain{h};
    for (HNodeObject p = GetParentNode(hc_, h); p != -1 && chain.size() < kMaxLevels; p = GetParentNode(hc_, p))
        chain.push_back(p);
    std::reverse(chain.begin(), chain.end());

    std::vector<NodeCopy>* level = &m_.nodes;
    Kind parent = Kind::Folder;
    for (size_t k = 0; k < chain.size(); ++k) {
        bool last = k + 1 == chain.size();
        auto it = std::find_if(level->begin(), level->end(), [&](const NodeCopy& n) { return n.handle == chain[k]; });
        if (it == level->end()) {
            NodeCopy c;
            if (!read_node(chain[k], parent, last ? name : "a parent of " + name, c)) return;
            // Siblings stay in index order, whatever order they are named in.
            it = std::upper_bound(level->begin(), level->end(), c.index,
                                  [](uint32_t index, const NodeCopy& n) { return index < n.index; });
            it = level->insert(it, std::move(c));
        } else if (it->walked) {
            return;  // inside a subtree copied already
        }
        if (last) return walk(*it);
        parent = it->kind;
        level = &it->children;
    }
}

void Copier::drivers() {
    XAL_DRIVERINFO* info = GetDriverInfo(hc_);
    if (!info || (info->drivercount > 0 && !info->driver)) {
        if (info) DestroyDriverInfo(info);
        return left_out("driver list", "cannot be read; left out");
    }
    ++m_.records_read;
    std::set<std::string> names;
    for (int32_t i = 0; i < info->drivercount; ++i) {
        const XAL_SINGLEDRIVERINFO* d = info->driver[i];
        DriverCopy c;
        if (d) c = {text(d->name), text(d->version), text(d->vendor), text(d->comment)};
        if (!d || c.name.empty() || !all_utf8({&c.name, &c.version, &c.vendor, &c.comment}) ||
            !names.insert(c.name).second) {
            left_out("driver " + std::to_string(i), "is missing or has an empty, repeated or non-UTF-8 name; left out");
            continue;
        }
        m_.drivers.push_back(std::move(c));
    }
    DestroyDriverInfo(info);
}

void Copier::devices() {
    XAL_DEVICEINFO* info = GetAllDeviceInfo(hc_);
    if (!info || (info->devicecount > 0 && !info->device)) {
        if (info) DestroyDeviceInfo(info);
        return left_out("device list", "cannot be read; left out");
    }
    ++m_.records_read;
    auto names_of = [](int32_t count, char** list, std::vector<std::string>& out) {
        if (count > 0 && !list) return false;
        for (int32_t i = 0; i < count; ++i) out.push_back(text(list[i]));
        return true;
    };
    std::set<std::string> drivers, names;
    std::set<int32_t> handles;
    for (const auto& d : m_.drivers) drivers.insert(d.name);
    for (int32_t i = 0; i < info->devicecount; ++i) {
        const XAL_SINGLEDEVICEINFO* d = info->device[i];
        std::string label = "device " + std::to_string(i);
        DeviceCopy c;
        bool ok = d != nullptr;
        if (ok) {
            c.handle = d->handle;
            c.name = text(d->name);
            c.driver = text(d->driver);
            c.state = d->state;
            c.statestring = text(d->statestring);
            c.is_static = d->staticdevice != 0;
            c.stat_n = d->stat_n;
            c.stat_str = text(d->stat_str);
            c.dependencies_var = text(d->dependenciesvarname);
            ok = names_of(d->dependenciescount, d->dependencies, c.dependencies) &&
                 names_of(d->dependsoncount, d->dependson, c.dependson);
            for (const auto& s : c.dependencies) ok = ok && is_utf8(s);
            for (const auto& s : c.dependson) ok = ok && is_utf8(s);
            ok = ok && all_utf8({&c.name, &c.driver, &c.statestring, &c.stat_str, &c.dependencies_var});
            if (!c.name.empty()) label = c.name;
        }
        if (!ok || c.name.empty() || c.handle < 1 || c.state < XAL_DEV_UNINITIALIZED ||
            c.state > XAL_DEV_UNKNOWN_FAILURE || !handles.insert(c.handle).second || !names.insert(c.name).second) {
            left_out(label, "cannot be read or has a name, handle or state a scenario cannot hold; left out");
            continue;
        }
        if (!drivers.count(c.driver)) {
            left_out(label, "is served by a driver that is not copied; left out");
            continue;
        }
        m_.devices.push_back(std::move(c));
    }
    DestroyDeviceInfo(info);

    // A scenario's device lists name copied devices only, never the device itself.
    std::set<std::string> kept;
    for (const auto& d : m_.devices) kept.insert(d.name);
    for (auto& d : m_.devices) {
        for (auto* list : {&d.dependencies, &d.dependson}) {
            auto gone = [&](const std::string& n) {
                if (kept.count(n) && n != d.name) return false;
                left_out(d.name, ("names the device '" + n + "', which is not copied; the name left out").c_str());
                return true;
            };
            list->erase(std::remove_if(list->begin(), list->end(), gone), list->end());
        }
    }
}

void Copier::note_shifted_indexes(const std::vector<NodeCopy>& level) {
    for (size_t i = 0; i < level.size(); ++i) {
        const NodeCopy& n = level[i];
        if (n.index != i)
            std::fprintf(stderr, "controllerSnapshot: %s: index %lu becomes %zu (its earlier siblings are not copied)\n",
                         n.fullname.c_str(), static_cast<unsigned long>(n.index), i);
        // Below a whole copied subtree a shift follows from a child reported left out.
        if (!n.walked) note_shifted_indexes(n.children);
    }
}

}  // namespace

MachineCopy copy_machine(HController HC, const std::vector<std::string>& roots, bool progress) {
    MachineCopy m;
    Copier c(HC, progress, m);
    c.job_node_types();
    c.plc_state();
    std::vector<std::string> names = roots;
    c.jobs(names);
    for (const auto& name : names) c.add_root(name);
    if (!m.selected.empty() && !find(m.nodes, m.selected)) {
        report(m.selected, "selected node not copied; the selection left out");
        m.selected.clear();
    }
    c.note_shifted_indexes(m.nodes);
    c.drivers();
    c.devices();
    return m;
}

}  // namespace snapshot
