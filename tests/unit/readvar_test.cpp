// readVar and hexdump: the full node report, binary values, and the dump layout.
#include "wrap_test.h"

namespace {

constexpr HNodeObject kNode = 5;
constexpr HNodeObject kRecordHandle = 50; // the record's own handle, which the parent lookup uses
constexpr HNodeObject kParent = 2;

fake::NodeInfo boardAddr()
{
    fake::NodeInfo n;
    n.handle = kRecordHandle;
    n.nodeid = -78187493530LL; // needs all 64 bits and the sign
    n.fullname = "sys.BoardAddr";
    n.name = "BoardAddr";
    n.path = "sys";
    n.value = "192.168.0.7";
    n.priv = "rw";
    n.unit = "";
    n.type = VT_STR;
    n.typestring = "VT_STR";
    n.min = 0.0f;
    n.max = 2.5f;
    n.index = 3;
    return n;
}

// The report of boardAddr() up to its last line before the parent's.
const std::string kReport =
    "Nodename: sys.BoardAddr\n"
    "Path:     sys\n"
    "Name:     BoardAddr\n"
    "Handle:   50\n"
    "NodeId:   -78187493530\n"
    "Type:     6 (VT_STR)\n"
    "Value:    192.168.0.7\n"
    "Priv:     rw\n"
    "Unit:     \n"
    "Min:      0.000000\n"
    "Max:      2.500000\n"
    "Index:    3\n";

fake::NodeInfo parentOf()
{
    fake::NodeInfo p;
    p.handle = kParent;
    p.fullname = "sys";
    return p;
}

class ReadVarTest : public WrapTest {
protected:
    std::string name = "sys.BoardAddr";

    // The node is known by name; its record and its parent's come by handle.
    void knownNode(const fake::NodeInfo& node, HNodeObject parent = kParent)
    {
        fake::on("GetNode").custom(fake::byText(0, {{"sys.BoardAddr", kNode}}, -1));
        fake::on("GetParentNode").custom(fake::byInt(1, {{kRecordHandle, parent}}, -1));
        fake::on("GetNodeInfo").custom(fake::byInt(1, {{kNode, node}, {kParent, parentOf()}}));
    }

    int run(std::string& out)
    {
        int rc = 0;
        out = output([&] { rc = readVar(HC, name.data(), nullptr); });
        return rc;
    }
};

TEST_F(ReadVarTest, FullReportOfAnOrdinaryVariable)
{
    knownNode(boardAddr());
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, kReport + "Parent:   sys\n");
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetNode", "ReadNode", "GetNodeInfo", "GetParentNode",
                                                     "DestroyNodeInfo", "ReadNode", "GetNodeInfo", "DestroyNodeInfo"}));
    std::vector<fake::Call> reads = fake::calls("ReadNode");
    EXPECT_EQ(reads[0].ints, (std::vector<long long>{HC, kNode}));
    EXPECT_EQ(reads[1].ints, (std::vector<long long>{HC, kParent}));
    EXPECT_EQ(fake::calls("GetParentNode")[0].ints, (std::vector<long long>{HC, kRecordHandle}));
}

TEST_F(ReadVarTest, ParentIsLookedUpBeforeAnythingIsPrinted)
{
    knownNode(boardAddr());
    testsupport::StdoutCapture capture;
    size_t printedBeforeLookup = SIZE_MAX;
    fake::on("GetParentNode").custom([&](const fake::Call&) {
        printedBeforeLookup = capture.bytesSoFar();
        return fake::Answer(-1);
    });
    readVar(HC, name.data(), nullptr);
    std::string out = capture.stop();
    EXPECT_EQ(printedBeforeLookup, 0u);
    EXPECT_NE(out.find("Index:    3\n"), std::string::npos);
}

TEST_F(ReadVarTest, UnknownNamePrintsNothingAndFails)
{
    fake::on("GetNode").always(-1);
    std::string out;
    EXPECT_EQ(run(out), E_FAILURE);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetNode"}));
}

TEST_F(ReadVarTest, NoRecordFailsPrintingNothingAndLooksUpNoParent)
{
    fake::on("GetNode").always(kNode);
    std::string out;
    EXPECT_EQ(run(out), E_FAILURE);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake::count("GetParentNode"), 0u);
}

TEST_F(ReadVarTest, TopOfTreeEndsWithTheIndexLine)
{
    knownNode(boardAddr(), -1);
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, kReport);
    EXPECT_EQ(fake::count("ReadNode"), 1u);
    EXPECT_EQ(fake::count("GetNodeInfo"), 1u);
}

TEST_F(ReadVarTest, ParentWithoutRecordGivesNoParentLine)
{
    knownNode(boardAddr());
    fake::on("GetNodeInfo").custom(fake::byInt(1, {{kNode, boardAddr()}})); // the parent has none
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, kReport);
    EXPECT_EQ(fake::count("GetNodeInfo"), 2u);
}

