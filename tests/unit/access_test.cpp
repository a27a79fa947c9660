// Variable access helpers: readStr, readIp, setVar, createVar, deleteVar,
// renameVar and MoveTree.
#include "wrap_test.h"

namespace {

constexpr HNodeObject kNode = 5;

class AccessTest : public WrapTest {
protected:
    void SetUp() override
    {
        WrapTest::SetUp();
        fake::on("GetNode").custom(fake::byText(0, {{"a.b", kNode}, {"t.u", 6}}, -1));
    }
    std::string known = "a.b";
    std::string unknown = "x.y";
};

// ---- readStr / readIp ----------------------------------------------------------

TEST_F(AccessTest, ReadStrHandsTheValueToTheCaller)
{
    fake::on("GetNodeValueStringLen").always(5);
    fake::on("GetNodeValueString").always(fake::Answer(0).text("hello"));
    char* str = nullptr;
    EXPECT_EQ(readStr(HC, known.c_str(), &str), E_OK);
    ASSERT_NE(str, nullptr);
    EXPECT_STREQ(str, "hello");
    free(str);
    EXPECT_EQ(fake::ops(),
              (std::vector<std::string>{"GetNode", "ReadNode", "GetNodeValueStringLen", "GetNodeValueString"}));
    EXPECT_EQ(fake::calls("GetNodeValueString")[0].ints, (std::vector<long long>{HC, kNode, 6}));
}

TEST_F(AccessTest, ReadStrOfAnEmptyValueGivesAOneByteBuffer)
{
    fake::on("GetNodeValueStringLen").always(0);
    fake::on("GetNodeValueString").always(fake::Answer(0).text(""));
    char* str = nullptr;
    EXPECT_EQ(readStr(HC, known.c_str(), &str), E_OK);
    ASSERT_NE(str, nullptr);
    EXPECT_STREQ(str, "");
    free(str);
    EXPECT_EQ(fake::calls("GetNodeValueString")[0].ints[2], 1);
}

TEST_F(AccessTest, ReadStrOfAnUnknownNameLeavesTheCallersPointer)
{
    char* str = nullptr;
    EXPECT_EQ(readStr(HC, unknown.c_str(), &str), E_FAILURE);
    EXPECT_EQ(str, nullptr);
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetNode"}));
}

TEST_F(AccessTest, ReadStrTreatsEveryNegativeLengthAsFailure)
{
    char sentinel = 's';
    for (int len : {E_INVALID, E_FAILURE, -1, E_NOMEM, INT_MIN}) {
        fake::on("GetNodeValueStringLen").always(len);
        char* str = &sentinel;
        EXPECT_EQ(readStr(HC, known.c_str(), &str), E_FAILURE) << "length " << len;
        EXPECT_EQ(str, &sentinel) << "length " << len;
    }
    EXPECT_EQ(fake::count("GetNodeValueString"), 0u);
}

TEST_F(AccessTest, ReadStrWhoseCopyFailsStillHandsOverTheBuffer)
{
    fake::on("GetNodeValueStringLen").always(3);
    fake::on("GetNodeValueString").always(E_UNAVAIL);
    char* str = nullptr;
    EXPECT_EQ(readStr(HC, known.c_str(), &str), E_FAILURE);
    EXPECT_NE(str, nullptr); // the caller's to free; LeakSanitizer checks that it is this buffer
    free(str);
}

TEST_F(AccessTest, ReadStrWithoutABufferAsksForNoCopy)
{
    fake::on("GetNodeValueStringLen").always(INT_MAX); // length + 1 does not fit the size argument
    char sentinel = 's';
    char* str = &sentinel;
    EXPECT_EQ(readStr(HC, known.c_str(), &str), E_FAILURE);
    EXPECT_EQ(str, nullptr);
    EXPECT_EQ(fake::count("GetNodeValueString"), 0u);
}

TEST_F(AccessTest, ReadStrCutsAnUnterminatedTextAtTheBufferEnd)
{
    fake::on("GetNodeValueStringLen").always(3);
    fake::on("GetNodeValueString").always(fake::Answer(0).bytes({'a', 'b', 'c', 'd', 'e'}));
    char* str = nullptr;
    EXPECT_EQ(readStr(HC, known.c_str(), &str), E_OK);
    EXPECT_STREQ(str, "abc");
    free(str);
}

TEST_F(AccessTest, ReadIpReadsTheBoardAddress)
{
    fake::on("GetNode").custom(fake::byText(0, {{"sys.BoardAddr", 9}}, -1));
    fake::on("GetNodeValueStringLen").always(8);
    fake::on("GetNodeValueString").always(fake::Answer(0).text("10.0.0.1"));
    char* ip = nullptr;
    EXPECT_EQ(readIp(HC, &ip), E_OK);
    EXPECT_STREQ(ip, "10.0.0.1");
    free(ip);

    fake::on("GetNode").always(-1);
    ip = nullptr;
    EXPECT_EQ(readIp(HC, &ip), E_FAILURE);
    EXPECT_EQ(ip, nullptr);
}

// ---- setVar ----------------------------------------------------------------------

TEST_F(AccessTest, SetVarSetsReadsFirstAndWrites)
{
    std::string value = "42";
    fake::on("WriteNodeSync").always(E_TIMEOUT);
    EXPECT_EQ(setVar(HC, known.data(), value.data()), E_TIMEOUT);
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetNode", "ReadNode", "SetNodeValueString", "WriteNodeSync"}));
    fake::Call set = fake::calls("SetNodeValueString")[0];
    EXPECT_EQ(set.ints, (std::vector<long long>{HC, kNode}));
    EXPECT_EQ(set.texts[0], "42");
    EXPECT_EQ(fake::calls("WriteNodeSync")[0].ints, (std::vector<long long>{HC, kNode}));

    fake::on("WriteNodeSync").always(0);
    EXPECT_EQ(setVar(HC, known.data(), value.data()), E_OK);
}

TEST_F(AccessTest, SetVarRefusedWritesNothing)
{
    std::string value = "x";
    fake::on("SetNodeValueString").always(E_INVALID);
    EXPECT_EQ(setVar(HC, known.data(), value.data()), E_INVALID);
    EXPECT_EQ(fake::count("WriteNodeSync"), 0u);
}

TEST_F(AccessTest, SetVarOfAnUnknownNameTouchesNothing)
{
    std::string value = "x";
    EXPECT_EQ(setVar(HC, unknown.data(), value.data()), E_FAILURE);
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetNode"}));
}

// ---- createVar / deleteVar / renameVar ----------------------------------------------

TEST_F(AccessTest, CreateVarPassesNameAndTypeWithoutLookup)
{
    std::string name = "job1.node";
    std::string type = "Motion.Line";
    fake::on("CreateJobNodeOnController").always(E_EXIST);
    EXPECT_EQ(createVar(HC, name.data(), type.data()), E_EXIST);
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"CreateJobNodeOnController"}));
    fake::Call c = fake::calls("CreateJobNodeOnController")[0];
    EXPECT_EQ(c.ints, (std::vector<long long>{HC, 0}));
    EXPECT_EQ(c.texts[0], "job1.node");
    EXPECT_EQ(c.texts[1], "Motion.Line");
}

