// Job helpers: selectJobByNum, print_jobs and print_jobnodetypes.
#include "wrap_test.h"

namespace {

// ---- selectJobByNum --------------------------------------------------------------

class SelectJobTest : public WrapTest {
protected:
    // The library's job names list; jobs are nodes 200 + the length of their name.
    void names(const std::string& list)
    {
        fake::on("GetJobNamesLen").always(fake::Answer(0).out(static_cast<long long>(list.size())));
        fake::on("GetJobNames").always(fake::Answer(0).text(list));
        fake::on("GetNode").custom(
            [](const fake::Call& c) { return fake::Answer(200 + static_cast<long long>(c.texts[0]->size())); });
    }

    int select(int jobnum, std::string& out)
    {
        int rc = 99;
        out = output([&] { rc = selectJobByNum(HC, jobnum); });
        return rc;
    }

    static std::string selectedName()
    {
        std::vector<fake::Call> lookups = fake::calls("GetNode");
        return lookups.size() == 1 && lookups[0].texts[0] ? *lookups[0].texts[0] : "<" + std::to_string(lookups.size()) + " lookups>";
    }
};

TEST_F(SelectJobTest, EmptyNamesTakeNoPosition)
{
    const char* lists[] = {";first;second;third", "first;second;third;", "first;;second;;;third", ";;first;second;;third;;"};
    for (const char* list : lists) {
        for (int pos = 0; pos < 3; ++pos) {
            fake::reset();
            names(list);
            std::string out;
            EXPECT_EQ(select(pos, out), E_OK);
            EXPECT_EQ(out, "");
            const char* want[] = {"first", "second", "third"};
            EXPECT_EQ(selectedName(), want[pos]) << "list \"" << list << "\" position " << pos;
        }
    }
}

TEST_F(SelectJobTest, SelectsTheHandleOfTheNamedJob)
{
    names("a;bb;ccc");
    std::string out;
    EXPECT_EQ(select(2, out), E_OK);
    EXPECT_EQ(fake::ops(), (std::vector<std::string>{"GetJobNamesLen", "GetJobNames", "GetNode", "SelectNode"}));
    EXPECT_EQ(fake::calls("GetJobNames")[0].ints, (std::vector<long long>{HC, 9}));
    EXPECT_EQ(fake::calls("SelectNode")[0].ints, (std::vector<long long>{HC, 203}));
}

TEST_F(SelectJobTest, PositionWithoutANameSelectsNothingAndFails)
{
    names(";a;b;");
    for (int pos : {2, 3, -1, INT_MIN, INT_MAX}) {
        std::string out;
        EXPECT_EQ(select(pos, out), E_FAILURE) << "position " << pos;
        EXPECT_EQ(out, "");
    }
    EXPECT_EQ(fake::count("GetNode"), 0u);
    EXPECT_EQ(fake::count("SelectNode"), 0u);
}

TEST_F(SelectJobTest, RefusedSelectionIsReported)
{
    names("a;b");
    fake::on("SelectNode").always(E_NOT_RDY);
    std::string out;
    EXPECT_EQ(select(1, out), E_FAILURE);
    EXPECT_EQ(out, "ERROR: SelectNode failed\n");
}

TEST_F(SelectJobTest, UnknownJobShowsAsARefusedSelection)
{
    names("a;b");
    fake::on("GetNode").always(-1);
    fake::on("SelectNode").custom(fake::byInt(1, {{-1, E_INVALID}}, 0));
    std::string out;
    EXPECT_EQ(select(0, out), E_FAILURE);
    EXPECT_EQ(out, "ERROR: SelectNode failed\n");
}

TEST_F(SelectJobTest, ListThatCannotBeHadFailsSilently)
{
    names("a;b");
    fake::on("GetJobNamesLen").always(fake::Answer(E_UNAVAIL).out(3));
    std::string out;
    EXPECT_EQ(select(0, out), E_FAILURE);
    EXPECT_EQ(fake::count("GetJobNames"), 0u);

    fake::on("GetJobNamesLen").always(fake::Answer(0).out(-3)); // a length that is no size
    EXPECT_EQ(select(0, out), E_FAILURE);
    fake::on("GetJobNamesLen").always(fake::Answer(0).out(INT_MAX)); // no buffer can be had
    EXPECT_EQ(select(0, out), E_FAILURE);
    EXPECT_EQ(fake::count("GetJobNames"), 0u);

    fake::on("GetJobNamesLen").always(fake::Answer(0).out(3));
    fake::on("GetJobNames").always(fake::Answer(E_FAILURE).text("a;b"));
    EXPECT_EQ(select(0, out), E_FAILURE);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake::count("SelectNode"), 0u);
}

