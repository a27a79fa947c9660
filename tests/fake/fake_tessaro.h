/*
 * fake_tessaro.h - a recording fake of libtessaro for unit tests.
 *
 * The static library `tessaro_fake` defines every operation of xal_tessaro.h
 * as a plain extern "C" function. Link it in place of libtessaro.so. Each
 * operation
 *   1. records its call (integer arguments, copies of text arguments, other
 *      pointers) in a log,
 *   2. picks an Answer from the operation's Script, and
 *   3. applies it: writes the out-params, fills the caller's buffer, builds
 *      and hands out a record, and returns the result.
 *
 * Typical test:
 *
 *     void SetUp() override { fake::reset(); }
 *
 *     fake::on("GetNode").always(7);                          // every call: 7
 *     fake::on("GetNodeValueStringLen").then(5).then(-4);     // 1st 5, 2nd -4, then the default
 *     fake::on("GetNodeValueString").always(fake::Answer(0).text("hello"));
 *     fake::on("GetNodeObjectCount").always(fake::Answer(0).out(3));
 *     fake::on("GetNodeInfo").always(fake::NodeInfo{...});   // a fresh record on every call
 *     fake::on("GetNode").custom(fake::byText(0, {{"a", 5}, {"b", 6}}, -1));
 *
 *     ... call the code under test ...
 *
 *     EXPECT_EQ(fake::count("WriteNodeSync"), 0u);
 *     EXPECT_EQ(fake::calls("GetNode")[0].texts[0], "a");
 *     EXPECT_TRUE(fake::recordsGivenBackOnce());
 *
 * Unscripted operations answer 0 (int, handle and length results; no out-param
 * written, no buffer filled) and NULL (record results).
 *
 * Threads: every operation and every function below may be called from any
 * thread; the state is guarded by one mutex, and custom answer functions and
 * PLC handlers run outside it (so they may call the fake themselves). Only
 * reset() must not race with anything.
 */
#ifndef FAKE_TESSARO_H
#define FAKE_TESSARO_H

#include "xal_tessaro.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace fake {

/* ---- Texts of scripted records --------------------------------------------- */

/**
 * A text field of a scripted record: a string (the default is "") or NULL.
 * `info.unit = nullptr;` or `info.unit = fake::Text::null();` gives a NULL field.
 */
class Text {
public:
    Text() = default;
    Text(const char* s) : null_(s == nullptr), s_(s ? s : "") {}
    Text(std::nullptr_t) : null_(true) {}
    Text(std::string s) : s_(std::move(s)) {}
    static Text null() { return Text(nullptr); }
    bool isNull() const { return null_; }
    const std::string& str() const { return s_; }

private:
    bool null_ = false;
    std::string s_;
};

/* ---- Scripted records --------------------------------------------------------
 * Descriptions from which the fake builds the C records it hands out. Each
 * record is allocated anew per call (record, arrays and strings in separate
 * malloc blocks) and freed when it is given back, so a use after release shows
 * under AddressSanitizer.
 *
 * Lists: the count field defaults to the size of the list; set it to make the
 * record claim another count. The C array gets max(count, list size) entries,
 * those past the list being NULL; an empty list gives a NULL array pointer. */

/** For GetNodeInfo; released with DestroyNodeInfo. */
struct NodeInfo {
    HNodeObject handle = 0;
    int64_t nodeid = 0;
    Text fullname, name, path, value, priv, unit;
    int32_t type = VT_I32;
    Text typestring;
    float min = 0.0f;
    float max = 0.0f;
    uint32_t index = 0;
    uint32_t flags = 0;
};

/** For GetJobInfo; released with DestroyJobInfo. */
struct JobInfo {
    std::vector<Text> fulljobnames;
    std::vector<Text> jobnames;
    Text selectednode;
    std::optional<int32_t> jobcount; /* default: the longer of the two lists */
};

/** For GetJobNodeTypeInfo; never released (the library keeps it), freed by reset(). */
struct JobNodeInfo {
    Text fullname, name;
    int32_t usercreatable = 0;
    int32_t canmakelines = 0;
    int32_t canpasslines = 0;
    int32_t acceptssubnodes = 0;
};

/** One driver of a DriverInfo. */
struct DriverEntry {
    Text name, version, vendor, comment;
};

/** For GetDriverInfo; released with DestroyDriverInfo. std::nullopt entries are NULL pointers. */
struct DriverInfo {
    std::vector<std::optional<DriverEntry>> drivers;
    std::optional<int32_t> drivercount;
};