TEST_F(AccessTest, DeleteVarDeletesTheNamedNodeOnly)
{
    fake::on("DeleteSingleNodeOnController").always(E_ACCESS);
    EXPECT_EQ(deleteVar(HC, known.data()), E_ACCESS);
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetNode", "DeleteSingleNodeOnController"}));
    EXPECT_EQ(fake::calls("DeleteSingleNodeOnController")[0].ints, (std::vector<long long>{HC, kNode}));

    EXPECT_EQ(deleteVar(HC, unknown.data()), E_FAILURE);
    EXPECT_EQ(fake::count("DeleteSingleNodeOnController"), 1u);
}

TEST_F(AccessTest, RenameVarRenamesAReadableNode)
{
    std::string newName = "renamed";
    fake::on("RenameNode").always(E_EXIST);
    EXPECT_EQ(renameVar(HC, known.data(), newName.data()), E_EXIST);
    fake::Call c = fake::calls("RenameNode")[0];
    EXPECT_EQ(c.ints, (std::vector<long long>{HC, kNode}));
    EXPECT_EQ(c.texts[0], "renamed");
}

TEST_F(AccessTest, RenameVarFailsWhenTheNodeCannotBeRead)
{
    std::string newName = "renamed";
    fake::on("ReadNode").custom(fake::byInt(1, {{-1, E_INVALID}}, 0)); // the library refuses handle -1
    EXPECT_EQ(renameVar(HC, unknown.data(), newName.data()), E_FAILURE);
    fake::on("ReadNode").always(E_TIMEOUT);
    EXPECT_EQ(renameVar(HC, known.data(), newName.data()), E_FAILURE);
    EXPECT_EQ(fake::count("RenameNode"), 0u);
}

// ---- MoveTree ------------------------------------------------------------------------

class MoveTreeTest : public AccessTest {
protected:
    std::string target = "t.u";
    int moveTo(const char* index, std::string& out)
    {
        std::string idx = index;
        int rc = 0;
        out = output([&] { rc = MoveTree(HC, known.data(), target.data(), idx.data()); });
        return rc;
    }
};

TEST_F(MoveTreeTest, PositionTextIsConvertedByStrtolRules)
{
    const std::pair<const char*, long long> cases[] = {
        {"3abc", 3}, {"abc", 0}, {" 7", 7}, {"-1", -1}, {"+12", 12}, {"", 0}, {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        fake::reset();
        SetUp();
        std::string out;
        EXPECT_EQ(moveTo(c.first, out), E_OK);
        EXPECT_EQ(out, "");
        ASSERT_EQ(fake::count("MoveSubtree"), 1u);
        EXPECT_EQ(fake::calls("MoveSubtree")[0].ints, (std::vector<long long>{HC, kNode, 6, c.second}))
            << "index text \"" << c.first << "\"";
    }
}

TEST_F(MoveTreeTest, LibraryCodeIsPassedThrough)
{
    fake::on("MoveSubtree").always(E_RANGE);
    std::string out;
    EXPECT_EQ(moveTo("1", out), E_RANGE);
}

TEST_F(MoveTreeTest, UnknownNodeOrTargetIsReported)
{
    std::string out;
    target = "nowhere";
    EXPECT_EQ(moveTo("1", out), E_FAILURE);
    EXPECT_EQ(out, "Target not found\n");

    known = "nothing";
    EXPECT_EQ(moveTo("1", out), E_FAILURE);
    EXPECT_EQ(out, "Node not found\n"); // both unknown: only the node is reported
    EXPECT_EQ(fake::count("GetNode"), 3u);
    EXPECT_EQ(fake::count("MoveSubtree"), 0u);
}

} // namespace
