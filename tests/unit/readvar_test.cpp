// readVar and hexdump where the simulator cannot lead: NULL texts, records
// that are missing, failing or short binary copies, allocation failure, and
// the dump's line layout at its edges.
#include "wrap_test.h"

namespace {

constexpr HNodeObject kNode = 5;
constexpr HNodeObject kRecordHandle = 50; // the record's own handle, which the parent lookup uses
constexpr HNodeObject kParent = 2;

class ReadVarTest : public WrapTest {
protected:
    XAL_NODEINFO node{};
    XAL_NODEINFO parent{};

    void SetUp() override
    {
        WrapTest::SetUp();
        node.handle = kRecordHandle;
        node.type = VT_BIN;
        node.typestring = fake::str("VT_BIN");
        parent.fullname = fake::str("sys");
        fake::on("GetNode").always(kNode);
        fake::on("GetParentNode").custom(fake::byInt(1, {{kRecordHandle, kParent}}, -1));
    }

    std::string report(int expected = E_OK)
    {
        fake::on("GetNodeInfo").custom(fake::byInt(1, {{kNode, node}, {kParent, parent}}));
        int rc = 99;
        std::string out = output([&] { rc = readVar(HC, fake::str("a.b"), nullptr); });
        EXPECT_EQ(rc, expected);
        return out;
    }
};

TEST_F(ReadVarTest, NullTextsPrintEmptyAndATopBitIndexNegative)
{
    node.type = VT_I32;
    node.typestring = nullptr;
    node.index = 0xFFFFFFFFu;
    parent.fullname = nullptr;
    EXPECT_EQ(report(),
              "Nodename: \nPath:     \nName:     \nHandle:   50\nNodeId:   0\nType:     1 ()\nValue:    \n"
              "Priv:     \nUnit:     \nMin:      0.000000\nMax:      0.000000\nIndex:    -1\nParent:   \n");
    EXPECT_EQ(fake::calls("ReadNode")[1].ints, (Ints{HC, kParent}));
}

// A node at the top (no parent), or whose parent has no record, has no
// parent line; a node without a record of its own fails end to end.
TEST_F(ReadVarTest, NoParentLine)
{
    node.type = VT_I32;
    for (HNodeObject p : {HNodeObject(-1), kParent}) {
        fake::on("GetParentNode").always(p);
        fake::on("GetNodeInfo").custom(fake::byInt(1, {{kNode, node}}));
        std::string out = output([&] { EXPECT_EQ(readVar(HC, fake::str("a.b"), nullptr), E_OK); });
        EXPECT_EQ(out.substr(out.rfind("Index")), "Index:    0\n");
    }
    EXPECT_EQ(fake::count("ReadNode"), 3u); // the node twice, the parent once
}

const std::string kHead = "Nodename: \nPath:     \nName:     \nHandle:   50\nNodeId:   0\nType:     9 (VT_BIN)\n";
const std::string kTail = "Priv:     \nUnit:     \nMin:      0.000000\nMax:      0.000000\nIndex:    0\nParent:   sys\n";

TEST_F(ReadVarTest, BinaryValues)
{
    struct Case {
        const char* what;
        int len;
        fake::Answer copy;
        std::string middle;
    };
    const Case cases[] = {
        {"short copy shows zeros", 20, fake::Answer(0).bytes({'H', 'i'}),
         "Size: 20\n"
         "48 69 00 00 00 00 00 00  00 00 00 00 00 00 00 00  Hi...... ........\n"
         "00 00 00 00                                       ....\n"},
        {"empty", 0, fake::Answer(0), ""},
        {"negative length", E_INVALID, fake::Answer(0), ""},
        {"copy refused", 4, fake::Answer(E_FAILURE).bytes({1, 2, 3, 4}), "Size: 4\n"},
    };
    for (const Case& c : cases) {
        fake::on("GetNodeValueBinCopyLen").always(c.len);
        fake::on("GetNodeValueBinCopy").always(c.copy);
        EXPECT_EQ(report(), kHead + c.middle + kTail) << c.what;
    }
    EXPECT_EQ(fake::count("GetNodeValueBinCopy"), 2u);
    EXPECT_EQ(fake::calls("GetNodeValueBinCopy")[0].ints, (Ints{HC, kNode, 20}));
}

TEST_F(ReadVarTest, BinaryBufferThatCannotBeAllocated)
{
#if !defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "only the address sanitizer's allocator refuses INT_MAX bytes (sanitizer_options.cpp)";
#endif
    fake::on("GetNodeValueBinCopyLen").always(INT_MAX);
    EXPECT_EQ(report(), kHead + "Size: 2147483647\n" + kTail);
    EXPECT_EQ(fake::count("GetNodeValueBinCopy"), 0u);
}

// Whole lines and a short last one are seen end to end (a binary value's report).
TEST(Hexdump, LineLayoutAtItsEdges)
{
    const std::pair<std::string, std::string> cases[] = {
        {"ABCDEFGH", "41 42 43 44 45 46 47 48                           ABCDEFGH \n"},
        {std::string("\x1F\x20\x7E\x7F\x80\xFF\x0A\x00\x41", 9),
         "1F 20 7E 7F 80 FF 0A 00  41                       . ~..... A\n"},
    };
    for (const auto& c : cases) {
        // A heap copy of exactly the bytes: the sanitizers catch a read past it.
        std::vector<char> bytes(c.first.begin(), c.first.end());
        EXPECT_EQ(testsupport::captureStdout([&] { hexdump(bytes.data(), static_cast<int>(bytes.size())); }), c.second);
    }
    for (int count : {0, -1, INT_MIN}) {
        EXPECT_EQ(testsupport::captureStdout([&] { hexdump("abc", count); }), "");
    }
}

} // namespace