/** One device: an entry of a DeviceInfo, or the record of GetDeviceInfo (released with DestroySingleDeviceInfo). */
struct DeviceEntry {
    HDevice handle = 0;
    Text name, driver;
    XAL_DEVICE_STATE state = XAL_DEV_ACTIVE;
    Text statestring;
    int32_t staticdevice = 0;
    int32_t stat_n = 0;
    Text stat_str;
    Text dependenciesvarname;
    std::vector<Text> dependencies;
    std::optional<int32_t> dependenciescount;
    std::vector<Text> dependson;
    std::optional<int32_t> dependsoncount;
};

/** For GetAllDeviceInfo; released with DestroyDeviceInfo. std::nullopt entries are NULL pointers. */
struct DeviceInfo {
    std::vector<std::optional<DeviceEntry>> devices;
    std::optional<int32_t> devicecount;
};

using Record = std::variant<std::monostate, NodeInfo, JobInfo, JobNodeInfo, DriverInfo, DeviceInfo, DeviceEntry>;

/* ---- Recorded calls ------------------------------------------------------------ */

/**
 * One call of a library operation. The arguments are split by kind, each in
 * parameter order:
 *   ints  - every integer argument: HController, handles, sizes, positions,
 *           the VAR_TYPE, reserved ints, the port;
 *   texts - a copy of every `const char*` argument (std::nullopt for NULL);
 *   ptrs  - every other pointer argument: buffers, out-params, records given
 *           to a Destroy, the PLC handler.
 * outsAtEntry holds the values that the out-params held at entry (those of
 * GetNodeObjectCount, GetNodeObjectAtIndex, GetJobNamesLen,
 * GetJobNodeTypesCount, GetPLCState; nothing for a NULL out-param).
 *
 * E.g. GetNodeValueString(HC, HNO, buf, size) gives ints {HC, HNO, size} and
 * ptrs {buf}; CreateJobNodeOnController(HC, name, type, 0) gives ints {HC, 0}
 * and texts {name, type}; GetPLCState(HC, &s, &r) gives ints {HC}, ptrs {&s, &r}
 * and outsAtEntry {s, r}.
 */
struct Call {
    std::string op;
    std::vector<long long> ints;
    std::vector<std::optional<std::string>> texts;
    std::vector<const void*> ptrs;
    std::vector<long long> outsAtEntry;
};

/* ---- Answers and scripts ------------------------------------------------------- */

/**
 * What one call of an operation answers. Built from a result or a record and
 * refined with the chainable setters:
 *     fake::Answer(0).out(3)              // result 0, first out-param 3
 *     fake::Answer(0).out(0x14).out(0)    // GetPLCState: state word, reserved word
 *     fake::Answer(0).text("abc")         // copy "abc" into the caller's buffer
 *     fake::Answer(fake::NodeInfo{...})   // hand out such a record
 *     fake::Answer()                      // 0, or NULL for a record operation
 */
struct Answer {
    Answer() = default;
    Answer(long long r) : result(r) {}
    Answer(NodeInfo r) : record(std::move(r)) {}
    Answer(JobInfo r) : record(std::move(r)) {}
    Answer(JobNodeInfo r) : record(std::move(r)) {}
    Answer(DriverInfo r) : record(std::move(r)) {}
    Answer(DeviceInfo r) : record(std::move(r)) {}
    Answer(DeviceEntry r) : record(std::move(r)) {}

    /** Appends the value for the next out-param (written only when the pointer is not NULL). */
    Answer& out(long long v) { outs.push_back(v); return *this; }
    /** Buffer operations: copies `s` cut to size - 1 bytes and zero-terminates it. */
    Answer& text(std::string s) { fillText = std::move(s); return *this; }
    /** Buffer operations: copies the bytes as they are, at most size, no terminator. */
    Answer& bytes(std::vector<unsigned char> b) { fillBytes = std::move(b); return *this; }

    long long result = 0;
    Record record;
    std::vector<long long> outs;
    std::optional<std::string> fillText;
    std::optional<std::vector<unsigned char>> fillBytes;
};

using AnswerFn = std::function<Answer(const Call&)>;

/**
 * The script of one operation. A call takes the custom function's answer if
 * one is set; else the next answer of the sequence (each consumed once); else
 * the default. always(), then() and sequence() drop a custom function set
 * before them, so the latest kind of scripting wins.
 */
