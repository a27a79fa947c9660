// The front end against the recording fake: what the simulator cannot show
// or only at great cost. The PLC state wait (its cycle count, the order of
// registration and query, notification races), job selection among
// duplicate names, the connection loop's sleeps, and the job run's stages
// that take minutes or need an unreadable state. What a user sees of the
// seven links is tested end to end.
//
// The front end is compiled in with its main renamed; this file supplies
// usleep, so every sleep is counted and, unless a test asks for real time,
// returns at once.

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#define main multicall_main
#include "multicall.cpp"
#undef main

#include "fake_tessaro.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

namespace {

std::mutex g_eventsMu;
std::vector<std::string> g_events; // "sleep <us>" and "detect", in order
std::atomic<bool> g_realSleep{false};

void logEvent(const std::string& e)
{
    std::lock_guard<std::mutex> lock(g_eventsMu);
    g_events.push_back(e);
}

std::vector<std::string> events()
{
    std::lock_guard<std::mutex> lock(g_eventsMu);
    return g_events;
}

} // namespace

// Replaces the C library's usleep for the whole test program.
extern "C" int usleep(useconds_t us)
{
    logEvent("sleep " + std::to_string(us));
    if (g_realSleep.load()) {
        timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        nanosleep(&ts, nullptr);
    }
    return 0;
}

namespace {

using Ops = std::vector<std::string>;
using Ints = std::vector<long long>;

constexpr HController HC = 3;
constexpr unsigned kReady = 1u << PLC_JOB_READY;
constexpr unsigned kActive = 1u << PLC_JOB_ACTIVE;
constexpr unsigned kCompleted = 1u << PLC_JOB_COMPLETED;

fake::Answer plcState(unsigned state, int result = 0)
{
    return fake::Answer(result).out(state).out(0);
}

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        fake::reset();
        std::lock_guard<std::mutex> lock(g_eventsMu);
        g_events.clear();
        g_realSleep = false;
    }
    void TearDown() override
    {
        EXPECT_TRUE(fake::recordsGivenBackOnce());
        EXPECT_EQ(fake::count("RegisterOnPLCChanged"), fake::count("UnregisterOnPLCChanged"));
    }

    // Jobs by short and full name; job i is node 100 + i in the names list.
    static void scriptJobs(std::vector<const char*> shortNames, std::vector<const char*> fullNames)
    {
        static std::vector<const char*> s, f;
        s = std::move(shortNames);
        f = std::move(fullNames);
        XAL_JOBINFO info{};
        info.jobcount = static_cast<int32_t>(s.size());
        info.jobnames = const_cast<char**>(s.data());
        info.fulljobnames = const_cast<char**>(f.data());
        info.selectednode = fake::str("");
        fake::on("GetJobInfo").always(info);
        std::string list;
        std::map<std::string, fake::Answer> handles;
        for (size_t i = 0; i < f.size(); ++i) {
            list += (i ? ";" : "") + std::string(f[i]);
            handles[f[i]] = fake::Answer(100 + static_cast<long long>(i));
        }
        fake::on("GetJobNamesLen").always(fake::Answer(0).out(static_cast<long long>(list.size())));
        fake::on("GetJobNames").always(fake::Answer(0).text(list));
        fake::on("GetNode").custom(fake::byText(0, handles, -1));
    }
};

// ---- waitForPlcState ------------------------------------------------------------

TEST_F(FrontEnd, WaitRegistersBeforeItsQueryAndUnregistersAtTheEnd)
{
    fake::on("GetPLCState").always(plcState(kReady));
    EXPECT_EQ(waitForPlcState(HC, kReady, kActive, 10.0), E_OK);
    EXPECT_EQ(fake::ops(), (Ops{"RegisterOnPLCChanged", "GetPLCState", "UnregisterOnPLCChanged"}));
    EXPECT_EQ(fake::calls("RegisterOnPLCChanged")[0].ptrs[0], reinterpret_cast<const void*>(&plcChangeCallback));
}

