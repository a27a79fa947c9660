/*
 * fake_tessaro.cpp - the recording fake of libtessaro (see fake_tessaro.h).
 */
#include "fake_tessaro.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>

namespace fake {

namespace {

enum class Kind { None, NodeInfo, JobInfo, JobNodeInfo, DriverInfo, DeviceInfo, DeviceEntry };

const char* kindName(Kind k)
{
    switch (k) {
    case Kind::None: return "none";
    case Kind::NodeInfo: return "XAL_NODEINFO";
    case Kind::JobInfo: return "XAL_JOBINFO";
    case Kind::JobNodeInfo: return "XAL_JOBNODEINFO";
    case Kind::DriverInfo: return "XAL_DRIVERINFO";
    case Kind::DeviceInfo: return "XAL_DEVICEINFO";
    case Kind::DeviceEntry: return "XAL_SINGLEDEVICEINFO";
    }
    return "?";
}

/* The Destroy operation of each kind; empty for kinds without one. */
const char* destroyOf(Kind k)
{
    switch (k) {
    case Kind::NodeInfo: return "DestroyNodeInfo";
    case Kind::JobInfo: return "DestroyJobInfo";
    case Kind::DriverInfo: return "DestroyDriverInfo";
    case Kind::DeviceInfo: return "DestroyDeviceInfo";
    case Kind::DeviceEntry: return "DestroySingleDeviceInfo";
    default: return "";
    }
}

/* Every operation of xal_tessaro.h, with the kind of record it hands out. */
const std::map<std::string, Kind>& operations()
{
    static const std::map<std::string, Kind> ops = {
        {"DetectRemoteController", Kind::None},
        {"GetNode", Kind::None},
        {"GetParentNode", Kind::None},
        {"ReadNode", Kind::None},
        {"GetNodeInfo", Kind::NodeInfo},
        {"DestroyNodeInfo", Kind::None},
        {"GetNodeValueStringLen", Kind::None},
        {"GetNodeValueString", Kind::None},
        {"GetNodeValueBinCopyLen", Kind::None},
        {"GetNodeValueBinCopy", Kind::None},
        {"SetNodeValueString", Kind::None},
        {"WriteNodeSync", Kind::None},
        {"GetNodeNameLen", Kind::None},
        {"GetNodeName", Kind::None},
        {"CreateNodeOnController", Kind::None},
        {"CreateJobNodeOnController", Kind::None},
        {"DeleteSingleNodeOnController", Kind::None},
        {"RenameNode", Kind::None},
        {"MoveSubtree", Kind::None},
        {"CreateNodeObjectCollection", Kind::None},
        {"GetSubnodes", Kind::None},
        {"GetNodeObjectCount", Kind::None},
        {"GetNodeObjectAtIndex", Kind::None},
        {"DestroyNodeObjectCollection", Kind::None},
        {"GetJobInfo", Kind::JobInfo},
        {"DestroyJobInfo", Kind::None},
        {"GetJobNamesLen", Kind::None},
        {"GetJobNames", Kind::None},
        {"SelectNode", Kind::None},
        {"JobStart", Kind::None},
        {"GetJobNodeTypesCount", Kind::None},
        {"GetJobNodeTypeInfo", Kind::JobNodeInfo},
        {"GetPLCState", Kind::None},
        {"RegisterOnPLCChanged", Kind::None},
        {"UnregisterOnPLCChanged", Kind::None},
        {"GetDriverInfo", Kind::DriverInfo},
        {"GetAllDeviceInfo", Kind::DeviceInfo},
        {"GetDeviceInfo", Kind::DeviceEntry},
        {"DestroyDriverInfo", Kind::None},
        {"DestroyDeviceInfo", Kind::None},
        {"DestroySingleDeviceInfo", Kind::None},
        {"GetSystemMessageXMLLen", Kind::None},
        {"GetSystemMessageXML", Kind::None},
    };
    return ops;
}

/* A record handed out, with every block allocated for it. */
struct Issued {
    Kind kind = Kind::None;
    std::string issuer;
    const void* ptr = nullptr;
    std::vector<void*> blocks;
    std::vector<std::string> destroyedThrough;
    bool freed = false;
};

void freeBlocks(Issued& rec)
{
    if (rec.freed) {
        return;
    }
    for (void* b : rec.blocks) {
        free(b);
    }
    rec.blocks.clear();
    rec.freed = true;
}

struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::map<std::string, Script> scripts;
    std::vector<Call> log;
    std::vector<Issued> issued;
    std::vector<std::string> foreignDestroys;

