// Unit tests of the front end against the recording fake: the PLC state
// wait, job selection by name, type names, and main's options, connection
// loop and modes (the job run through each of its exit statuses).
//
// The front end is compiled into this test with its main renamed, and this
// file supplies usleep, so every sleep is counted (and, unless a test asks
// for real time, returns at once).

#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#define main multicall_main
#include "multicall.cpp"
#undef main

#include "fake_tessaro.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

namespace {

std::mutex g_eventsMu;
std::vector<std::string> g_events;  // "sleep <us>" and "detect" in order
std::atomic<bool> g_realSleep{false};

void logEvent(const std::string& e) {
    std::lock_guard<std::mutex> lock(g_eventsMu);
    g_events.push_back(e);
}

std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(g_eventsMu);
    return g_events;
}

size_t countEvents(const std::string& e) {
    size_t n = 0;
    for (const auto& x : events()) n += x == e;
    return n;
}

}  // namespace

// Replaces the C library's usleep for the whole test program.
extern "C" int usleep(useconds_t us) {
    logEvent("sleep " + std::to_string(us));
    if (g_realSleep.load()) {
        timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000) * 1000};
        nanosleep(&ts, nullptr);
    }
    return 0;
}

namespace {

constexpr HController HC = 3;
constexpr unsigned kReady = 1u << PLC_JOB_READY;
constexpr unsigned kActive = 1u << PLC_JOB_ACTIVE;
constexpr unsigned kCompleted = 1u << PLC_JOB_COMPLETED;
constexpr unsigned kFailed = 1u << PLC_JOB_FAILED;

class FrontEnd : public ::testing::Test {
protected:
    void SetUp() override {
        fake::reset();
        {
            std::lock_guard<std::mutex> lock(g_eventsMu);
            g_events.clear();
        }
        g_realSleep = false;
    }
    void TearDown() override { EXPECT_TRUE(fake::recordsGivenBackOnce()); }

    static void scriptState(unsigned state) {
        fake::on("GetPLCState").always(fake::Answer(0).out(state).out(0));
    }

    // The job list of two jobs, as GetJobInfo and the names list give it.
    static void scriptJobs(std::vector<std::string> shortNames, std::vector<std::string> fullNames) {
        fake::JobInfo info;
        std::string list;
        for (size_t i = 0; i < shortNames.size(); ++i) {
            info.jobnames.push_back(shortNames[i]);
            info.fulljobnames.push_back(fullNames[i]);
            list += (i ? ";" : "") + fullNames[i];
        }
        fake::on("GetJobInfo").always(info);
        fake::on("GetJobNamesLen").always(fake::Answer(0).out(static_cast<long long>(list.size())));
        fake::on("GetJobNames").always(fake::Answer(0).text(list));
        std::map<std::string, fake::Answer> handles;
        for (size_t i = 0; i < fullNames.size(); ++i) handles[fullNames[i]] = fake::Answer(100 + static_cast<long long>(i));
        fake::on("GetNode").custom(fake::byText(0, handles, -1));
    }
};

// ---- waitForPlcState ---------------------------------------------------------

TEST_F(FrontEnd, WaitSucceedsAfterOneCycleWhenTheStateAlreadyHolds) {
    scriptState(kReady | 0x4);
    EXPECT_EQ(waitForPlcState(HC, kReady, kActive, 10.0), E_OK);
    EXPECT_EQ(events(), std::vector<std::string>{"sleep 10000"});
    // Registered before the state query, unregistered at the end.
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"RegisterOnPLCChanged", "GetPLCState", "UnregisterOnPLCChanged"}));
    auto q = fake::calls("GetPLCState")[0];
    EXPECT_EQ(q.outsAtEntry, (std::vector<long long>{0, 0}));
    EXPECT_EQ(fake::calls("RegisterOnPLCChanged")[0].ptrs[0], reinterpret_cast<const void*>(&plcChangeCallback));
}

TEST_F(FrontEnd, EmptyMasksHitAnyKnownState) {
    scriptState(0);
    EXPECT_EQ(waitForPlcState(HC, 0, 0, 2.0), E_OK);
    EXPECT_EQ(countEvents("sleep 10000"), 1u);
    EXPECT_EQ(waitForPlcState(HC, 0, kActive, 2.0), E_OK);
}

