#include "records.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <utility>

namespace tessaro::lib::records {

namespace {

enum class Family { NodeInfo, JobInfo, DriverInfo, DeviceInfo, SingleDeviceInfo };

// Live records and the job node type cache. Never destroyed, so records that a
// program still holds at exit stay reachable.
struct State {
    std::mutex mu;
    std::unordered_map<const void*, Family> live;
    std::map<std::pair<HController, int>, XAL_JOBNODEINFO*> job_node_types;
    std::vector<XAL_JOBNODEINFO*> retired;
};

State& state() {
    static State* s = new State;
    return *s;
}

// Allocates record parts with malloc; a failed allocation clears ok and
// leaves a null field, which the free functions below accept.
struct Builder {
    bool ok = true;

    char* text(const std::string& s) {
        char* p = static_cast<char*>(std::malloc(s.size() + 1));
        if (p == nullptr) {
            ok = false;
            return nullptr;
        }
        std::memcpy(p, s.data(), s.size());
        p[s.size()] = '\0';
        return p;
    }

    // A list of texts; an empty list has no array.
    char** texts(const std::vector<std::string>& v) {
        if (v.empty()) return nullptr;
        char** a = zeroed<char*>(v.size());
        if (a == nullptr) return nullptr;
        for (size_t i = 0; i < v.size(); ++i) a[i] = text(v[i]);
        return a;
    }