TEST_F(ReadVarTest, NullTextFieldsPrintAsEmptyTexts)
{
    fake::NodeInfo n;
    n.handle = kRecordHandle;
    n.fullname = n.name = n.path = n.value = n.priv = n.unit = n.typestring = nullptr;
    n.type = VT_I32;
    fake::NodeInfo p = parentOf();
    p.fullname = nullptr;
    fake::on("GetNode").always(kNode);
    fake::on("GetParentNode").always(kParent);
    fake::on("GetNodeInfo").custom(fake::byInt(1, {{kNode, n}, {kParent, p}}));
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out,
              "Nodename: \n"
              "Path:     \n"
              "Name:     \n"
              "Handle:   50\n"
              "NodeId:   0\n"
              "Type:     1 ()\n"
              "Value:    \n"
              "Priv:     \n"
              "Unit:     \n"
              "Min:      0.000000\n"
              "Max:      0.000000\n"
              "Index:    0\n"
              "Parent:   \n");
}

TEST_F(ReadVarTest, IndexWithTopBitSetPrintsNegative)
{
    for (uint32_t index : {0x80000000u, 0xFFFFFFFFu}) {
        fake::reset();
        fake::NodeInfo n = boardAddr();
        n.index = index;
        knownNode(n, -1);
        std::string out;
        run(out);
        const char* want = index == 0xFFFFFFFFu ? "\nIndex:    -1\n" : "\nIndex:    -2147483648\n";
        EXPECT_NE(out.find(want), std::string::npos) << out;
    }
}

TEST_F(ReadVarTest, LimitsPrintWithSixDecimals)
{
    fake::NodeInfo n = boardAddr();
    n.min = -1.25f;
    n.max = 1000000.0f;
    knownNode(n, -1);
    std::string out;
    run(out);
    EXPECT_NE(out.find("\nMin:      -1.250000\nMax:      1000000.000000\n"), std::string::npos) << out;
}

TEST_F(ReadVarTest, CallersPointerIsNeitherReadNorWritten)
{
    knownNode(boardAddr());
    char sentinel = 'x';
    char* str = &sentinel;
    output([&] { readVar(HC, name.data(), &str); });
    EXPECT_EQ(str, &sentinel);
    EXPECT_EQ(sentinel, 'x');
}

// ---- VT_BIN values -----------------------------------------------------------

class ReadVarBinTest : public ReadVarTest {
protected:
    void SetUp() override
    {
        ReadVarTest::SetUp();
        fake::NodeInfo n = boardAddr();
        n.type = VT_BIN;
        n.typestring = "VT_BIN";
        n.value = "should not show";
        knownNode(n, -1);
    }
    static constexpr const char* kHead =
        "Nodename: sys.BoardAddr\n"
        "Path:     sys\n"
        "Name:     BoardAddr\n"
        "Handle:   50\n"
        "NodeId:   -78187493530\n"
        "Type:     9 (VT_BIN)\n";
    static constexpr const char* kTail =
        "Priv:     rw\n"
        "Unit:     \n"
        "Min:      0.000000\n"
        "Max:      2.500000\n"
        "Index:    3\n";
};

TEST_F(ReadVarBinTest, TwentyBytesGiveASizeLineAndTwoDumpLines)
{
    const std::string value = "Hello, binary world!";
    fake::on("GetNodeValueBinCopyLen").always(20);
    fake::on("GetNodeValueBinCopy").always(fake::Answer(0).bytes({value.begin(), value.end()}));
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, std::string(kHead) +
                       "Size: 20\n"
                       "48 65 6C 6C 6F 2C 20 62  69 6E 61 72 79 20 77 6F  Hello, b inary wo\n"
                       "72 6C 64 21                                       rld!\n" +
                       kTail);
    std::vector<fake::Call> copy = fake::calls("GetNodeValueBinCopy");
    ASSERT_EQ(copy.size(), 1u);
    EXPECT_EQ(copy[0].ints, (std::vector<long long>{HC, kNode, 20}));
    EXPECT_EQ(fake::calls("GetNodeValueBinCopyLen")[0].ints, (std::vector<long long>{HC, kNode}));
}

TEST_F(ReadVarBinTest, ShortCopyDumpsZerosNeverStaleMemory)
{
    fake::on("GetNodeValueBinCopyLen").always(20);
    fake::on("GetNodeValueBinCopy").always(fake::Answer(0).bytes({'H', 'i'}));
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, std::string(kHead) +
                       "Size: 20\n"
                       "48 69 00 00 00 00 00 00  00 00 00 00 00 00 00 00  Hi...... ........\n"
                       "00 00 00 00                                       ....\n" +
                       kTail);
}