    /* PLC registration; `delivery` serialises deliveries with unregistration. */
    std::recursive_mutex delivery;
    bool plcRegistered = false;
    HController plcHC = -1;
    XAL_PLC_CHANGED_CALLBACK plcRegisteredHandler = nullptr;
    XAL_PLC_CHANGED_CALLBACK plcLastHandler = nullptr;

    State()
    {
        for (const auto& op : operations()) {
            scripts[op.first];
        }
    }
    ~State()
    {
        for (Issued& rec : issued) {
            freeBlocks(rec);
        }
    }
};

State& state()
{
    static State s;
    return s;
}

/* Builds the C records of a scripted description in separate malloc blocks. */
struct Builder {
    std::vector<void*> blocks;

    template <class T> T* alloc(size_t n = 1)
    {
        void* p = calloc(n, sizeof(T));
        if (!p) {
            throw std::bad_alloc();
        }
        blocks.push_back(p);
        return static_cast<T*>(p);
    }

    char* str(const Text& t)
    {
        if (t.isNull()) {
            return nullptr;
        }
        char* p = alloc<char>(t.str().size() + 1);
        memcpy(p, t.str().data(), t.str().size());
        return p;
    }

    static size_t slots(size_t listSize, int32_t count)
    {
        return std::max(listSize, count > 0 ? static_cast<size_t>(count) : size_t{0});
    }

    char** strs(const std::vector<Text>& list, int32_t count)
    {
        if (list.empty()) {
            return nullptr;
        }
        size_t n = slots(list.size(), count);
        char** arr = alloc<char*>(n);
        for (size_t i = 0; i < list.size(); ++i) {
            arr[i] = str(list[i]);
        }
        return arr;
    }

    XAL_SINGLEDEVICEINFO* device(const DeviceEntry& d)
    {
        auto* r = alloc<XAL_SINGLEDEVICEINFO>();
        r->handle = d.handle;
        r->name = str(d.name);
        r->driver = str(d.driver);
        r->state = d.state;
        r->statestring = str(d.statestring);
        r->staticdevice = d.staticdevice;
        r->stat_n = d.stat_n;
        r->stat_str = str(d.stat_str);
        r->dependenciesvarname = str(d.dependenciesvarname);
        r->dependenciescount = d.dependenciescount.value_or(static_cast<int32_t>(d.dependencies.size()));
        r->dependencies = strs(d.dependencies, r->dependenciescount);
        r->dependsoncount = d.dependsoncount.value_or(static_cast<int32_t>(d.dependson.size()));
        r->dependson = strs(d.dependson, r->dependsoncount);
        return r;
    }

