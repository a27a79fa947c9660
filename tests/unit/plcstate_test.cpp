// PLC state report: cbs, printPLCStates, getnPrintPLCStates and PLCCallback.
#include "wrap_test.h"

#include <ctime>
#include <regex>

namespace {

const char* const kAllStates =
    "\t devices ready\n"
    "\t job ready\n"
    "\t job active\n"
    "\t job completed\n"
    "\t job failed\n"
    "\t devices failure\n"
    "\t devices awake\n"
    "\t devices setup\n"
    "\t sys safe\n"
    "\t job paused\n"
    "\t job piloted\n"
    "\t job reloading\n"
    "\t job stopping\n"
    "\t ready for power off\n"
    "\t system ready\n"
    "\t attention\n"
    "\t system safe request\n"
    "\t job preload\n";

std::string states(unsigned int word)
{
    return testsupport::captureStdout([&] { printPLCStates(word); });
}

TEST(CbsTest, ClearsExactlyTheBitThatIsSet)
{
    for (int bit : {0, 4, 17, 31}) {
        unsigned int word = 0xFFFFFFFFu;
        EXPECT_EQ(cbs(&word, bit), E_OK);
        EXPECT_EQ(word, ~(1u << bit));
        EXPECT_EQ(cbs(&word, bit), E_FAILURE); // now clear: unchanged
        EXPECT_EQ(word, ~(1u << bit));
    }
}

TEST(CbsTest, BitOutsideTheWordFailsAndLeavesItAlone)
{
    for (int bit : {-1, 32, 33, INT_MIN, INT_MAX}) {
        unsigned int word = 0xFFFFFFFFu;
        EXPECT_EQ(cbs(&word, bit), E_FAILURE) << "bit " << bit;
        EXPECT_EQ(word, 0xFFFFFFFFu);
    }
}

TEST(PrintPLCStatesTest, NoBitPrintsNothing)
{
    EXPECT_EQ(states(0), "");
}

TEST(PrintPLCStatesTest, TableOrderNotBitOrder)
{
    EXPECT_EQ(states((1u << PLC_DEVICES_AWAKE) | (1u << PLC_DEVICES_READY)), "\t devices ready\n\t devices awake\n");
    EXPECT_EQ(states((1u << PLC_JOB_PRELOAD) | (1u << PLC_DEVICES_FAILURE) | (1u << PLC_JOB_FAILED)),
              "\t job failed\n\t devices failure\n\t job preload\n");
}

TEST(PrintPLCStatesTest, EachNamedBitAlone)
{
    // The report rows in order, with the bit each one stands for.
    const int order[] = {2, 4, 5, 6, 7, 1, 0, 3, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
    std::string all = kAllStates;
    size_t start = 0;
    for (int bit : order) {
        size_t end = all.find('\n', start) + 1;
        EXPECT_EQ(states(1u << bit), all.substr(start, end - start)) << "bit " << bit;
        start = end;
    }
}

TEST(PrintPLCStatesTest, UnknownBitsGiveOneErrorLine)
{
    EXPECT_EQ(states((1u << 18) | (1u << 25) | (1u << 31)), "\t ERROR unknown PLCState detected!\n");
    EXPECT_EQ(states((1u << 31) | (1u << PLC_JOB_READY)), "\t job ready\n\t ERROR unknown PLCState detected!\n");
}

TEST(PrintPLCStatesTest, AllThirtyTwoBits)
{
    EXPECT_EQ(states(0xFFFFFFFFu), std::string(kAllStates) + "\t ERROR unknown PLCState detected!\n");
}

class GetPLCStatesTest : public WrapTest {};

TEST_F(GetPLCStatesTest, PrintsTheFetchedWord)
{
    fake::on("GetPLCState").always(fake::Answer(0).out((1u << PLC_JOB_READY) | (1u << PLC_SYSTEM_READY)).out(0xFFFF));
    std::string out = output([] { getnPrintPLCStates(HC); });
    EXPECT_EQ(out, "\t job ready\n\t system ready\n");
    fake::Call c = fake::calls("GetPLCState")[0];
    EXPECT_EQ(c.ints, (std::vector<long long>{HC}));
    EXPECT_EQ(c.outsAtEntry, (std::vector<long long>{0, 0}));
}

TEST_F(GetPLCStatesTest, FailedQueryPrintsOnlyTheErrorLine)
{
    for (int rc : {E_FAILURE, E_TIMEOUT, 1}) {
        fake::on("GetPLCState").always(fake::Answer(rc).out(0xFFFFFFFFu));
        EXPECT_EQ(output([] { getnPrintPLCStates(HC); }), "ERROR: Could not GetPLCState!\n") << "result " << rc;
    }
}

// ---- PLCCallback ------------------------------------------------------------------

struct Clock {
    int h, m, s;
};

Clock localNow()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return {t.tm_hour, t.tm_min, t.tm_sec};
}

// Checks the header's shape (numbers without leading zeros) and that it shows
// a local time between the two readings taken around the call.
void expectBlock(const std::string& out, const Clock& before, const Clock& after, const std::string& body)
{
    static const std::regex shape("\n\\*\\*\\*\\* (0|[1-9][0-9]?):(0|[1-9][0-9]?):(0|[1-9][0-9]?)   PLC-State\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_search(out, m, shape)) << out;
    EXPECT_EQ(m.position(0), 0);
    Clock shown{std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3])};
    auto secs = [](const Clock& c) { return c.h * 3600 + c.m * 60 + c.s; };
    bool inRange = secs(before) <= secs(after) ? secs(before) <= secs(shown) && secs(shown) <= secs(after)
                                               : secs(shown) >= secs(before) || secs(shown) <= secs(after);
    EXPECT_TRUE(inRange) << "shown " << m.str(0);
    EXPECT_EQ(out.substr(static_cast<size_t>(m.length(0))), body + "****\n");
}

TEST(PLCCallbackTest, EmptyWordGivesHeaderAndClosingLineOnly)
{
    int rc = 99;
    Clock before = localNow();
    std::string out = testsupport::captureStdout([&] { rc = PLCCallback(3, 0, 0); });
    Clock after = localNow();
    EXPECT_EQ(rc, 0);
    expectBlock(out, before, after, "");
}

TEST(PLCCallbackTest, StatesStandBetweenHeaderAndClosingLine)
{
    Clock before = localNow();
    std::string out = testsupport::captureStdout(
        [&] { PLCCallback(3, (1u << PLC_DEVICES_READY) | (1u << PLC_JOB_READY), 0xFFFFFFFFu); });
    Clock after = localNow();
    expectBlock(out, before, after, "\t devices ready\n\t job ready\n");
}

class PLCCallbackDeliveryTest : public WrapTest {};

TEST_F(PLCCallbackDeliveryTest, RunsOnTheLibrarysThread)
{
    std::string out = output([] {
        fake::PlcNotifier notifier({1u << PLC_JOB_ACTIVE, 0u});
        RegisterOnPLCChanged(HC, PLCCallback);
        notifier.join();
        UnregisterOnPLCChanged(HC);
    });
    static const std::regex block("\n\\*\\*\\*\\* [0-9]+:[0-9]+:[0-9]+   PLC-State\n");
    std::string rest = std::regex_replace(out, block, "<header>");
    EXPECT_EQ(rest, "<header>\t job active\n****\n<header>****\n");
}

} // namespace
