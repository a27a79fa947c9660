// Variable access helpers: the failures the simulator cannot give (negative
// lengths, allocation failure, unterminated copies). Values read, written and
// created, and the library's refusals of them, are seen end to end.
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
    char* known = fake::str("a.b");
    char* unknown = fake::str("x.y");
};

TEST_F(AccessTest, ReadStr)
{
    char sentinel = 's';
    char* const untouched = &sentinel;
    struct Case {
        const char* what;
        int len;
        fake::Answer copy;
        int rc;
        const char* value; // untouched: *str as before; nullptr: *str NULL
    };
    const Case cases[] = {
        {"unterminated copy is cut", 3, fake::Answer(0).bytes({'a', 'b', 'c', 'd', 'e'}), E_OK, "abc"},
        {"copy refused hands over the buffer", 3, fake::Answer(E_UNAVAIL), E_FAILURE, ""},
        {"length refused", E_INVALID, fake::Answer(0), E_FAILURE, untouched},
        {"any negative length", INT_MIN, fake::Answer(0), E_FAILURE, untouched},
        {"no buffer for length + 1", INT_MAX, fake::Answer(0), E_FAILURE, nullptr},
    };
    for (const Case& c : cases) {
        fake::reset();
        SetUp();
        fake::on("GetNodeValueStringLen").always(c.len);
        fake::on("GetNodeValueString").always(c.copy);
        char* str = untouched;
        EXPECT_EQ(readStr(HC, known, &str), c.rc) << c.what;
        if (c.value == untouched || c.value == nullptr) {
            EXPECT_EQ(str, c.value) << c.what;
            EXPECT_EQ(fake::count("GetNodeValueString"), 0u) << c.what;
        } else {
            ASSERT_NE(str, untouched) << c.what;
            EXPECT_STREQ(str, c.value) << c.what;
            EXPECT_EQ(fake::calls("GetNodeValueString")[0].ints, (Ints{HC, kNode, c.len + 1})) << c.what;
            free(str);
        }
    }
    char* str = untouched;
    EXPECT_EQ(readStr(HC, unknown, &str), E_FAILURE);
    EXPECT_EQ(str, untouched);
    fake::on("GetNode").custom(fake::byText(0, {{"sys.BoardAddr", kNode}}, -1)); // readIp reads this one
    fake::on("GetNodeValueStringLen").always(3);
    fake::on("GetNodeValueString").always(fake::Answer(0).text("abc"));
    str = nullptr;
    ASSERT_EQ(readIp(HC, &str), E_OK);
    EXPECT_STREQ(str, "abc");
    free(str);
}

TEST_F(AccessTest, DeleteAndRenamePassTheLibrarysCode)
{
    fake::on("DeleteSingleNodeOnController").always(E_ACCESS);
    EXPECT_EQ(deleteVar(HC, known), E_ACCESS);
    EXPECT_EQ(deleteVar(HC, unknown), E_FAILURE);
    EXPECT_EQ(fake::count("DeleteSingleNodeOnController"), 1u);

    fake::on("RenameNode").always(E_EXIST);
    EXPECT_EQ(renameVar(HC, known, fake::str("b")), E_EXIST);
    fake::on("ReadNode").always(E_TIMEOUT);
    EXPECT_EQ(renameVar(HC, known, fake::str("b")), E_FAILURE);
    EXPECT_EQ(fake::count("RenameNode"), 1u);
}

TEST_F(AccessTest, MoveTreePositionByStrtolRulesClampedToInt)
{
    const std::pair<const char*, long long> cases[] = {
        {"3abc", 3}, {"abc", 0}, {" -7", -7}, {"+12", 12}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN},
    };
    fake::on("MoveSubtree").always(E_RANGE);
    for (const auto& c : cases) {
        EXPECT_EQ(MoveTree(HC, known, fake::str("t.u"), fake::str(c.first)), E_RANGE);
        EXPECT_EQ(fake::calls("MoveSubtree").back().ints, (Ints{HC, kNode, 6, c.second})) << c.first;
    }
}

TEST_F(AccessTest, MoveTreeReportsTheFirstUnknownName)
{
    EXPECT_EQ(output([&] { MoveTree(HC, known, unknown, fake::str("1")); }), "Target not found\n");
    EXPECT_EQ(output([&] { MoveTree(HC, unknown, unknown, fake::str("1")); }), "Node not found\n");
    EXPECT_EQ(fake::count("GetNode"), 3u);
    EXPECT_EQ(fake::count("MoveSubtree"), 0u);
}

} // namespace