    void* build(const Record& rec)
    {
        if (const auto* n = std::get_if<NodeInfo>(&rec)) {
            auto* r = alloc<XAL_NODEINFO>();
            r->handle = n->handle;
            r->nodeid = n->nodeid;
            r->fullname = str(n->fullname);
            r->name = str(n->name);
            r->path = str(n->path);
            r->value = str(n->value);
            r->priv = str(n->priv);
            r->unit = str(n->unit);
            r->type = n->type;
            r->typestring = str(n->typestring);
            r->min = n->min;
            r->max = n->max;
            r->index = n->index;
            r->flags = n->flags;
            return r;
        }
        if (const auto* j = std::get_if<JobInfo>(&rec)) {
            auto* r = alloc<XAL_JOBINFO>();
            r->jobcount = j->jobcount.value_or(
                static_cast<int32_t>(std::max(j->fulljobnames.size(), j->jobnames.size())));
            r->fulljobnames = strs(j->fulljobnames, r->jobcount);
            r->jobnames = strs(j->jobnames, r->jobcount);
            r->selectednode = str(j->selectednode);
            return r;
        }
        if (const auto* t = std::get_if<JobNodeInfo>(&rec)) {
            auto* r = alloc<XAL_JOBNODEINFO>();
            r->fullname = str(t->fullname);
            r->name = str(t->name);
            r->usercreatable = t->usercreatable;
            r->canmakelines = t->canmakelines;
            r->canpasslines = t->canpasslines;
            r->acceptssubnodes = t->acceptssubnodes;
            return r;
        }
        if (const auto* d = std::get_if<DriverInfo>(&rec)) {
            auto* r = alloc<XAL_DRIVERINFO>();
            r->drivercount = d->drivercount.value_or(static_cast<int32_t>(d->drivers.size()));
            if (!d->drivers.empty()) {
                r->driver = alloc<XAL_SINGLEDRIVERINFO*>(slots(d->drivers.size(), r->drivercount));
                for (size_t i = 0; i < d->drivers.size(); ++i) {
                    if (!d->drivers[i]) {
                        continue;
                    }
                    auto* e = alloc<XAL_SINGLEDRIVERINFO>();
                    e->name = str(d->drivers[i]->name);
                    e->version = str(d->drivers[i]->version);
                    e->vendor = str(d->drivers[i]->vendor);
                    e->comment = str(d->drivers[i]->comment);
                    r->driver[i] = e;
                }
            }
            return r;
        }
        if (const auto* d = std::get_if<DeviceInfo>(&rec)) {
            auto* r = alloc<XAL_DEVICEINFO>();
            r->devicecount = d->devicecount.value_or(static_cast<int32_t>(d->devices.size()));
            if (!d->devices.empty()) {
                r->device = alloc<XAL_SINGLEDEVICEINFO*>(slots(d->devices.size(), r->devicecount));
                for (size_t i = 0; i < d->devices.size(); ++i) {
                    if (d->devices[i]) {
                        r->device[i] = device(*d->devices[i]);
                    }
                }
            }
            return r;
        }
        if (const auto* d = std::get_if<DeviceEntry>(&rec)) {
            return device(*d);
        }
        return nullptr;
    }
};

Kind kindOf(const Record& rec)
{
    switch (rec.index()) {
    case 1: return Kind::NodeInfo;
    case 2: return Kind::JobInfo;
    case 3: return Kind::JobNodeInfo;
    case 4: return Kind::DriverInfo;
    case 5: return Kind::DeviceInfo;
    case 6: return Kind::DeviceEntry;
    default: return Kind::None;
    }
}

} // namespace

/* Reaches the private parts of Script for the operations. */
struct Access {
    /* Records the call and picks its answer (running a custom function outside the lock). */
    static Answer answer(const Call& call)
    {
        State& s = state();
        AnswerFn fn;
        Answer a;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            s.log.push_back(call);
            Script& sc = s.scripts.at(call.op);
            if (sc.fn_) {
                fn = sc.fn_;
            } else if (sc.next_ < sc.seq_.size()) {
                a = sc.seq_[sc.next_++];
            } else {
                a = sc.def_;
            }
        }
        s.cv.notify_all();
        if (fn) {
            a = fn(call);
        }
        return a;
    }

    static void clear(Script& sc) { sc = Script(); }
};