class Script {
public:
    /** Sets the default answer (initially Answer(): 0 / NULL). */
    Script& always(Answer a);
    /** Appends one answer to the per-call sequence. */
    Script& then(Answer a);
    /** Appends several answers to the per-call sequence. */
    Script& sequence(std::vector<Answer> as);
    /** Lets `fn` decide every call (it runs outside the fake's lock). */
    Script& custom(AnswerFn fn);

private:
    friend struct Access;
    Answer def_;
    std::vector<Answer> seq_;
    size_t next_ = 0;
    AnswerFn fn_;
};

/** The script of operation `op` (its name in xal_tessaro.h); throws std::invalid_argument for an unknown name. */
Script& on(const std::string& op);

/** A custom answer keyed on text argument `k`: map[text], else `otherwise` (also for NULL). */
AnswerFn byText(size_t k, std::map<std::string, Answer> map, Answer otherwise = Answer());
/** A custom answer keyed on integer argument `k` (0 is the HController where there is one). */
AnswerFn byInt(size_t k, std::map<long long, Answer> map, Answer otherwise = Answer());

/* ---- Reset and queries -------------------------------------------------------- */

/** Forgets every script, call, record and PLC registration. Call it in every SetUp. */
void reset();

/** Every recorded call, in order. */
std::vector<Call> calls();
/** The recorded calls of one operation, in order. */
std::vector<Call> calls(const std::string& op);
/** How many times `op` was called. */
size_t count(const std::string& op);
/** The names of all calls, in order (for order checks). */
std::vector<std::string> ops();
/** Blocks until `op` has been called at least `n` times or `timeout` has passed; true when reached. */
bool waitForCalls(const std::string& op, size_t n, std::chrono::milliseconds timeout);

/* ---- Records ------------------------------------------------------------------ */

/**
 * Success when every record handed out (except XAL_JOBNODEINFO ones, which
 * have no Destroy) was given back exactly once, through the Destroy of its own
 * family, and no Destroy got a pointer that the fake did not hand out (NULL
 * included). The failure message lists every offence.
 */
::testing::AssertionResult recordsGivenBackOnce();
/** Number of records handed out since reset(), of all kinds. */
size_t recordsIssued();
/** Records handed out and not yet given back (XAL_JOBNODEINFO ones not counted). */
size_t recordsOutstanding();

/* ---- PLC-change notifications --------------------------------------------------- */

/**
 * RegisterOnPLCChanged records the handler; when its scripted result is 0 the
 * handler becomes the registered one. UnregisterOnPLCChanged with result 0
 * removes the registration (a refused unregistration leaves it in place); it
 * waits for a delivery in progress to return, so that no delivery happens
 * after a successful unregistration.
 */

/** Whether a handler is registered now. */
bool plcRegistered();
/** The handler given to the last RegisterOnPLCChanged, accepted or not (nullptr if none). */
XAL_PLC_CHANGED_CALLBACK plcHandler();
/**
 * Calls the registered handler on the calling thread, as the library's thread
 * would: handler(HC of the registration, value, reserved). Returns false,
 * calling nothing, when no handler is registered; the handler's result goes to
 * *handlerResult when given.
 */
bool deliverPlcChange(unsigned int value, unsigned int reserved = 0, int* handlerResult = nullptr);
/** Blocks until a handler is registered or `timeout` has passed; true when registered. */
bool waitForPlcRegistration(std::chrono::milliseconds timeout);

/**
 * A thread playing the library's notification thread: it waits (up to
 * `timeout`) for a registration, then delivers each value in turn, sleeping
 * `gap` before each. Joined by join() or the destructor. Create it before the
 * code under test starts waiting:
 *
 *     fake::PlcNotifier notifier({1u << PLC_JOB_READY});
 *     EXPECT_EQ(waitForPlcState(HC, 1u << PLC_JOB_READY, 0, 2.0), E_OK);
 *     notifier.join();
 *     EXPECT_EQ(notifier.delivered(), 1u);
 */
class PlcNotifier {
public:
    explicit PlcNotifier(std::vector<unsigned int> values,
                         std::chrono::milliseconds gap = std::chrono::milliseconds(0),
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));
    ~PlcNotifier();
    PlcNotifier(const PlcNotifier&) = delete;
    PlcNotifier& operator=(const PlcNotifier&) = delete;
    void join();
    /** How many values were delivered (a value is not delivered when no handler is registered). */
    size_t delivered() const { return delivered_.load(); }

private:
    std::atomic<size_t> delivered_{0};
    std::thread thread_;
};

} // namespace fake

#endif /* FAKE_TESSARO_H */
