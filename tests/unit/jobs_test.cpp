// Job helpers: the job names list and its edges, NULL names in the job
// record, and job node type rows the simulator cannot produce.
#include "wrap_test.h"

namespace {

class JobsTest : public WrapTest {
protected:
    // The job names list; a job is node 200 + the length of its name.
    static void names(const std::string& list)
    {
        fake::on("GetJobNamesLen").always(fake::Answer(0).out(static_cast<long long>(list.size())));
        fake::on("GetJobNames").always(fake::Answer(0).text(list));
        fake::on("GetNode").custom(
            [](const fake::Call& c) { return fake::Answer(200 + static_cast<long long>(c.texts[0]->size())); });
    }

    // selectJobByNum's result, its output, and the name it selected ("" for none).
    static std::string select(int pos, int rc)
    {
        std::string out = testsupport::captureStdout([&] { EXPECT_EQ(selectJobByNum(HC, pos), rc) << pos; });
        std::vector<fake::Call> lookups = fake::calls("GetNode");
        std::string name = lookups.empty() ? "" : *lookups.back().texts[0];
        fake::reset();
        return out + name;
    }
};

TEST_F(JobsTest, SelectJobByNumSkipsEmptyNames)
{
    for (const char* list : {";first;second;third", "first;;second;;;third;;"}) {
        const char* want[] = {"first", "second", "third"};
        for (int pos = 0; pos < 3; ++pos) {
            names(list);
            EXPECT_EQ(select(pos, E_OK), want[pos]) << list;
        }
        for (int pos : {3, -1, INT_MIN}) {
            names(list);
            EXPECT_EQ(select(pos, E_FAILURE), "") << list;
        }
    }
    names("a;bb;ccc");
    EXPECT_EQ(selectJobByNum(HC, 2), E_OK);
    EXPECT_EQ(fake::ops(), (Ops{"GetJobNamesLen", "GetJobNames", "GetNode", "SelectNode"}));
    EXPECT_EQ(fake::calls("GetJobNames")[0].ints, (Ints{HC, 9}));
    EXPECT_EQ(fake::calls("SelectNode")[0].ints, (Ints{HC, 203}));
}

TEST_F(JobsTest, SelectJobByNumFailures)
{
    struct Case {
        const char* what;
        fake::Answer len, copy, selected;
        int pos;
        std::string printed;
    };
    const Case cases[] = {
        {"length refused", fake::Answer(E_UNAVAIL).out(3), fake::Answer(0).text("a;b"), 0, 0, ""},
        {"negative length", fake::Answer(0).out(-3), fake::Answer(0).text("a;b"), 0, 0, ""},
        {"no buffer for the length", fake::Answer(0).out(INT_MAX), fake::Answer(0).text("a;b"), 0, 0, ""},
        {"copy refused", fake::Answer(0).out(3), fake::Answer(E_FAILURE).text("a;b"), 0, 0, ""},
        {"name past the length", fake::Answer(0).out(3), fake::Answer(0).bytes({'a', ';', 'b', ';', 'c'}), 0, 2, ""},
        {"selection refused", fake::Answer(0).out(3), fake::Answer(0).text("a;b"), E_NOT_RDY, 1, "ERROR: SelectNode failed\n"},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::on("GetJobNamesLen").always(c.len);
        fake::on("GetJobNames").always(c.copy);
        fake::on("SelectNode").always(c.selected);
        EXPECT_EQ(output([&] { EXPECT_EQ(selectJobByNum(HC, c.pos), E_FAILURE) << c.what; }), c.printed) << c.what;
        EXPECT_EQ(fake::count("GetJobNames"), c.len.result == 0 && c.len.outs[0] == 3 ? 1u : 0u) << c.what;
    }
}

TEST_F(JobsTest, PrintJobsWithNullNames)
{
    XAL_JOBINFO noArrays{};
    noArrays.jobcount = 2;
    char* full[] = {nullptr, fake::str("jobs.b")};
    char* shortNames[] = {nullptr, fake::str("b")};
    XAL_JOBINFO nullEntries{2, full, shortNames, fake::str("jobs.x")};
    const std::pair<XAL_JOBINFO, std::string> cases[] = {
        {noArrays, "2 jobs on the controller:\n\t 0: \n\t 1: \n"},
        {nullEntries, "2 jobs on the controller:\n\t 0: \n\t 1: b\n\t Other node selected: jobs.x\n"},
    };
    for (const auto& c : cases) {
        fake::on("GetJobInfo").always(c.first);
        EXPECT_EQ(output([] { EXPECT_EQ(print_jobs(HC), E_OK); }), c.second);
    }
    fake::on("GetJobInfo").always(fake::Answer());
    EXPECT_EQ(output([] { EXPECT_EQ(print_jobs(HC), E_FAILURE); }), "");
}

const std::string kSeparator =
    "+-------------------+-----------------+---------------------------------------------------+\n";
const std::string kClosing =
    "+-----------------------------------------------------------------------------------------+\n";

TEST_F(JobsTest, JobNodeTypesSkipMissingRecordsAndShowNullNamesEmpty)
{
    XAL_JOBNODEINFO all{nullptr, nullptr, 1, -1, 2, 1};
    XAL_JOBNODEINFO some{fake::str("JobNodes.Motion.CircularArc"), nullptr, 0, 0, 1, 0};
    fake::on("GetJobNodeTypesCount").always(fake::Answer(0).out(3));
    fake::on("GetJobNodeTypeInfo").custom(fake::byInt(1, {{0, all}, {2, some}}));
    EXPECT_EQ(output([] { EXPECT_EQ(print_jobnodetypes(HC), E_OK); }),
              kSeparator + "|                         | usercreatable | canmakelines | canpasslines | acceptssubnodes |\n" +
                  kSeparator +
                  "| JobNodes.Motion.CircularArc |               |              | canpasslines |                 |\n" +
                  kClosing);
    EXPECT_EQ(fake::calls("GetJobNodeTypeInfo")[2].ints, (Ints{HC, 2}));

    fake::on("GetJobNodeTypesCount").always(fake::Answer(E_TIMEOUT).out(2));
    EXPECT_EQ(output([] { EXPECT_EQ(print_jobnodetypes(HC), E_FAILURE); }),
              "Failure getting the count of the JobNodeTypes\n");
    EXPECT_EQ(fake::count("GetJobNodeTypeInfo"), 3u);
}

} // namespace