namespace {

template <class T> void writeOut(const Answer& a, size_t k, T* p)
{
    if (p && k < a.outs.size()) {
        *p = static_cast<T>(a.outs[k]);
    }
}

void fillBuffer(const Answer& a, void* buffer, int size)
{
    if (!buffer || size <= 0) {
        return;
    }
    auto* out = static_cast<unsigned char*>(buffer);
    if (a.fillText) {
        size_t n = std::min(a.fillText->size(), static_cast<size_t>(size) - 1);
        memcpy(out, a.fillText->data(), n);
        out[n] = '\0';
    }
    if (a.fillBytes) {
        size_t n = std::min(a.fillBytes->size(), static_cast<size_t>(size));
        memcpy(out, a.fillBytes->data(), n);
    }
}

/* Hands out the record of an answer for operation `op`, tracking it. */
void* issue(const std::string& op, const Answer& a)
{
    Kind want = operations().at(op);
    Kind got = kindOf(a.record);
    if (got == Kind::None) {
        return nullptr;
    }
    if (got != want) {
        ADD_FAILURE() << "fake: " << op << " was scripted to hand out a " << kindName(got) << ", it hands out "
                      << kindName(want) << " records";
        return nullptr;
    }
    Builder b;
    void* rec = b.build(a.record);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    Issued entry;
    entry.kind = got;
    entry.issuer = op;
    entry.ptr = rec;
    entry.blocks = std::move(b.blocks);
    s.issued.push_back(std::move(entry));
    return rec;
}

/* Gives a record back through Destroy operation `op`: freed when it is of the right family. */
int destroy(const char* op, const void* rec)
{
    Call c;
    c.op = op;
    c.ptrs = {rec};
    Answer a = Access::answer(c);
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    /* The latest record at that address: an earlier one may have been freed and its address reused. */
    auto it = std::find_if(s.issued.rbegin(), s.issued.rend(), [&](const Issued& r) { return r.ptr == rec; });
    if (!rec || it == s.issued.rend()) {
        std::ostringstream why;
        why << op << "(" << rec << ") got a pointer that the fake did not hand out";
        s.foreignDestroys.push_back(why.str());
        return static_cast<int>(a.result);
    }
    it->destroyedThrough.push_back(op);
    if (destroyOf(it->kind) == std::string(op)) {
        freeBlocks(*it);
    }
    return static_cast<int>(a.result);
}

Call makeCall(const char* op, std::vector<long long> ints, std::vector<const char*> texts = {},
              std::vector<const void*> ptrs = {})
{
    Call c;
    c.op = op;
    c.ints = std::move(ints);
    for (const char* t : texts) {
        c.texts.push_back(t ? std::optional<std::string>(t) : std::nullopt);
    }
    c.ptrs = std::move(ptrs);
    return c;
}

/* An operation with an int result and no out-params or buffers. */
int plain(const char* op, std::vector<long long> ints, std::vector<const char*> texts = {})
{
    return static_cast<int>(Access::answer(makeCall(op, std::move(ints), std::move(texts))).result);
}

/* An operation that fills the caller's buffer. */
int withBuffer(const char* op, std::vector<long long> ints, void* buffer, int size)
{
    Answer a = Access::answer(makeCall(op, std::move(ints), {}, {buffer}));
    fillBuffer(a, buffer, size);
    return static_cast<int>(a.result);
}

/* An operation with one int out-param. */
template <class T> int withOut(const char* op, std::vector<long long> ints, T* out)
{
    Call c = makeCall(op, std::move(ints), {}, {out});
    if (out) {
        c.outsAtEntry.push_back(*out);
    }
    Answer a = Access::answer(c);
    writeOut(a, 0, out);
    return static_cast<int>(a.result);
}

/* An operation that hands out a record. */
void* withRecord(const char* op, std::vector<long long> ints)
{
    Answer a = Access::answer(makeCall(op, std::move(ints)));
    return issue(op, a);
}

} // namespace

/* ---- Scripts ---------------------------------------------------------------- */

Script& Script::always(Answer a)
{
    std::lock_guard<std::mutex> lock(state().mu);
    fn_ = nullptr;
    def_ = std::move(a);
    return *this;
}