// An unreadable word is unknown, not zero: only a notification could end the wait.
TEST_F(FrontEnd, AFailedQueryIsNeverTakenForAState) {
    fake::on("GetPLCState").always(fake::Answer(E_FAILURE).out(0).out(0));
    EXPECT_EQ(waitForPlcState(HC, 0, kActive, 0.05), E_FAILURE);
    EXPECT_EQ(waitForPlcState(HC, 0, 0, 0.05), E_FAILURE);
    EXPECT_EQ(countEvents("sleep 10000"), 10u);
}

TEST_F(FrontEnd, WaitCountsCyclesByRepeatedAddition) {
    scriptState(0);
    struct Case {
        double timeout;
        size_t cycles;
    };
    for (Case c : {Case{2.0, 200}, Case{10.0, 1001}, Case{120.0, 12000}, Case{0.01, 1}, Case{0.0, 0}, Case{-1.0, 0}}) {
        SetUp();
        scriptState(0);
        EXPECT_EQ(waitForPlcState(HC, kReady, 0, c.timeout), E_FAILURE) << c.timeout;
        EXPECT_EQ(countEvents("sleep 10000"), c.cycles) << c.timeout;
        EXPECT_EQ(events().size(), c.cycles) << c.timeout;
        EXPECT_EQ(fake::count("UnregisterOnPLCChanged"), 1u);
    }
}

TEST_F(FrontEnd, ZeroTimeoutFailsEvenWhenTheStateHolds) {
    scriptState(kReady);
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 0.0), E_FAILURE);
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(fake::count("RegisterOnPLCChanged"), 1u);
    EXPECT_EQ(fake::count("UnregisterOnPLCChanged"), 1u);
}

TEST_F(FrontEnd, BitInBothMasksNeverHits) {
    scriptState(kReady);
    EXPECT_EQ(waitForPlcState(HC, kReady, kReady, 0.5), E_FAILURE);
    EXPECT_EQ(countEvents("sleep 10000"), 50u);
}

TEST_F(FrontEnd, NotificationFromTheLibraryThreadEndsTheWait) {
    g_realSleep = true;
    scriptState(0);
    fake::PlcNotifier notifier({kActive, kActive | kReady}, std::chrono::milliseconds(30));
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 5.0), E_OK);
    notifier.join();
    EXPECT_EQ(notifier.delivered(), 2u);
    EXPECT_FALSE(fake::plcRegistered());
}

TEST_F(FrontEnd, HitIsLatchedWhenTheStateMovesOnBeforeTheNextTest) {
    g_realSleep = true;
    scriptState(0);
    // Ready and gone again within one polling cycle.
    fake::PlcNotifier notifier({kReady, 0});
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 5.0), E_OK);
    notifier.join();
    EXPECT_EQ(notifier.delivered(), 2u);
}

TEST_F(FrontEnd, ChangeBeforeTheStateQueryAnswersIsNotLost) {
    // The job becomes ready while the query is under way and the query still
    // reports the old state: only the notification tells.
    fake::on("GetPLCState").custom([](const fake::Call&) {
        fake::deliverPlcChange(kReady);
        return fake::Answer(0).out(0).out(0);
    });
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 1.0), E_OK);
    EXPECT_EQ(countEvents("sleep 10000"), 1u);
}

TEST_F(FrontEnd, FailedRegistrationReturnsAtOnce) {
    scriptState(kReady);
    fake::on("RegisterOnPLCChanged").always(E_UNAVAIL);
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 10.0), E_FAILURE);
    EXPECT_TRUE(events().empty());
    EXPECT_EQ(fake::count("UnregisterOnPLCChanged"), 0u);
}

TEST_F(FrontEnd, FailedUnregistrationFailsTheWaitEvenAfterAHit) {
    scriptState(kReady);
    fake::on("UnregisterOnPLCChanged").always(1);  // any non-zero result
    EXPECT_EQ(waitForPlcState(HC, kReady, 0, 10.0), E_FAILURE);
    EXPECT_EQ(countEvents("sleep 10000"), 1u);
}

// ---- vartypeFromStr ------------------------------------------------------------