TEST_F(SelectJobTest, UnterminatedListIsCutAtTheBufferEnd)
{
    names("a;b");
    fake::on("GetJobNames").always(fake::Answer(0).bytes({'a', ';', 'b', ';', 'c', 'd'}));
    std::string out;
    EXPECT_EQ(select(1, out), E_OK);
    EXPECT_EQ(selectedName(), "b");
    EXPECT_EQ(select(2, out), E_FAILURE); // "c" lies past the reported length
}

// ---- print_jobs ------------------------------------------------------------------

class PrintJobsTest : public WrapTest {
protected:
    int print(std::string& out)
    {
        int rc = 99;
        out = output([&] { rc = print_jobs(HC); });
        return rc;
    }
};

TEST_F(PrintJobsTest, OneSelectedJob)
{
    fake::JobInfo j;
    j.fulljobnames = {"jobs.Weld"};
    j.jobnames = {"Weld"};
    j.selectednode = "jobs.Weld";
    fake::on("GetJobInfo").always(j);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "1 job on the controller:\n\t*0: Weld\n");
}

TEST_F(PrintJobsTest, SelectionIsMatchedOnFullNames)
{
    fake::JobInfo j;
    j.fulljobnames = {"jobs.a", "jobs.b", "jobs.c"};
    j.jobnames = {"jobs.b", "b", "c"};
    j.selectednode = "jobs.b";
    fake::on("GetJobInfo").always(j);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "3 jobs on the controller:\n\t 0: jobs.b\n\t*1: b\n\t 2: c\n");
}

TEST_F(PrintJobsTest, OtherNodeSelected)
{
    fake::JobInfo j;
    j.fulljobnames = {"jobs.a", "jobs.b"};
    j.jobnames = {"a", "b"};
    j.selectednode = "sys.Other";
    fake::on("GetJobInfo").always(j);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "2 jobs on the controller:\n\t 0: a\n\t 1: b\n\t Other node selected: sys.Other\n");
}

TEST_F(PrintJobsTest, NothingSelected)
{
    fake::JobInfo j;
    j.fulljobnames = {"jobs.a", "jobs.b"};
    j.jobnames = {"a", "b"};
    j.selectednode = "";
    fake::on("GetJobInfo").always(j);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "2 jobs on the controller:\n\t 0: a\n\t 1: b\n");
}

TEST_F(PrintJobsTest, EmptyList)
{
    fake::on("GetJobInfo").always(fake::JobInfo{});
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "No jobs on the controller.\n");
    EXPECT_EQ(fake::count("DestroyJobInfo"), 1u);
}

TEST_F(PrintJobsTest, NoRecordFailsWithoutOutput)
{
    std::string out;
    EXPECT_EQ(print(out), E_FAILURE);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake::count("DestroyJobInfo"), 0u);
}

TEST_F(PrintJobsTest, MissingTextsPrintAsEmpty)
{
    fake::JobInfo j;
    j.jobcount = 2; // both name arrays missing
    j.selectednode = nullptr;
    fake::on("GetJobInfo").always(j);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "2 jobs on the controller:\n\t 0: \n\t 1: \n");

    fake::JobInfo k;
    k.fulljobnames = {nullptr, "jobs.b"};
    k.jobnames = {nullptr, "b"};
    k.selectednode = "jobs.x";
    fake::on("GetJobInfo").always(k);
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "2 jobs on the controller:\n\t 0: \n\t 1: b\n\t Other node selected: jobs.x\n");
}

