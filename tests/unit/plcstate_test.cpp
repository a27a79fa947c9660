// PLC state report: bits that name no state, bit numbers outside the word,
// a failed query, and the notification handler's block with its clock.
#include "wrap_test.h"

#include <ctime>
#include <regex>
#include <thread>

namespace {

std::string states(unsigned int word)
{
    return testsupport::captureStdout([&] { printPLCStates(word); });
}

TEST(PlcStates, ReportOrderAndUnknownBits)
{
    EXPECT_EQ(states(0), "");
    EXPECT_EQ(states((1u << PLC_DEVICES_AWAKE) | (1u << PLC_DEVICES_READY) | (1u << PLC_JOB_PRELOAD)),
              "\t devices ready\n\t devices awake\n\t job preload\n");
    EXPECT_EQ(states(0xFFFC0000u), "\t ERROR unknown PLCState detected!\n");
    EXPECT_EQ(states((1u << 31) | (1u << PLC_JOB_FAILED)), "\t job failed\n\t ERROR unknown PLCState detected!\n");
}

TEST(PlcStates, CbsTestsAndClearsOneBitOfTheWordOnly)
{
    const std::pair<int, int> cases[] = {{0, E_OK}, {31, E_OK}, {-1, E_FAILURE}, {32, E_FAILURE}, {INT_MIN, E_FAILURE}};
    for (const auto& c : cases) {
        unsigned int word = 0xFFFFFFFFu;
        EXPECT_EQ(cbs(&word, c.first), c.second) << c.first;
        EXPECT_EQ(word, c.second == E_OK ? ~(1u << c.first) : 0xFFFFFFFFu) << c.first;
    }
    unsigned int clear = 0;
    EXPECT_EQ(cbs(&clear, 3), E_FAILURE);
}

class PlcReportTest : public WrapTest {};

TEST_F(PlcReportTest, FailedQueryPrintsOnlyTheErrorLine)
{
    fake::on("GetPLCState").always(fake::Answer(1).out(0xFFFFFFFFu));
    EXPECT_EQ(output([] { getnPrintPLCStates(HC); }), "ERROR: Could not GetPLCState!\n");
}

int secondsOfDay()
{
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    return t.tm_hour * 3600 + t.tm_min * 60 + t.tm_sec;
}

// Deliveries on the library's thread: each a block with the local time as
// H:M:S without leading zeros, the states, and a closing line.
TEST_F(PlcReportTest, HandlerBlocksFromTheLibrarysThread)
{
    int before = secondsOfDay();
    std::string out = output([] {
        std::thread([] {
            PLCCallback(HC, 1u << PLC_JOB_ACTIVE, 0);
            PLCCallback(HC, 0, 0);
        }).join();
    });
    int after = secondsOfDay();
    static const std::regex header("\n\\*\\*\\*\\* (0|[1-9][0-9]?):(0|[1-9][0-9]?):(0|[1-9][0-9]?)   PLC-State\n");
    for (std::sregex_iterator it(out.begin(), out.end(), header), end; it != end; ++it) {
        int shown = std::stoi((*it)[1]) * 3600 + std::stoi((*it)[2]) * 60 + std::stoi((*it)[3]);
        EXPECT_TRUE(before <= after ? before <= shown && shown <= after : shown >= before || shown <= after)
            << it->str();
    }
    EXPECT_EQ(std::regex_replace(out, header, "<header>"), "<header>\t job active\n****\n<header>****\n");
}

} // namespace