TEST(TypeNames, EveryTableNameAndNothingElse) {
    const std::pair<const char*, VAR_TYPE> known[] = {
        {"VT_I32", VT_I32},   {"VT_I64", VT_I64},   {"VT_R32", VT_R32},   {"VT_R64", VT_R64},
        {"VT_BOOLEAN", VT_BOOLEAN}, {"VT_STR", VT_STR}, {"VT_SEL", VT_SEL}, {"VT_SET", VT_SET},
        {"VT_BIN", VT_BIN},   {"VT_TEXT", VT_TEXT}, {"VT_FILE", VT_FILE},
    };
    for (const auto& k : known) EXPECT_EQ(vartypeFromStr(k.first), k.second) << k.first;
    for (const char* unknown : {"vt_i32", "VT_I32 ", " VT_I32", "I32", "1", "", "VT_JOB", "VT_INV", "VT_LAST_", "VT_"}) {
        EXPECT_EQ(vartypeFromStr(unknown), VT_INV) << '"' << unknown << '"';
    }
    EXPECT_EQ(vartypeFromStr(std::string("VT_I32\0x", 8)), VT_INV);
}

// ---- selectJob -----------------------------------------------------------------

class CerrCapture {
public:
    CerrCapture() : old_(std::cerr.rdbuf(buf_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(old_); }
    std::string str() const { return buf_.str(); }

private:
    std::ostringstream buf_;
    std::streambuf* old_;
};

TEST_F(FrontEnd, SelectsTheJobWhoseShortNameMatches) {
    scriptJobs({"Alpha", "Beta"}, {"jobs.Alpha", "jobs.Beta"});
    std::string out;
    int rc = -1;
    CerrCapture err;
    out = testsupport::captureStdout([&] { rc = selectJob(HC, "Beta"); });
    EXPECT_EQ(rc, E_OK);
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.str(), "");
    ASSERT_EQ(fake::count("SelectNode"), 1u);
    EXPECT_EQ(fake::calls("SelectNode")[0].ints[1], 101);
}

TEST_F(FrontEnd, NoMatchForOtherCaseOrTheFullName) {
    scriptJobs({"Alpha", "Beta"}, {"jobs.Alpha", "jobs.Beta"});
    CerrCapture err;
    std::string out = testsupport::captureStdout([&] {
        EXPECT_EQ(selectJob(HC, "beta"), E_FAILURE);
        EXPECT_EQ(selectJob(HC, "jobs.Beta"), E_FAILURE);
        EXPECT_EQ(selectJob(HC, ""), E_FAILURE);
    });
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(fake::count("SelectNode"), 0u);
}

TEST_F(FrontEnd, DuplicateShortNamesAreSelectedInTurnAndTheLastDecides) {
    scriptJobs({"Twin", "Other", "Twin"}, {"a.Twin", "jobs.Other", "b.Twin"});
    fake::on("SelectNode").sequence({fake::Answer(0), fake::Answer(E_ACCESS)});
    std::string out = testsupport::captureStdout([&] { EXPECT_EQ(selectJob(HC, "Twin"), E_FAILURE); });
    EXPECT_EQ(out, "ERROR: SelectNode failed\n");
    auto sel = fake::calls("SelectNode");
    ASSERT_EQ(sel.size(), 2u);
    EXPECT_EQ(sel[0].ints[1], 100);
    EXPECT_EQ(sel[1].ints[1], 102);

    fake::on("SelectNode").sequence({fake::Answer(E_ACCESS), fake::Answer(0)});
    out = testsupport::captureStdout([&] { EXPECT_EQ(selectJob(HC, "Twin"), E_OK); });
    EXPECT_EQ(out, "ERROR: SelectNode failed\n");
}

TEST_F(FrontEnd, EmptyJobListIsReportedOnStandardError) {
    fake::on("GetJobInfo").always(fake::JobInfo{});
    CerrCapture err;
    EXPECT_EQ(selectJob(HC, "Demo"), E_FAILURE);
    EXPECT_EQ(err.str(), "No job on the controller!\n");
    EXPECT_EQ(fake::count("GetJobNamesLen"), 0u);
    EXPECT_EQ(fake::count("DestroyJobInfo"), 1u);
}

TEST_F(FrontEnd, MissingJobRecordFailsQuietly) {
    CerrCapture err;
    std::string out = testsupport::captureStdout([&] { EXPECT_EQ(selectJob(HC, "Demo"), E_FAILURE); });
    EXPECT_EQ(out, "");
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(fake::count("DestroyJobInfo"), 0u);
}

