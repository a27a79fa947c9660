// Event handlers: what each writes and returns, on success and on every failure.
#include "wrap_test.h"

namespace {

constexpr HNodeObject kNode = 5;

class HandlersTest : public WrapTest {
protected:
    template <class F> std::string run(F&& handler, int expected = 0)
    {
        int rc = 99;
        std::string out = output([&] { rc = handler(); });
        EXPECT_EQ(rc, expected);
        return out;
    }

    // GetNodeNameLen / GetNodeName for a node called `name`.
    static void nodeName(const std::string& name)
    {
        fake::on("GetNodeNameLen").always(static_cast<long long>(name.size()));
        fake::on("GetNodeName").always(fake::Answer(0).text(name));
    }
};

// ---- Handlers without library calls --------------------------------------------------

TEST_F(HandlersTest, LogErrorAndSilentHandlers)
{
    int up = 0;
    EXPECT_EQ(run([&] { return on_log(XAL_LOG_ERROR, "2024-05-06 07:08:09", "disk full", &up); }),
              "2024-05-06 07:08:09 -> disk full\n");
    EXPECT_EQ(run([&] { return on_log(XAL_LOG_INFO, nullptr, nullptr, nullptr); }), " -> \n");
    EXPECT_EQ(run([] { return ErrorCallback(E_TIMEOUT, "no answer", HC); }), "ERROR: -7 no answer\n");
    EXPECT_EQ(run([] { return ErrorCallback(3, nullptr, HC); }), "ERROR: 3 \n");
    EXPECT_EQ(run([&] { return on_requestlog(HC, "entry", &up); }), "");
    EXPECT_EQ(run([&] { return state_callback(HC, kNode, 1, 2, 3, &up); }), "");
    EXPECT_TRUE(fake::calls().empty());
}

// ---- NodeCreatedCallback ---------------------------------------------------------------

TEST_F(HandlersTest, NodeCreatedResolvesTheName)
{
    fake::on("GetNode").custom(fake::byText(0, {{"a.new", 42}}, -1));
    EXPECT_EQ(run([] { return NodeCreatedCallback(HC, "a.new"); }), "Tessaro: Node Created a.new (HNO: 42)\n");
    EXPECT_EQ(run([] { return NodeCreatedCallback(HC, "a.gone"); }, -1),
              "Tessaro: Node Created a.gone (HNO: -1)\nInvalid Handle\n");
}

// ---- OnSystemMessageCallback -------------------------------------------------------------

TEST_F(HandlersTest, SystemMessageTextHasNoLineEndOfItsOwn)
{
    const std::string xml = "<msg id=\"7\"/>";
    fake::on("GetSystemMessageXMLLen").always(static_cast<long long>(xml.size()));
    fake::on("GetSystemMessageXML").always(fake::Answer(0).text(xml));
    EXPECT_EQ(run([] { return OnSystemMessageCallback(9, nullptr); }), "SysMessage:\n+++++++++++:\n<msg id=\"7\"/>");
    EXPECT_EQ(fake::calls("GetSystemMessageXML")[0].ints, (std::vector<long long>{9, 14}));
    EXPECT_EQ(fake::calls("GetSystemMessageXMLLen")[0].ints, (std::vector<long long>{9}));
}

TEST_F(HandlersTest, SystemMessageWithoutTextWritesNothing)
{
    for (int len : {0, -1, E_FAILURE, INT_MAX}) {
        fake::on("GetSystemMessageXMLLen").always(len);
        EXPECT_EQ(run([] { return OnSystemMessageCallback(9, nullptr); }), "") << "length " << len;
    }
    EXPECT_EQ(fake::count("GetSystemMessageXML"), 0u);

    fake::on("GetSystemMessageXMLLen").always(4);
    fake::on("GetSystemMessageXML").always(fake::Answer(E_FAILURE).text("<a/>"));
    EXPECT_EQ(run([] { return OnSystemMessageCallback(9, nullptr); }), "");
}

// ---- delete_callback / rename_callback -------------------------------------------------------

TEST_F(HandlersTest, DeleteCallback)
{
    nodeName("a.b");
    EXPECT_EQ(run([] { return delete_callback(HC, kNode); }), "Delete Callback\nDeletecallback: a.b deleted\n");
    EXPECT_EQ(fake::calls("GetNodeName")[0].ints, (std::vector<long long>{HC, kNode, 4}));

    fake::on("GetNodeName").always(E_NOEXIST);
    EXPECT_EQ(run([] { return delete_callback(HC, kNode); }), "Delete Callback\nCould not get nodename\n");
}

TEST_F(HandlersTest, DeleteCallbackEndsOnAnEmptyOrFailedLength)
{
    fake::on("GetNodeName").always(fake::Answer(0).text(""));
    for (int len : {0, E_INVALID, E_FAILURE, -2, INT_MAX}) {
        fake::on("GetNodeNameLen").always(len);
        EXPECT_EQ(run([] { return delete_callback(HC, kNode); }), "Delete Callback\n") << "length " << len;
    }
    EXPECT_EQ(fake::count("GetNodeName"), 0u);
}

TEST_F(HandlersTest, RenameCallback)
{
    nodeName("a.renamed");
    EXPECT_EQ(run([] { return rename_callback(HC, kNode); }), "RENAMECALLBACK\nRenamed: a.renamed\n");
    fake::on("GetNodeName").always(E_FAILURE);
    EXPECT_EQ(run([] { return rename_callback(HC, kNode); }), "RENAMECALLBACK\nCould not get nodename\n");
}

TEST_F(HandlersTest, RenameCallbackWithAnEmptyNameStillReports)
{
    nodeName("");
    EXPECT_EQ(run([] { return rename_callback(HC, kNode); }), "RENAMECALLBACK\nRenamed: \n");
}

TEST_F(HandlersTest, RenameCallbackEndsOnAFailedLength)
{
    for (int len : {E_INVALID, E_FAILURE, -1, INT_MAX}) {
        fake::on("GetNodeNameLen").always(len);
        EXPECT_EQ(run([] { return rename_callback(HC, kNode); }), "RENAMECALLBACK\n") << "length " << len;
    }
    EXPECT_EQ(fake::count("GetNodeName"), 0u);
}

// ---- watch_callback1 / watch_callback2 ------------------------------------------------------

class WatchTest : public HandlersTest {
protected:
    void SetUp() override
    {
        HandlersTest::SetUp();
        nodeName("m.speed");
        fake::on("GetNodeValueStringLen").always(2);
        fake::on("GetNodeValueString").always(fake::Answer(0).text("42"));
    }
};

TEST_F(WatchTest, ValueLinesAndUserpointerCheck)
{
    int up = 0;
    EXPECT_EQ(run([] { return watch_callback1(HC, kNode, nullptr); }), "Userpointer passt \nWatch1: m.speed = 42 \n");
    EXPECT_EQ(run([&] { return watch_callback1(HC, kNode, &up); }), "Userpointer passt nicht\nWatch1: m.speed = 42 \n");
    EXPECT_EQ(run([] { return watch_callback2(HC, kNode); }), "Watch2: m.speed = 42 \n");
    fake::Call copy = fake::calls("GetNodeValueString")[0];
    EXPECT_EQ(copy.ints, (std::vector<long long>{HC, kNode, 2 + 1024 + 1}));
}

TEST_F(WatchTest, ValueLongerThanReportedIsWrittenWhole)
{
    const std::string grown(2 + 1024, 'v');
    fake::on("GetNodeValueString").always(fake::Answer(0).text(grown));
    EXPECT_EQ(run([] { return watch_callback2(HC, kNode); }), "Watch2: m.speed = " + grown + " \n");
}

TEST_F(WatchTest, ValueLengthThatCannotBeHad)
{
    for (int len : {E_INVALID, E_FAILURE, -3}) {
        fake::on("GetNodeValueStringLen").always(len);
        EXPECT_EQ(run([] { return watch_callback2(HC, kNode); }), "ERROR: Could not get length of string in callback!\n");
    }
    EXPECT_EQ(run([] { return watch_callback1(HC, kNode, nullptr); }),
              "Userpointer passt \nERROR: Could not get length of string in callback!\n");
    EXPECT_EQ(fake::count("GetNodeValueString"), 0u);
}

TEST_F(WatchTest, ValueThatCannotBeCopied)
{
    fake::on("GetNodeValueString").always(E_FAILURE);
    EXPECT_EQ(run([] { return watch_callback2(HC, kNode); }), "ERROR: Could not print value of var in callback!\n");
    EXPECT_EQ(fake::count("GetNodeNameLen"), 0u);
}

TEST_F(WatchTest, ValueBufferThatCannotBeHad)
{
    fake::on("GetNodeValueStringLen").always(INT_MAX - 1000); // length + 1025 does not fit the size argument
    EXPECT_EQ(run([] { return watch_callback2(HC, kNode); }), "");
    EXPECT_EQ(fake::count("GetNodeValueString"), 0u);
}

TEST_F(WatchTest, NameThatCannotBeHad)
{
    for (int len : {E_INVALID, E_FAILURE, -9, INT_MAX}) {
        fake::on("GetNodeNameLen").always(len);
        EXPECT_EQ(run([] { return watch_callback2(HC, kNode); }), "") << "length " << len;
    }
    EXPECT_EQ(fake::count("GetNodeName"), 0u);

    fake::on("GetNodeNameLen").always(7);
    fake::on("GetNodeName").always(E_UNAVAIL);
    EXPECT_EQ(run([] { return watch_callback2(HC, kNode); }), "ERROR: Could not get node name in var callback!\n");
}

// ---- on_nodemodified / NodeMovedCallback --------------------------------------------------------

fake::NodeInfo node(const char* name, const char* fullname = "", uint32_t index = 0)
{
    fake::NodeInfo n;
    n.name = name;
    n.fullname = fullname;
    n.index = index;
    return n;
}

TEST_F(HandlersTest, NodeModifiedShowsTheFullName)
{
    fake::on("GetNodeInfo").always(node("speed", "m.speed"));
    EXPECT_EQ(run([] { return on_nodemodified(HC, kNode, nullptr, 0); }), "NodeModified: m.speed\n");
    EXPECT_EQ(fake::calls("GetNodeInfo")[0].ints, (std::vector<long long>{HC, kNode}));
    fake::on("GetNodeInfo").always(fake::Answer());
    EXPECT_EQ(run([] { return on_nodemodified(HC, kNode, nullptr, 0); }), "");
}

class NodeMovedTest : public HandlersTest {
protected:
    static constexpr HNodeObject kOld = 20;
    static constexpr HNodeObject kNew = 30;
    void SetUp() override
    {
        HandlersTest::SetUp();
        fake::on("GetNodeInfo").custom(
            fake::byInt(1, {{kNode, node("axis", "m.axis", 4)}, {kOld, node("oldp")}, {kNew, node("newp")}}));
    }
    static std::string moved(HNodeObject hno, HNodeObject oldp, HNodeObject newp, void* up = nullptr)
    {
        int rc = 99;
        std::string out = testsupport::captureStdout([&] { rc = NodeMovedCallback(HC, hno, oldp, newp, up); });
        EXPECT_EQ(rc, 0);
        return out;
    }
};

TEST_F(NodeMovedTest, SameParentReportsTheNewIndex)
{
    EXPECT_EQ(moved(kNode, kOld, kOld), "NodeMoved: axis\nNodeMoved: axis\nIndex changed to: 4\n");
    EXPECT_EQ(fake::count("GetNodeInfo"), 2u);
}

TEST_F(NodeMovedTest, WrongUserpointerIsWarnedAboutFirst)
{
    int up = 0;
    const std::string plain = moved(kNode, kOld, kOld);
    EXPECT_EQ(moved(kNode, kOld, kOld, &up), "Userpointer has wrong value. Should be NULL.\n" + plain);
    const std::string parents = moved(kNode, kOld, kNew);
    EXPECT_EQ(moved(kNode, kOld, kNew, &up), "Userpointer has wrong value. Should be NULL.\n" + parents);
}

TEST_F(NodeMovedTest, BothParentsInvalid)
{
    EXPECT_EQ(moved(kNode, -1, -1), "NodeMoved: axis\nHNOoldparent and HNOnewparent are invalid\n");
}

TEST_F(NodeMovedTest, DifferentParents)
{
    EXPECT_EQ(moved(kNode, kOld, kNew), "NodeMoved: axis\nNodeMoved: OldParent oldp\nNodeMoved: NewParent newp\n");
    EXPECT_EQ(moved(kNode, -1, kNew), "NodeMoved: axis\nHNOoldparent is invalid\nNodeMoved: NewParent newp\n");
    EXPECT_EQ(moved(kNode, kOld, -1), "NodeMoved: axis\nNodeMoved: OldParent oldp\nHNOnewparent is invalid\n");
}

TEST_F(NodeMovedTest, InvalidNode)
{
    EXPECT_EQ(moved(-1, kOld, kNew), "HNO is invalid\nNodeMoved: OldParent oldp\nNodeMoved: NewParent newp\n");
    EXPECT_EQ(moved(-1, -1, -1), "HNO is invalid\nHNOoldparent and HNOnewparent are invalid\n");
    for (const fake::Call& c : fake::calls("GetNodeInfo")) {
        EXPECT_NE(c.ints[1], -1);
    }
}

TEST_F(NodeMovedTest, MissingRecordsDropTheirLines)
{
    fake::on("GetNodeInfo").always(fake::Answer());
    EXPECT_EQ(moved(kNode, kOld, kOld), "");
    EXPECT_EQ(moved(kNode, kOld, kNew), "");
    fake::on("GetNodeInfo").custom(fake::byInt(1, {{kNew, node(nullptr)}}));
    EXPECT_EQ(moved(kNode, kOld, kNew), "NodeMoved: NewParent \n");
}

TEST_F(NodeMovedTest, IndexWithTopBitSetPrintsNegative)
{
    fake::on("GetNodeInfo").always(node("axis", "m.axis", 0xFFFFFFFFu));
    EXPECT_EQ(moved(kNode, kOld, kOld), "NodeMoved: axis\nNodeMoved: axis\nIndex changed to: -1\n");
}

// ---- Device handlers ------------------------------------------------------------------

class DeviceHandlersTest : public HandlersTest {
protected:
    static constexpr HDevice kMain = 7;
    static constexpr HDevice kSub = 8;
    void SetUp() override
    {
        HandlersTest::SetUp();
        fake::DeviceEntry m;
        m.name = "axis1";
        m.driver = "ecat";
        fake::DeviceEntry s;
        s.name = "io3";
        s.driver = nullptr;
        fake::on("GetDeviceInfo").custom(fake::byInt(1, {{kMain, m}, {kSub, s}}));
    }
};

TEST_F(DeviceHandlersTest, SingleDeviceLines)
{
    EXPECT_EQ(run([] { return on_devicecreate(HC, kMain, nullptr); }), "New Device: axis1 (ecat)\n");
    EXPECT_EQ(run([] { return on_devicedelete(HC, kMain, nullptr); }), "Device Deleted: axis1 (ecat)\n");
    EXPECT_EQ(run([] { return on_deviceactivated(HC, kMain, nullptr); }), "Device Activated: axis1 (ecat)\n");
    EXPECT_EQ(run([] { return on_devicedeactivated(HC, kSub, nullptr); }), "Device Deactivated: io3 ()\n");
    EXPECT_EQ(fake::count("DestroySingleDeviceInfo"), 4u);
}

TEST_F(DeviceHandlersTest, DeviceWithoutRecordWritesNothing)
{
    const HDevice none = 99;
    EXPECT_EQ(run([&] { return on_devicecreate(HC, none, nullptr); }), "");
    EXPECT_EQ(run([&] { return on_devicedelete(HC, none, nullptr); }), "");
    EXPECT_EQ(run([&] { return on_deviceactivated(HC, none, nullptr); }), "");
    EXPECT_EQ(run([&] { return on_devicedeactivated(HC, none, nullptr); }), "");
}

TEST_F(DeviceHandlersTest, DependencyLines)
{
    EXPECT_EQ(run([] { return on_devicedepadded(HC, kMain, kSub, "sys.deps", nullptr); }),
              " Device Dep Added (Deps Var: sys.deps)\n   Main Device: axis1 (ecat)\n   Sub Device: io3 ()\n");
    EXPECT_EQ(run([] { return on_devicedepremoved(HC, kMain, kSub, "sys.deps", nullptr); }),
              " Device Dep Removed (Deps Var: sys.deps)\n   Main Device: axis1 (ecat)\n   Sub Device: io3 ()\n");
    std::vector<fake::Call> fetched = fake::calls("GetDeviceInfo");
    ASSERT_EQ(fetched.size(), 4u);
    EXPECT_EQ(fetched[0].ints, (std::vector<long long>{HC, kMain}));
    EXPECT_EQ(fetched[1].ints, (std::vector<long long>{HC, kSub}));
}

TEST_F(DeviceHandlersTest, DependencyWithoutRecordsWritesOnlyItsFirstLine)
{
    EXPECT_EQ(run([] { return on_devicedepadded(HC, 98, 99, "d", nullptr); }), " Device Dep Added (Deps Var: d)\n");
    EXPECT_EQ(run([] { return on_devicedepremoved(HC, 98, kSub, nullptr, nullptr); }),
              " Device Dep Removed (Deps Var: )\n   Sub Device: io3 ()\n");
}

} // namespace
