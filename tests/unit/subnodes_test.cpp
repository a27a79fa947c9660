// varSubnodes: entries whose name cannot be had, and the collection given
// back exactly once, last, on every path that created it.
#include "wrap_test.h"

namespace {

constexpr HNodeObjectCollection kColl = 77;

class SubnodesTest : public WrapTest {
protected:
    // Node "a.b" (5) has `count` children 101, 102, ... named c1, c2, ...
    void SetUp() override
    {
        WrapTest::SetUp();
        fake::on("CreateNodeObjectCollection").always(kColl);
        fake::on("GetNode").custom(fake::byText(0, {{"a.b", 5}}, -1));
        fake::on("GetNodeObjectCount").always(fake::Answer(0).out(3));
        fake::on("GetNodeObjectAtIndex").custom([](const fake::Call& c) { return fake::Answer(0).out(101 + c.ints[2]); });
        fake::on("GetNodeNameLen").always(2);
        fake::on("GetNodeName").custom(
            [](const fake::Call& c) { return fake::Answer(0).text("c" + std::to_string(c.ints[1] - 100)); });
    }

    std::string list(const char* name, int expected = 0)
    {
        int rc = 99;
        std::string out = output([&] { rc = varSubnodes(HC, name); });
        EXPECT_EQ(rc, expected);
        std::vector<fake::Call> destroys = fake::calls("DestroyNodeObjectCollection");
        EXPECT_EQ(destroys.size(), 1u);
        EXPECT_EQ(fake::ops().back(), "DestroyNodeObjectCollection");
        EXPECT_EQ(destroys.at(0).ints, (Ints{HC, kColl}));
        return out;
    }
};

TEST_F(SubnodesTest, EntriesWhoseNameCannotBeHadLeaveGaps)
{
    fake::on("GetNodeObjectCount").always(fake::Answer(0).out(5));
    // 102: length refused; 103: any negative length; 104: copy refused; 105: no buffer possible.
    fake::on("GetNodeNameLen").custom(fake::byInt(1, {{101, 2}, {102, E_INVALID}, {103, -2}, {104, 2}, {105, INT_MAX}}));
    fake::on("GetNodeName").custom(fake::byInt(1, {{101, fake::Answer(0).text("c1")}}, E_FAILURE));
    EXPECT_EQ(list("a.b"), "  1: c1 (101)\n");
    std::vector<fake::Call> names = fake::calls("GetNodeName");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].ints, (Ints{HC, 101, 3}));
    EXPECT_EQ(names[1].ints[1], 104);
}

TEST_F(SubnodesTest, EveryFailureGivesTheCollectionBack)
{
    EXPECT_EQ(list("x.y"), "Could not find x.y\n");

    SetUp();
    fake::on("GetSubnodes").always(E_FAILURE);
    EXPECT_EQ(list("a.b"), "Could not get subnodes\n");

    SetUp();
    fake::on("GetNodeObjectCount").always(fake::Answer(E_TIMEOUT).out(3));
    EXPECT_EQ(list("a.b", -1), "\t ERROR getting Count\n");

    SetUp();
    fake::on("GetNodeObjectAtIndex").custom(
        [](const fake::Call& c) { return c.ints[2] == 1 ? fake::Answer(E_RANGE) : fake::Answer(0).out(101); });
    EXPECT_EQ(list("a.b"), "  1: c1 (101)\nError getting NodeObject\n");

    SetUp();
    fake::on("CreateNodeObjectCollection").always(-1);
    EXPECT_EQ(output([] { EXPECT_EQ(varSubnodes(HC, "a.b"), 0); }), "Could not create NodeObjectCollection\n");
    EXPECT_EQ(fake::ops(), Ops{"CreateNodeObjectCollection"});
}

} // namespace