// ---- main ----------------------------------------------------------------------

struct MainResult {
    int status;
    std::string out, err;
};

MainResult runMain(std::vector<std::string> args, bool emptyArgv = false) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0;  // getopt starts afresh
    MainResult r{};
    CerrCapture err;
    r.out = testsupport::captureStdout([&] {
        r.status = multicall_main(emptyArgv ? 0 : static_cast<int>(args.size()), argv.data());
    });
    r.err = err.str();
    return r;
}

TEST_F(FrontEnd, EmptyArgumentVectorGivesTheEmptyName) {
    MainResult r = runMain({}, true);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Unknown mode of operation: !\n");
    // No -c: the empty address, and always the port 1610.
    auto d = fake::calls("DetectRemoteController");
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].texts[0], std::optional<std::string>(""));
    EXPECT_EQ(d[0].ints[0], 1610);
}

TEST_F(FrontEnd, SixtyAttemptsEachFollowedByHalfASecond) {
    fake::on("DetectRemoteController").custom([](const fake::Call&) {
        logEvent("detect");
        return fake::Answer(-1);
    });
    MainResult r = runMain({"zunaReadStr", "-c", "ctl:1611", "-n", "x"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "Failed to connect to controller!\n");
    EXPECT_EQ(r.out, "");
    std::vector<std::string> expected;
    for (int i = 0; i < 60; ++i) {
        expected.push_back("detect");
        expected.push_back("sleep 500000");
    }
    EXPECT_EQ(events(), expected);
    EXPECT_EQ(fake::calls("DetectRemoteController")[59].texts[0], std::optional<std::string>("ctl:1611"));
    EXPECT_EQ(fake::count("GetNode"), 0u);
}

TEST_F(FrontEnd, ConnectionAtTheThirdAttemptStillPausesAfterIt) {
    fake::on("DetectRemoteController").sequence({fake::Answer(-1), fake::Answer(-1), fake::Answer(0)});
    MainResult r = runMain({"zunaStartJob"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fake::count("DetectRemoteController"), 3u);
    EXPECT_EQ(countEvents("sleep 500000"), 3u);
    // Handle 0 is a connection, and every call passes it.
    ASSERT_EQ(fake::count("JobStart"), 1u);
    EXPECT_EQ(fake::calls("JobStart")[0].ints[0], 0);
}

TEST_F(FrontEnd, OptionErrorsStopBeforeConnecting) {
    EXPECT_EQ(runMain({"zunaReadVar", "-n"}).err, "Option -n requires an argument.\n");
    EXPECT_EQ(runMain({"zunaReadVar", "-t"}).err, "Option -t requires an argument.\n");
    MainResult r = runMain({"zunaReadVar", "-x", "-n"});
    EXPECT_EQ(r.err, "Unknown option -x.\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(fake::count("DetectRemoteController"), 0u);
    EXPECT_TRUE(events().empty());
}

TEST_F(FrontEnd, ReadStrPrintsTheValueAndAFailedCopyPrintsNothing) {
    fake::on("GetNode").always(7);
    fake::on("GetNodeValueStringLen").always(5);
    fake::on("GetNodeValueString").always(fake::Answer(0).text("a\nb c"));
    MainResult r = runMain({"/opt/bin/zunaReadStr", "-n", "sys.X"});
    EXPECT_EQ(r.out, "a\nb c\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);

    // The copy fails: its buffer is released (LeakSanitizer would tell).
    fake::on("GetNodeValueString").always(fake::Answer(E_NOSPACE).text("partial"));
    r = runMain({"zunaReadStr", "-n", "sys.X"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Failed to read variable sys.X as a string!\n");
    EXPECT_EQ(r.status, 2);

    r = runMain({"zunaReadStr"});
    EXPECT_EQ(r.err, "Failed to read variable  as a string!\n");  // GetNode answers 7 for "" too
}

TEST_F(FrontEnd, VariableModesTurnAnyNonZeroResultIntoStatus2) {
    fake::on("GetNode").always(-1);
    EXPECT_EQ(runMain({"zunaReadVar", "-n", "a.b"}).err, "Failed to read variable a.b!\n");
    EXPECT_EQ(runMain({"zunaWriteStr", "-n", "a.b", "-v", "1"}).err, "Failed to set variable a.b!\n");

    fake::on("GetNode").always(9);
    fake::on("SetNodeValueString").always(1);  // positive results fail too
    MainResult r = runMain({"zunaWriteStr", "-n", "a.b", "-v", "12"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(fake::calls("SetNodeValueString").back().texts[0], std::optional<std::string>("12"));

    fake::on("CreateNodeOnController").always(E_EXIST);
    r = runMain({"zunaCreateVar", "-n", "a.c", "-t", "VT_SET"});
    EXPECT_EQ(r.err, "Failed to create variable a.c!\n");
    EXPECT_EQ(r.status, 2);
    auto c = fake::calls("CreateNodeOnController").back();
    EXPECT_EQ(c.ints, (std::vector<long long>{0, VT_SET, 0}));

    fake::on("CreateNodeOnController").always(0);
    r = runMain({"zunaCreateVar", "-n", "a.d", "-t", "bogus"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(fake::calls("CreateNodeOnController").back().ints[1], VT_INV);
}

TEST_F(FrontEnd, StartJobIgnoresTheName) {
    MainResult r = runMain({"zunaStartJob", "-n", "Other"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(fake::count("GetJobInfo"), 0u);
    fake::on("JobStart").always(E_NOT_RDY);
    EXPECT_EQ(runMain({"zunaStartJob"}).status, 2);
}

// A job run with the PLC state answered per query, in order: the first three
// answers are the initial states of the three waits, the last the outcome.
TEST_F(FrontEnd, RunJobStatusesByStage) {
    struct Case {
        const char* what;
        std::vector<unsigned> states;
        int selectResult, startResult;
        int status;
        int lastQuery = 0;  // result of the last state query
    };
    const Case cases[] = {
        {"completed", {kReady, kActive, 0, kCompleted}, 0, 0, 0},
        {"failed", {kReady, kActive, 0, kFailed}, 0, 0, 6},
        {"completed and failed", {kReady, kActive, 0, kCompleted | kFailed}, 0, 0, 6},
        {"outcome not reported", {kReady, kActive, 0, 0}, 0, 0, 0},
        {"selection refused", {}, E_ACCESS, 0, 2},
        {"never ready", {0}, 0, 0, 5},
        {"start refused", {kReady}, 0, E_NOT_RDY, 4},
        {"never active", {kReady, 0}, 0, 0, 5},
        {"still active", {kReady, kActive, kActive}, 0, 0, 5},
        {"outcome unreadable", {kReady, kActive, 0, kCompleted}, 0, 0, 5, E_FAILURE},
        {"end unreadable, never notified", {kReady, kActive, 0}, 0, 0, 5, E_FAILURE},
    };
    for (const Case& c : cases) {
        SetUp();
        fake::on("DetectRemoteController").always(HC);
        scriptJobs({"Demo"}, {"jobs.Demo"});
        fake::on("SelectNode").always(c.selectResult);
        fake::on("JobStart").always(c.startResult);
        std::vector<fake::Answer> answers;
        for (unsigned s : c.states) answers.push_back(fake::Answer(0).out(s).out(0));
        if (!answers.empty()) answers.back().result = c.lastQuery;
        fake::on("GetPLCState").sequence(answers);
        MainResult r = runMain({"zunaRunJob", "-n", "Demo"});
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_EQ(fake::count("GetPLCState"), c.states.size()) << c.what;
        EXPECT_FALSE(fake::plcRegistered()) << c.what;
        EXPECT_TRUE(fake::recordsGivenBackOnce()) << c.what;
    }
}

TEST_F(FrontEnd, RunJobWaitsAreBoundedByTheirTimeouts) {
    fake::on("DetectRemoteController").always(HC);
    scriptJobs({"Demo"}, {"jobs.Demo"});
    // Ready and active at once, then active for good: 1 + 1 + 12000 cycles.
    fake::on("GetPLCState").sequence({fake::Answer(0).out(kReady).out(0), fake::Answer(0).out(kActive).out(0),
                                      fake::Answer(0).out(kActive).out(0)});
    EXPECT_EQ(runMain({"zunaRunJob", "-n", "Demo"}).status, 5);
    EXPECT_EQ(countEvents("sleep 10000"), 12002u);
    EXPECT_EQ(fake::count("RegisterOnPLCChanged"), 3u);
    EXPECT_EQ(fake::count("UnregisterOnPLCChanged"), 3u);
}

}  // namespace