TEST_F(ReadVarBinTest, EmptyValueGoesStraightOnWithPriv)
{
    fake::on("GetNodeValueBinCopyLen").always(0);
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, std::string(kHead) + kTail);
    EXPECT_EQ(fake::count("GetNodeValueBinCopy"), 0u);
}

TEST_F(ReadVarBinTest, NegativeLengthPrintsNeitherSizeNorDump)
{
    for (int len : {E_INVALID, E_FAILURE, -1, INT_MIN}) {
        fake::on("GetNodeValueBinCopyLen").always(len);
        std::string out;
        EXPECT_EQ(run(out), E_OK);
        EXPECT_EQ(out, std::string(kHead) + kTail) << "length " << len;
    }
    EXPECT_EQ(fake::count("GetNodeValueBinCopy"), 0u);
}

TEST_F(ReadVarBinTest, FailedCopyKeepsTheSizeLineWithoutDump)
{
    fake::on("GetNodeValueBinCopyLen").always(4);
    fake::on("GetNodeValueBinCopy").always(fake::Answer(E_FAILURE).bytes({1, 2, 3, 4}));
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, std::string(kHead) + "Size: 4\n" + kTail);
}

TEST_F(ReadVarBinTest, BufferThatCannotBeAllocatedKeepsTheSizeLineWithoutCopy)
{
    LargeMallocFails limit;
    if (!limit.mallocFails()) {
        GTEST_SKIP() << "malloc of INT_MAX bytes succeeds in this environment";
    }
    fake::on("GetNodeValueBinCopyLen").always(INT_MAX);
    std::string out;
    EXPECT_EQ(run(out), E_OK);
    EXPECT_EQ(out, std::string(kHead) + "Size: 2147483647\n" + kTail);
    EXPECT_EQ(fake::count("GetNodeValueBinCopy"), 0u);
}

// ---- hexdump -------------------------------------------------------------------

std::string dump(const std::vector<unsigned char>& bytes, int count)
{
    return testsupport::captureStdout([&] { hexdump(bytes.data(), count); });
}

std::string dump(const std::string& bytes)
{
    return testsupport::captureStdout([&] { hexdump(bytes.data(), static_cast<int>(bytes.size())); });
}

TEST(HexdumpTest, NothingForZeroOrNegativeCounts)
{
    std::vector<unsigned char> bytes(4, 0x41);
    EXPECT_EQ(dump(bytes, 0), "");
    EXPECT_EQ(dump(bytes, -1), "");
    EXPECT_EQ(dump(bytes, INT_MIN), "");
}

TEST(HexdumpTest, ShortLineIsPaddedToTheHexColumnWidth)
{
    EXPECT_EQ(dump("abc"), "61 62 63                                          abc\n");
}

TEST(HexdumpTest, EightBytesEndWithTheBlankAfterTheEighthCharacter)
{
    std::string out = dump("ABCDEFGH");
    EXPECT_EQ(out, "41 42 43 44 45 46 47 48                           ABCDEFGH \n");
    EXPECT_EQ(out.size(), 50u + 8 + 1 + 1);
}

TEST(HexdumpTest, SixteenBytesFillOneLineOfSixtySevenCharacters)
{
    std::string out = dump("0123456789abcdef");
    EXPECT_EQ(out, "30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  01234567 89abcdef\n");
    EXPECT_EQ(out.size(), 68u);
}

TEST(HexdumpTest, SeventeenBytesGiveASecondLineOfOneByte)
{
    EXPECT_EQ(dump("0123456789abcdefZ"),
              "30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  01234567 89abcdef\n"
              "5A                                                Z\n");
}

TEST(HexdumpTest, OnlyPrintableAsciiShowsAsItself)
{
    std::vector<unsigned char> bytes = {0x1F, 0x20, 0x7E, 0x7F, 0x80, 0xFF, 0x0A, 0x00, 0x41};
    EXPECT_EQ(dump(bytes, static_cast<int>(bytes.size())),
              "1F 20 7E 7F 80 FF 0A 00  41                       . ~..... A\n");
}

TEST(HexdumpTest, ReadsOnlyTheGivenBytes)
{
    // A 33-byte heap block: the sanitizers catch any read past its end.
    std::vector<unsigned char> bytes(33);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<unsigned char>('a' + i % 26);
    }
    std::string out = dump(bytes, 33);
    EXPECT_EQ(out,
              "61 62 63 64 65 66 67 68  69 6A 6B 6C 6D 6E 6F 70  abcdefgh ijklmnop\n"
              "71 72 73 74 75 76 77 78  79 7A 61 62 63 64 65 66  qrstuvwx yzabcdef\n"
              "67                                                g\n");
}

} // namespace