Script& Script::then(Answer a)
{
    std::lock_guard<std::mutex> lock(state().mu);
    fn_ = nullptr;
    seq_.push_back(std::move(a));
    return *this;
}

Script& Script::sequence(std::vector<Answer> as)
{
    std::lock_guard<std::mutex> lock(state().mu);
    fn_ = nullptr;
    for (Answer& a : as) {
        seq_.push_back(std::move(a));
    }
    return *this;
}

Script& Script::custom(AnswerFn fn)
{
    std::lock_guard<std::mutex> lock(state().mu);
    fn_ = std::move(fn);
    return *this;
}

Script& on(const std::string& op)
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    auto it = s.scripts.find(op);
    if (it == s.scripts.end()) {
        throw std::invalid_argument("fake::on: no operation named " + op);
    }
    return it->second;
}

AnswerFn byText(size_t k, std::map<std::string, Answer> map, Answer otherwise)
{
    return [k, map = std::move(map), otherwise = std::move(otherwise)](const Call& c) {
        if (k < c.texts.size() && c.texts[k]) {
            auto it = map.find(*c.texts[k]);
            if (it != map.end()) {
                return it->second;
            }
        }
        return otherwise;
    };
}

AnswerFn byInt(size_t k, std::map<long long, Answer> map, Answer otherwise)
{
    return [k, map = std::move(map), otherwise = std::move(otherwise)](const Call& c) {
        if (k < c.ints.size()) {
            auto it = map.find(c.ints[k]);
            if (it != map.end()) {
                return it->second;
            }
        }
        return otherwise;
    };
}

/* ---- Reset and queries ------------------------------------------------------ */

void reset()
{
    State& s = state();
    std::lock_guard<std::recursive_mutex> deliveryLock(s.delivery);
    std::lock_guard<std::mutex> lock(s.mu);
    for (auto& sc : s.scripts) {
        Access::clear(sc.second);
    }
    s.log.clear();
    for (Issued& rec : s.issued) {
        freeBlocks(rec);
    }
    s.issued.clear();
    s.foreignDestroys.clear();
    s.plcRegistered = false;
    s.plcHC = -1;
    s.plcRegisteredHandler = nullptr;
    s.plcLastHandler = nullptr;
}

std::vector<Call> calls()
{
    std::lock_guard<std::mutex> lock(state().mu);
    return state().log;
}

std::vector<Call> calls(const std::string& op)
{
    std::lock_guard<std::mutex> lock(state().mu);
    std::vector<Call> out;
    for (const Call& c : state().log) {
        if (c.op == op) {
            out.push_back(c);
        }
    }
    return out;
}

size_t count(const std::string& op)
{
    std::lock_guard<std::mutex> lock(state().mu);
    const auto& log = state().log;
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const Call& c) { return c.op == op; }));
}

std::vector<std::string> ops()
{
    std::lock_guard<std::mutex> lock(state().mu);
    std::vector<std::string> out;
    for (const Call& c : state().log) {
        out.push_back(c.op);
    }
    return out;
}

bool waitForCalls(const std::string& op, size_t n, std::chrono::milliseconds timeout)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mu);
    return s.cv.wait_for(lock, timeout, [&] {
        return static_cast<size_t>(
                   std::count_if(s.log.begin(), s.log.end(), [&](const Call& c) { return c.op == op; })) >= n;
    });
}

/* ---- Records ------------------------------------------------------------------ */