// Cycles of 10 ms counted by adding 0.01: sleep first, then test.
TEST_F(FrontEnd, WaitOutcomeAndCycles)
{
    struct Case {
        const char* what;
        double timeout;
        fake::Answer query;
        unsigned set, clear;
        int regResult, unregResult;
        int result;
        size_t cycles;
    };
    const Case cases[] = {
        {"holds at once", 10.0, plcState(kReady | 0x4), kReady, kActive, 0, 0, E_OK, 1},
        {"empty masks", 2.0, plcState(0), 0, 0, 0, 0, E_OK, 1},
        {"10 s", 10.0, plcState(0), kReady, 0, 0, 0, E_FAILURE, 1001},
        {"one cycle", 0.01, plcState(0), kReady, 0, 0, 0, E_FAILURE, 1},
        {"no time", 0.0, plcState(kReady), kReady, 0, 0, 0, E_FAILURE, 0},
        {"bit in both masks", 0.5, plcState(kReady), kReady, kReady, 0, 0, E_FAILURE, 50},
        {"unreadable state is no state", 0.05, plcState(0, E_FAILURE), 0, kActive, 0, 0, E_FAILURE, 5},
        {"registration refused", 10.0, plcState(kReady), kReady, 0, E_UNAVAIL, 0, E_FAILURE, 0},
        {"unregistration refused", 10.0, plcState(kReady), kReady, 0, 0, 1, E_FAILURE, 1},
    };
    for (const Case& c : cases) {
        SetUp();
        fake::on("GetPLCState").always(c.query);
        fake::on("RegisterOnPLCChanged").always(c.regResult);
        fake::on("UnregisterOnPLCChanged").always(c.unregResult);
        EXPECT_EQ(waitForPlcState(HC, c.set, c.clear, c.timeout), c.result) << c.what;
        EXPECT_EQ(events(), std::vector<std::string>(c.cycles, "sleep 10000")) << c.what;
        EXPECT_EQ(fake::count("UnregisterOnPLCChanged"), c.regResult == 0 ? 1u : 0u) << c.what;
        fake::reset(); // a refused unregistration leaves the handler registered
    }
}

TEST_F(FrontEnd, ChangeWhileTheQueryIsUnderWayIsNotLost)
{
    // The query still reports the old state: only the notification tells.
    fake::on("GetPLCState").custom([](const fake::Call&) {
        plcChangeCallback(HC, kReady, 0);
        return plcState(0);
    });
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 1.0), E_OK);
    EXPECT_EQ(events().size(), 1u);
}

TEST_F(FrontEnd, HitFromTheLibrarysThreadIsLatched)
{
    // Ready and gone again within one polling cycle, on another thread.
    g_realSleep = true;
    std::thread library;
    fake::on("GetPLCState").custom([&](const fake::Call&) {
        library = std::thread([] {
            plcChangeCallback(HC, kReady, 0);
            plcChangeCallback(HC, 0, 0);
        });
        return plcState(0);
    });
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 5.0), E_OK);
    library.join();
}

// ---- vartypeFromStr and selectJob ------------------------------------------------

// A type is named by its enumerator, VT_I32 to VT_FILE, exactly.
TEST(TypeNames, ExactNamesOnly)
{
#define T(type) {#type, type}
    const std::pair<const char*, VAR_TYPE> known[] = {T(VT_I32), T(VT_I64),  T(VT_R32), T(VT_R64), T(VT_BOOLEAN), T(VT_STR),
                                                      T(VT_SEL), T(VT_SET),  T(VT_BIN), T(VT_TEXT), T(VT_FILE)};
#undef T
    for (const auto& k : known) {
        EXPECT_EQ(vartypeFromStr(k.first), k.second) << k.first;
    }
    for (const char* unknown : {"vt_i32", "VT_I32 ", "VT_JOB", "VT_INV", ""}) {
        EXPECT_EQ(vartypeFromStr(unknown), VT_INV) << '"' << unknown << '"';
    }
}

