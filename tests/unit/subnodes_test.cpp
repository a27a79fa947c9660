// varSubnodes: the listing, its gaps, and the release of the collection on every path.
#include "wrap_test.h"

namespace {

constexpr HNodeObjectCollection kColl = 77;
constexpr HNodeObject kParent = 5;

class SubnodesTest : public WrapTest {
protected:
    std::string name = "a.b";

    // A node with `count` children whose handles are 101, 102, ... and whose names are c1, c2, ...
    void children(int count)
    {
        fake::on("CreateNodeObjectCollection").always(kColl);
        fake::on("GetNode").custom(fake::byText(0, {{"a.b", kParent}}, -1));
        fake::on("GetNodeObjectCount").always(fake::Answer(0).out(count));
        fake::on("GetNodeObjectAtIndex").custom([](const fake::Call& c) { return fake::Answer(0).out(101 + c.ints[2]); });
        fake::on("GetNodeNameLen").custom([](const fake::Call& c) {
            return fake::Answer(static_cast<long long>(std::to_string(c.ints[1] - 100).size() + 1));
        });
        fake::on("GetNodeName").custom([](const fake::Call& c) {
            return fake::Answer(0).text("c" + std::to_string(c.ints[1] - 100));
        });
    }

    int list(std::string& out)
    {
        int rc = 99;
        out = output([&] { rc = varSubnodes(HC, name.c_str()); });
        return rc;
    }

    // The collection went back once, with its own handle, and nothing used it afterwards.
    static void releasedOnceAtTheEnd()
    {
        std::vector<fake::Call> destroys = fake::calls("DestroyNodeObjectCollection");
        ASSERT_EQ(destroys.size(), 1u);
        EXPECT_EQ(destroys[0].ints, (std::vector<long long>{HC, kColl}));
        std::vector<std::string> ops = fake::ops();
        EXPECT_EQ(ops.back(), "DestroyNodeObjectCollection");
    }
};

TEST_F(SubnodesTest, ThreeChildrenAreNumberedFromOne)
{
    children(3);
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_EQ(out,
              "  1: c1 (101)\n"
              "  2: c2 (102)\n"
              "  3: c3 (103)\n");
    releasedOnceAtTheEnd();
    EXPECT_EQ(fake::calls("GetSubnodes")[0].ints, (std::vector<long long>{HC, kParent, kColl}));
    EXPECT_EQ(fake::calls("GetNodeObjectAtIndex")[2].ints, (std::vector<long long>{HC, kColl, 2}));
    EXPECT_EQ(fake::calls("GetNodeName")[0].ints, (std::vector<long long>{HC, 101, 3}));
}

TEST_F(SubnodesTest, NoChildrenPrintNothing)
{
    children(0);
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_EQ(out, "");
    releasedOnceAtTheEnd();
}

TEST_F(SubnodesTest, EntriesWhoseNameCannotBeHadLeaveGaps)
{
    children(5);
    // 102: length refused; 103: any other negative length; 104: copy refused; 105: no buffer possible.
    fake::on("GetNodeNameLen").custom(fake::byInt(1, {{101, 2}, {102, E_INVALID}, {103, -2}, {104, 2}, {105, INT_MAX}}));
    fake::on("GetNodeName").custom(fake::byInt(1, {{101, fake::Answer(0).text("c1")}}, E_FAILURE));
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_EQ(out, "  1: c1 (101)\n");
    std::vector<fake::Call> names = fake::calls("GetNodeName");
    ASSERT_EQ(names.size(), 2u); // no copy for a failed length, nor without a buffer
    EXPECT_EQ(names[1].ints[1], 104);
    releasedOnceAtTheEnd();
}

TEST_F(SubnodesTest, HundredthLineIsOneCharacterWider)
{
    children(100);
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_NE(out.find("\n  9: c9 (109)\n 10: c10 (110)\n"), std::string::npos);
    EXPECT_NE(out.find("\n 99: c99 (199)\n 100: c100 (200)\n"), std::string::npos);
    EXPECT_EQ(out.compare(out.size() - 17, 17, " 100: c100 (200)\n"), 0);
    releasedOnceAtTheEnd();
}

TEST_F(SubnodesTest, CollectionThatCannotBeCreated)
{
    fake::on("CreateNodeObjectCollection").always(-1);
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_EQ(out, "Could not create NodeObjectCollection\n");
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"CreateNodeObjectCollection"}));
}

TEST_F(SubnodesTest, UnknownName)
{
    children(3);
    name = "x.y";
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_EQ(out, "Could not find x.y\n");
    releasedOnceAtTheEnd();
    EXPECT_EQ(fake::count("GetSubnodes"), 0u);
}

TEST_F(SubnodesTest, ChildrenThatCannotBeGathered)
{
    children(3);
    fake::on("GetSubnodes").always(E_FAILURE);
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_EQ(out, "Could not get subnodes\n");
    releasedOnceAtTheEnd();
}

TEST_F(SubnodesTest, CountThatCannotBeHadIsTheOnlyNonZeroResult)
{
    children(3);
    fake::on("GetNodeObjectCount").always(fake::Answer(E_TIMEOUT).out(3));
    std::string out;
    EXPECT_EQ(list(out), -1);
    EXPECT_EQ(out, "\t ERROR getting Count\n");
    releasedOnceAtTheEnd();
}

TEST_F(SubnodesTest, EntryThatCannotBeFetchedEndsTheListing)
{
    children(3);
    fake::on("GetNodeObjectAtIndex").custom([](const fake::Call& c) {
        return c.ints[2] == 1 ? fake::Answer(E_RANGE) : fake::Answer(0).out(101 + c.ints[2]);
    });
    std::string out;
    EXPECT_EQ(list(out), 0);
    EXPECT_EQ(out, "  1: c1 (101)\nError getting NodeObject\n");
    releasedOnceAtTheEnd();
    EXPECT_EQ(fake::count("GetNodeObjectAtIndex"), 2u);
}

} // namespace