::testing::AssertionResult recordsGivenBackOnce()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mu);
    std::ostringstream why;
    bool ok = true;
    for (const Issued& rec : s.issued) {
        std::string want = destroyOf(rec.kind);
        if (want.empty()) {
            if (!rec.destroyedThrough.empty()) {
                ok = false;
                why << "\n  a " << kindName(rec.kind) << " from " << rec.issuer << " was given to "
                    << rec.destroyedThrough.front() << ", it has no Destroy";
            }
            continue;
        }
        if (rec.destroyedThrough.empty()) {
            ok = false;
            why << "\n  a " << kindName(rec.kind) << " from " << rec.issuer << " was never given back";
            continue;
        }
        if (rec.destroyedThrough.size() > 1) {
            ok = false;
            why << "\n  a " << kindName(rec.kind) << " from " << rec.issuer << " was given back "
                << rec.destroyedThrough.size() << " times";
        }
        for (const std::string& through : rec.destroyedThrough) {
            if (through != want) {
                ok = false;
                why << "\n  a " << kindName(rec.kind) << " from " << rec.issuer << " was given to " << through
                    << " instead of " << want;
            }
        }
    }
    for (const std::string& f : s.foreignDestroys) {
        ok = false;
        why << "\n  " << f;
    }
    if (ok) {
        return ::testing::AssertionSuccess() << s.issued.size() << " records, all given back once";
    }
    return ::testing::AssertionFailure() << "records not given back properly:" << why.str();
}

size_t recordsIssued()
{
    std::lock_guard<std::mutex> lock(state().mu);
    return state().issued.size();
}

size_t recordsOutstanding()
{
    std::lock_guard<std::mutex> lock(state().mu);
    size_t n = 0;
    for (const Issued& rec : state().issued) {
        if (*destroyOf(rec.kind) != '\0' && rec.destroyedThrough.empty()) {
            ++n;
        }
    }
    return n;
}

/* ---- PLC-change notifications --------------------------------------------------- */

bool plcRegistered()
{
    std::lock_guard<std::mutex> lock(state().mu);
    return state().plcRegistered;
}

XAL_PLC_CHANGED_CALLBACK plcHandler()
{
    std::lock_guard<std::mutex> lock(state().mu);
    return state().plcLastHandler;
}

bool deliverPlcChange(unsigned int value, unsigned int reserved, int* handlerResult)
{
    State& s = state();
    std::lock_guard<std::recursive_mutex> deliveryLock(s.delivery);
    XAL_PLC_CHANGED_CALLBACK handler = nullptr;
    HController hc = -1;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.plcRegistered || !s.plcRegisteredHandler) {
            return false;
        }
        handler = s.plcRegisteredHandler;
        hc = s.plcHC;
    }
    int r = handler(hc, value, reserved);
    if (handlerResult) {
        *handlerResult = r;
    }
    return true;
}

bool waitForPlcRegistration(std::chrono::milliseconds timeout)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mu);
    return s.cv.wait_for(lock, timeout, [&] { return s.plcRegistered; });
}

PlcNotifier::PlcNotifier(std::vector<unsigned int> values, std::chrono::milliseconds gap,
                         std::chrono::milliseconds timeout)
{
    thread_ = std::thread([this, values = std::move(values), gap, timeout] {
        if (!waitForPlcRegistration(timeout)) {
            return;
        }
        for (unsigned int v : values) {
            std::this_thread::sleep_for(gap);
            if (deliverPlcChange(v)) {
                ++delivered_;
            }
        }
    });
}

PlcNotifier::~PlcNotifier()
{
    join();
}

void PlcNotifier::join()
{
    if (thread_.joinable()) {
        thread_.join();
    }
}

} // namespace fake

/* ---- The operations ------------------------------------------------------------- */

using fake::Access;
using fake::Answer;