TEST_F(FrontEnd, DuplicateShortNamesAreSelectedInTurnAndTheLastDecides)
{
    scriptJobs({"Twin", "Other", "Twin"}, {"a.Twin", "jobs.Other", "b.Twin"});
    for (int last : {E_ACCESS, 0}) {
        fake::on("SelectNode").sequence({fake::Answer(last == 0 ? E_ACCESS : 0), fake::Answer(last)});
        std::string out = testsupport::captureStdout([&] { EXPECT_EQ(selectJob(HC, "Twin"), last ? E_FAILURE : E_OK); });
        EXPECT_EQ(out, "ERROR: SelectNode failed\n");
    }
    std::vector<fake::Call> sel = fake::calls("SelectNode");
    ASSERT_EQ(sel.size(), 4u);
    EXPECT_EQ(sel[0].ints[1], 100);
    EXPECT_EQ(sel[1].ints[1], 102);
}

TEST_F(FrontEnd, MissingJobRecordOrNamesFailQuietly)
{
    EXPECT_EQ(selectJob(HC, "Demo"), E_FAILURE);
    XAL_JOBINFO noNames{};
    noNames.jobcount = 2;
    fake::on("GetJobInfo").always(noNames);
    EXPECT_EQ(selectJob(HC, "Demo"), E_FAILURE);
    EXPECT_EQ(fake::count("SelectNode"), 0u);
}

// ---- main -------------------------------------------------------------------------

struct MainResult {
    int status;
    std::string out, err;
};

MainResult runMain(std::vector<std::string> args, bool emptyArgv = false)
{
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    optind = 0; // getopt starts afresh
    std::ostringstream err;
    std::streambuf* old = std::cerr.rdbuf(err.rdbuf());
    MainResult r{};
    r.out = testsupport::captureStdout(
        [&] { r.status = multicall_main(emptyArgv ? 0 : static_cast<int>(args.size()), argv.data()); });
    std::cerr.rdbuf(old);
    r.err = err.str();
    return r;
}

// The 60 attempts and the final message are seen end to end.
TEST_F(FrontEnd, EveryConnectAttemptIsFollowedByHalfASecond)
{
    fake::on("DetectRemoteController").custom([](const fake::Call&) {
        logEvent("detect");
        return fake::Answer(fake::count("DetectRemoteController") == 3 ? 0 : -1);
    });
    EXPECT_EQ(runMain({"zunaStartJob", "-c", "ctl:1611"}).status, 0);
    std::vector<std::string> expected;
    for (int i = 0; i < 3; ++i) {
        expected.insert(expected.end(), {"detect", "sleep 500000"});
    }
    EXPECT_EQ(events(), expected);
    // Handle 0 is a connection; the address goes as given, always to port 1610.
    EXPECT_EQ(fake::count("JobStart"), 1u);
    EXPECT_EQ(fake::calls("DetectRemoteController").back().texts[0], std::optional<std::string>("ctl:1611"));
    EXPECT_EQ(fake::calls("DetectRemoteController").back().ints, Ints{1610});
}

TEST_F(FrontEnd, EmptyArgumentVectorGivesTheEmptyName)
{
    MainResult r = runMain({}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unknown mode of operation: !\n");
    EXPECT_EQ(fake::calls("DetectRemoteController")[0].texts[0], std::optional<std::string>(""));
}

// A job run with the PLC state answered per query, in order: the first three
// answers are the initial states of the three waits, the last the outcome.
TEST_F(FrontEnd, RunJobStagesBeyondTheSimulatorsReach)
{
    struct Case {
        const char* what;
        std::vector<fake::Answer> states;
        int status;
        size_t cycles;
    };
    const Case cases[] = {
        {"still active after 120 s", {plcState(kReady), plcState(kActive), plcState(kActive)}, 5, 1 + 1 + 12000},
        {"end unreadable", {plcState(kReady), plcState(kActive), plcState(0, E_FAILURE)}, 5, 1 + 1 + 12000},
    };
    for (const Case& c : cases) {
        SetUp();
        scriptJobs({"Demo"}, {"jobs.Demo"});
        fake::on("GetPLCState").sequence(c.states);
        EXPECT_EQ(runMain({"zunaRunJob", "-n", "Demo"}).status, c.status) << c.what;
        std::vector<std::string> ev = events();
        EXPECT_EQ(static_cast<size_t>(std::count(ev.begin(), ev.end(), "sleep 10000")), c.cycles) << c.what;
        EXPECT_EQ(fake::count("GetPLCState"), c.states.size()) << c.what;
    }
}

} // namespace