// ---- print_jobnodetypes -------------------------------------------------------------

const std::string kSeparator =
    "+-------------------+-----------------+---------------------------------------------------+\n";
const std::string kClosing =
    "+-----------------------------------------------------------------------------------------+\n";

class JobNodeTypesTest : public WrapTest {
protected:
    int print(std::string& out)
    {
        int rc = 99;
        out = output([&] { rc = print_jobnodetypes(HC); });
        return rc;
    }
};

TEST_F(JobNodeTypesTest, TableLinesAreNinetyOneCharactersLong)
{
    EXPECT_EQ(kSeparator.size(), 92u);
    EXPECT_EQ(kClosing.size(), 92u);
}

TEST_F(JobNodeTypesTest, NoTypesGiveOnlyTheClosingLine)
{
    fake::on("GetJobNodeTypesCount").always(fake::Answer(0).out(0));
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, kClosing);
    EXPECT_EQ(fake::calls("GetJobNodeTypesCount")[0].outsAtEntry, (std::vector<long long>{0}));
}

TEST_F(JobNodeTypesTest, TypeWithoutFlagsKeepsTheFlagColumnsBlank)
{
    fake::JobNodeInfo t;
    t.fullname = "JobNodes.Motion.Linear1"; // 23 characters
    fake::on("GetJobNodeTypesCount").always(fake::Answer(0).out(1));
    fake::on("GetJobNodeTypeInfo").always(t);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    const std::string row = "| JobNodes.Motion.Linear1 |               |              |              |                 |\n";
    EXPECT_EQ(row.size(), 92u);
    EXPECT_EQ(out, kSeparator + row + kClosing);
}

TEST_F(JobNodeTypesTest, RowsInPositionOrderSkippingMissingRecords)
{
    fake::JobNodeInfo all;
    all.fullname = "Weld";
    all.usercreatable = 1;
    all.canmakelines = -1;
    all.canpasslines = 2;
    all.acceptssubnodes = 1;
    fake::JobNodeInfo some;
    some.fullname = "JobNodes.Motion.CircularArc"; // longer than its cell
    some.canpasslines = 1;
    fake::on("GetJobNodeTypesCount").always(fake::Answer(0).out(3));
    fake::on("GetJobNodeTypeInfo").custom(fake::byInt(1, {{0, all}, {2, some}}));
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, kSeparator +
                       "| Weld                    | usercreatable | canmakelines | canpasslines | acceptssubnodes |\n" +
                       kSeparator +
                       "| JobNodes.Motion.CircularArc |               |              | canpasslines |                 |\n" +
                       kClosing);
    std::vector<fake::Call> asked = fake::calls("GetJobNodeTypeInfo");
    ASSERT_EQ(asked.size(), 3u);
    EXPECT_EQ(asked[2].ints, (std::vector<long long>{HC, 2}));
}

TEST_F(JobNodeTypesTest, NullNamePrintsAsEmpty)
{
    fake::JobNodeInfo t;
    t.fullname = nullptr;
    fake::on("GetJobNodeTypesCount").always(fake::Answer(0).out(1));
    fake::on("GetJobNodeTypeInfo").always(t);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, kSeparator + "|                         |               |              |              |                 |\n" +
                       kClosing);
}

TEST_F(JobNodeTypesTest, CountThatCannotBeHad)
{
    fake::on("GetJobNodeTypesCount").always(fake::Answer(E_TIMEOUT).out(2));
    std::string out;
    EXPECT_EQ(print(out), E_FAILURE);
    EXPECT_EQ(out, "Failure getting the count of the JobNodeTypes\n");
    EXPECT_EQ(fake::count("GetJobNodeTypeInfo"), 0u);
}

} // namespace