extern "C" {

HController DetectRemoteController(const char* address, int port)
{
    return fake::plain("DetectRemoteController", {port}, {address});
}

HNodeObject GetNode(HController HC, const char* fullname)
{
    return fake::plain("GetNode", {HC}, {fullname});
}

HNodeObject GetParentNode(HController HC, HNodeObject HNO)
{
    return fake::plain("GetParentNode", {HC, HNO});
}

int ReadNode(HController HC, HNodeObject HNO)
{
    return fake::plain("ReadNode", {HC, HNO});
}

XAL_NODEINFO* GetNodeInfo(HController HC, HNodeObject HNO)
{
    return static_cast<XAL_NODEINFO*>(fake::withRecord("GetNodeInfo", {HC, HNO}));
}

int DestroyNodeInfo(XAL_NODEINFO* info)
{
    return fake::destroy("DestroyNodeInfo", info);
}

int GetNodeValueStringLen(HController HC, HNodeObject HNO)
{
    return fake::plain("GetNodeValueStringLen", {HC, HNO});
}

int GetNodeValueString(HController HC, HNodeObject HNO, char* buffer, int size)
{
    return fake::withBuffer("GetNodeValueString", {HC, HNO, size}, buffer, size);
}

int GetNodeValueBinCopyLen(HController HC, HNodeObject HNO)
{
    return fake::plain("GetNodeValueBinCopyLen", {HC, HNO});
}

int GetNodeValueBinCopy(HController HC, HNodeObject HNO, void* buffer, int size)
{
    return fake::withBuffer("GetNodeValueBinCopy", {HC, HNO, size}, buffer, size);
}

int SetNodeValueString(HController HC, HNodeObject HNO, const char* value)
{
    return fake::plain("SetNodeValueString", {HC, HNO}, {value});
}

int WriteNodeSync(HController HC, HNodeObject HNO)
{
    return fake::plain("WriteNodeSync", {HC, HNO});
}

int GetNodeNameLen(HController HC, HNodeObject HNO)
{
    return fake::plain("GetNodeNameLen", {HC, HNO});
}

int GetNodeName(HController HC, HNodeObject HNO, char* buffer, int size)
{
    return fake::withBuffer("GetNodeName", {HC, HNO, size}, buffer, size);
}

int CreateNodeOnController(HController HC, const char* fullname, VAR_TYPE type, int reserved)
{
    return fake::plain("CreateNodeOnController", {HC, type, reserved}, {fullname});
}

int CreateJobNodeOnController(HController HC, const char* fullname, const char* nodetype, int reserved)
{
    return fake::plain("CreateJobNodeOnController", {HC, reserved}, {fullname, nodetype});
}

int DeleteSingleNodeOnController(HController HC, HNodeObject HNO)
{
    return fake::plain("DeleteSingleNodeOnController", {HC, HNO});
}

int RenameNode(HController HC, HNodeObject HNO, const char* newname)
{
    return fake::plain("RenameNode", {HC, HNO}, {newname});
}

int MoveSubtree(HController HC, HNodeObject HNO, HNodeObject newparent, int position)
{
    return fake::plain("MoveSubtree", {HC, HNO, newparent, position});
}

HNodeObjectCollection CreateNodeObjectCollection(HController HC)
{
    return fake::plain("CreateNodeObjectCollection", {HC});
}

int GetSubnodes(HController HC, HNodeObject HNO, HNodeObjectCollection collection)
{
    return fake::plain("GetSubnodes", {HC, HNO, collection});
}

int GetNodeObjectCount(HController HC, HNodeObjectCollection collection, int* count)
{
    return fake::withOut("GetNodeObjectCount", {HC, collection}, count);
}

int GetNodeObjectAtIndex(HController HC, HNodeObjectCollection collection, int position, HNodeObject* out)
{
    return fake::withOut("GetNodeObjectAtIndex", {HC, collection, position}, out);
}

int DestroyNodeObjectCollection(HController HC, HNodeObjectCollection collection)
{
    return fake::plain("DestroyNodeObjectCollection", {HC, collection});
}

XAL_JOBINFO* GetJobInfo(HController HC)
{
    return static_cast<XAL_JOBINFO*>(fake::withRecord("GetJobInfo", {HC}));
}

int DestroyJobInfo(XAL_JOBINFO* info)
{
    return fake::destroy("DestroyJobInfo", info);
}

int GetJobNamesLen(HController HC, int* length)
{
    return fake::withOut("GetJobNamesLen", {HC}, length);
}

int GetJobNames(HController HC, char* buffer, int size)
{
    return fake::withBuffer("GetJobNames", {HC, size}, buffer, size);
}

int SelectNode(HController HC, HNodeObject HNO)
{
    return fake::plain("SelectNode", {HC, HNO});
}

int JobStart(HController HC)
{
    return fake::plain("JobStart", {HC});
}

int GetJobNodeTypesCount(HController HC, int* count)
{
    return fake::withOut("GetJobNodeTypesCount", {HC}, count);
}

XAL_JOBNODEINFO* GetJobNodeTypeInfo(HController HC, int position)
{
    return static_cast<XAL_JOBNODEINFO*>(fake::withRecord("GetJobNodeTypeInfo", {HC, position}));
}

int GetPLCState(HController HC, unsigned int* state, unsigned int* reserved)
{
    fake::Call c = fake::makeCall("GetPLCState", {HC}, {}, {state, reserved});
    if (state) {
        c.outsAtEntry.push_back(*state);
    }
    if (reserved) {
        c.outsAtEntry.push_back(*reserved);
    }
    Answer a = Access::answer(c);
    fake::writeOut(a, 0, state);
    fake::writeOut(a, 1, reserved);
    return static_cast<int>(a.result);
}

int RegisterOnPLCChanged(HController HC, XAL_PLC_CHANGED_CALLBACK handler)
{
    Answer a = Access::answer(fake::makeCall("RegisterOnPLCChanged", {HC}, {}, {reinterpret_cast<const void*>(handler)}));
    fake::State& s = fake::state();
    {
        std::lock_guard<std::mutex> lock(s.mu);
        s.plcLastHandler = handler;
        if (a.result == 0) {
            s.plcRegistered = true;
            s.plcHC = HC;
            s.plcRegisteredHandler = handler;
        }
    }
    s.cv.notify_all();
    return static_cast<int>(a.result);
}

int UnregisterOnPLCChanged(HController HC)
{
    Answer a = Access::answer(fake::makeCall("UnregisterOnPLCChanged", {HC}));
    fake::State& s = fake::state();
    if (a.result == 0) {
        /* Waits for a delivery in progress; none starts after this. */
        std::lock_guard<std::recursive_mutex> deliveryLock(s.delivery);
        std::lock_guard<std::mutex> lock(s.mu);
        s.plcRegistered = false;
        s.plcRegisteredHandler = nullptr;
    }
    return static_cast<int>(a.result);
}

XAL_DRIVERINFO* GetDriverInfo(HController HC)
{
    return static_cast<XAL_DRIVERINFO*>(fake::withRecord("GetDriverInfo", {HC}));
}

XAL_DEVICEINFO* GetAllDeviceInfo(HController HC)
{
    return static_cast<XAL_DEVICEINFO*>(fake::withRecord("GetAllDeviceInfo", {HC}));
}

XAL_SINGLEDEVICEINFO* GetDeviceInfo(HController HC, HDevice HD)
{
    return static_cast<XAL_SINGLEDEVICEINFO*>(fake::withRecord("GetDeviceInfo", {HC, HD}));
}

int DestroyDriverInfo(XAL_DRIVERINFO* info)
{
    return fake::destroy("DestroyDriverInfo", info);
}

int DestroyDeviceInfo(XAL_DEVICEINFO* info)
{
    return fake::destroy("DestroyDeviceInfo", info);
}

int DestroySingleDeviceInfo(XAL_SINGLEDEVICEINFO* info)
{
    return fake::destroy("DestroySingleDeviceInfo", info);
}

int GetSystemMessageXMLLen(HSysMsg HSM)
{
    return fake::plain("GetSystemMessageXMLLen", {HSM});
}

int GetSystemMessageXML(HSysMsg HSM, char* buffer, int size)
{
    return fake::withBuffer("GetSystemMessageXML", {HSM, size}, buffer, size);
}

} // extern "C"