    template <typename T>
    T* zeroed(size_t n = 1) {
        T* p = static_cast<T*>(std::calloc(n, sizeof(T)));
        if (p == nullptr) ok = false;
        return p;
    }
};

int32_t count_of(size_t n) { return static_cast<int32_t>(n); }  // bounded by the frame size

void free_texts(char** a, int32_t n) {
    if (a == nullptr) return;
    for (int32_t i = 0; i < n; ++i) std::free(a[i]);
    std::free(a);
}

void free_node(XAL_NODEINFO* p) {
    std::free(p->fullname);
    std::free(p->name);
    std::free(p->path);
    std::free(p->value);
    std::free(p->priv);
    std::free(p->unit);
    std::free(p->typestring);
    std::free(p);
}

void free_job(XAL_JOBINFO* p) {
    free_texts(p->fulljobnames, p->jobcount);
    free_texts(p->jobnames, p->jobcount);
    std::free(p->selectednode);
    std::free(p);
}

void free_driver(XAL_SINGLEDRIVERINFO* p) {
    if (p == nullptr) return;
    std::free(p->name);
    std::free(p->version);
    std::free(p->vendor);
    std::free(p->comment);
    std::free(p);
}

void free_drivers(XAL_DRIVERINFO* p) {
    if (p->driver != nullptr)
        for (int32_t i = 0; i < p->drivercount; ++i) free_driver(p->driver[i]);
    std::free(p->driver);
    std::free(p);
}

void free_device(XAL_SINGLEDEVICEINFO* p) {
    if (p == nullptr) return;
    std::free(p->name);
    std::free(p->driver);
    std::free(p->statestring);
    std::free(p->stat_str);
    std::free(p->dependenciesvarname);
    free_texts(p->dependencies, p->dependenciescount);
    free_texts(p->dependson, p->dependsoncount);
    std::free(p);
}

void free_devices(XAL_DEVICEINFO* p) {
    if (p->device != nullptr)
        for (int32_t i = 0; i < p->devicecount; ++i) free_device(p->device[i]);
    std::free(p->device);
    std::free(p);
}

void free_job_node_type(XAL_JOBNODEINFO* p) {
    std::free(p->fullname);
    std::free(p->name);
    std::free(p);
}

// A state outside the enumeration cannot be stored in the enum field; it is
// shown as the catch-all failure state.
XAL_DEVICE_STATE device_state(int32_t v) {
    if (v < XAL_DEV_UNINITIALIZED || v > XAL_DEV_UNKNOWN_FAILURE) return XAL_DEV_UNKNOWN_FAILURE;
    return static_cast<XAL_DEVICE_STATE>(v);
}

XAL_SINGLEDEVICEINFO* build_device(Builder& b, const proto::Device& v) {
    auto* p = b.zeroed<XAL_SINGLEDEVICEINFO>();
    if (p == nullptr) return nullptr;
    p->handle = v.handle;
    p->name = b.text(v.name);
    p->driver = b.text(v.driver);
    p->state = device_state(v.state);
    p->statestring = b.text(v.statestring);
    p->staticdevice = v.staticdevice;
    p->stat_n = v.stat_n;
    p->stat_str = b.text(v.stat_str);
    p->dependenciesvarname = b.text(v.dependenciesvarname);
    p->dependenciescount = count_of(v.dependencies.size());
    p->dependencies = b.texts(v.dependencies);
    p->dependsoncount = count_of(v.dependson.size());
    p->dependson = b.texts(v.dependson);
    return p;
}

// Hands out a finished record, or frees a failed one.
template <typename T>
T* finish(Builder& b, T* p, Family family, void (*release)(T*)) {
    if (p == nullptr) return nullptr;
    if (b.ok) {
        try {
            State& s = state();
            std::lock_guard<std::mutex> lk(s.mu);
            s.live.emplace(p, family);
            return p;
        } catch (const std::exception&) {
        }
    }
    release(p);
    return nullptr;
}

template <typename T>
int take_back(T* p, Family family, void (*release)(T*)) {
    if (p == nullptr) return E_INVALID;
    {
        State& s = state();
        std::lock_guard<std::mutex> lk(s.mu);
        auto it = s.live.find(p);
        if (it == s.live.end() || it->second != family) return E_INVALID;
        s.live.erase(it);
    }
    release(p);
    return E_OK;
}

bool same(const XAL_JOBNODEINFO* r, const proto::JobNodeType& v) {
    return v.fullname == r->fullname && v.name == r->name && v.usercreatable == r->usercreatable &&
           v.canmakelines == r->canmakelines && v.canpasslines == r->canpasslines &&
           v.acceptssubnodes == r->acceptssubnodes;
}

}  // namespace

XAL_NODEINFO* make(const proto::NodeInfo& v) {
    Builder b;
    auto* p = b.zeroed<XAL_NODEINFO>();
    if (p != nullptr) {
        p->handle = v.handle;
        p->nodeid = v.nodeid;
        p->fullname = b.text(v.fullname);
        p->name = b.text(v.name);
        p->path = b.text(v.path);
        p->value = b.text(v.value);
        p->priv = b.text(v.priv);
        p->unit = b.text(v.unit);
        p->type = v.type;
        p->typestring = b.text(v.typestring);
        p->min = v.min;
        p->max = v.max;
        p->index = v.index;
        p->flags = v.flags;
    }
    return finish(b, p, Family::NodeInfo, free_node);
}

XAL_JOBINFO* make(const proto::JobInfo& v) {
    Builder b;
    auto* p = b.zeroed<XAL_JOBINFO>();
    if (p != nullptr) {
        p->jobcount = count_of(v.jobnames.size());
        p->fulljobnames = b.texts(v.fulljobnames);
        p->jobnames = b.texts(v.jobnames);
        p->selectednode = b.text(v.selectednode);
    }
    return finish(b, p, Family::JobInfo, free_job);
}

XAL_DRIVERINFO* make(const std::vector<proto::Driver>& v) {
    Builder b;
    auto* p = b.zeroed<XAL_DRIVERINFO>();
    if (p != nullptr) {
        p->drivercount = count_of(v.size());
        if (!v.empty()) p->driver = b.zeroed<XAL_SINGLEDRIVERINFO*>(v.size());
        if (p->driver != nullptr)
            for (size_t i = 0; i < v.size(); ++i) {
                auto* d = b.zeroed<XAL_SINGLEDRIVERINFO>();
                p->driver[i] = d;
                if (d == nullptr) continue;
                d->name = b.text(v[i].name);
                d->version = b.text(v[i].version);
                d->vendor = b.text(v[i].vendor);
                d->comment = b.text(v[i].comment);
            }
    }
    return finish(b, p, Family::DriverInfo, free_drivers);
}

XAL_DEVICEINFO* make(const std::vector<proto::Device>& v) {
    Builder b;
    auto* p = b.zeroed<XAL_DEVICEINFO>();
    if (p != nullptr) {
        p->devicecount = count_of(v.size());
        if (!v.empty()) p->device = b.zeroed<XAL_SINGLEDEVICEINFO*>(v.size());
        if (p->device != nullptr)
            for (size_t i = 0; i < v.size(); ++i) p->device[i] = build_device(b, v[i]);
    }
    return finish(b, p, Family::DeviceInfo, free_devices);
}

XAL_SINGLEDEVICEINFO* make(const proto::Device& v) {
    Builder b;
    return finish(b, build_device(b, v), Family::SingleDeviceInfo, free_device);
}

int destroy(XAL_NODEINFO* info) { return take_back(info, Family::NodeInfo, free_node); }
int destroy(XAL_JOBINFO* info) { return take_back(info, Family::JobInfo, free_job); }
int destroy(XAL_DRIVERINFO* info) { return take_back(info, Family::DriverInfo, free_drivers); }
int destroy(XAL_DEVICEINFO* info) { return take_back(info, Family::DeviceInfo, free_devices); }
int destroy(XAL_SINGLEDEVICEINFO* info) { return take_back(info, Family::SingleDeviceInfo, free_device); }

XAL_JOBNODEINFO* job_node_type(HController hc, int position, const proto::JobNodeType& v) {
    State& s = state();
    std::lock_guard<std::mutex> lk(s.mu);
    XAL_JOBNODEINFO*& slot = s.job_node_types[{hc, position}];
    if (slot != nullptr && same(slot, v)) return slot;

    Builder b;
    auto* p = b.zeroed<XAL_JOBNODEINFO>();
    if (p == nullptr) return nullptr;
    p->fullname = b.text(v.fullname);
    p->name = b.text(v.name);
    p->usercreatable = v.usercreatable;
    p->canmakelines = v.canmakelines;
    p->canpasslines = v.canpasslines;
    p->acceptssubnodes = v.acceptssubnodes;
    if (!b.ok) {
        free_job_node_type(p);
        return nullptr;
    }
    if (slot != nullptr) {
        try {
            s.retired.push_back(slot);
        } catch (const std::exception&) {
            free_job_node_type(p);
            return nullptr;
        }
    }
    slot = p;
    return p;
}

}  // namespace tessaro::lib::records
