// Event handlers: what each writes and returns, on success and on each
// failure of the library calls it makes.
#include "wrap_test.h"

#include <functional>

namespace {

constexpr HNodeObject kNode = 5;

struct Case {
    const char* what;
    std::function<void()> script;
    std::function<int()> handler;
    std::string out;
    int rc = 0;
};

class HandlersTest : public WrapTest {
protected:
    void check(const std::vector<Case>& cases)
    {
        for (const Case& c : cases) {
            fake::reset();
            base();
            c.script();
            int rc = 99;
            EXPECT_EQ(output([&] { rc = c.handler(); }), c.out) << c.what;
            EXPECT_EQ(rc, c.rc) << c.what;
            EXPECT_TRUE(fake::recordsGivenBackOnce()) << c.what;
        }
    }

    // Node kNode is "m.speed" with value "42"; devices 7 and 8 have records.
    static void base()
    {
        fake::on("GetNodeNameLen").always(7);
        fake::on("GetNodeName").always(fake::Answer(0).text("m.speed"));
        fake::on("GetNodeValueStringLen").always(2);
        fake::on("GetNodeValueString").always(fake::Answer(0).text("42"));
        fake::on("GetDeviceInfo").custom(fake::byInt(
            1, {{7, XAL_SINGLEDEVICEINFO{7, fake::str("axis1"), fake::str("ecat"), XAL_DEV_ACTIVE, nullptr, 0, 0, nullptr,
                                         nullptr, 0, nullptr, 0, nullptr}},
                {8, XAL_SINGLEDEVICEINFO{}}}));
    }
};

const auto none = [] {};

TEST_F(HandlersTest, TextOnlyHandlers)
{
    int up = 0;
    check({
        {"log", none, [] { return on_log(XAL_LOG_ERROR, "2024-05-06 07:08:09", "disk full", nullptr); },
         "2024-05-06 07:08:09 -> disk full\n"},
        {"log without texts", none, [] { return on_log(XAL_LOG_INFO, nullptr, nullptr, nullptr); }, " -> \n"},
        {"error", none, [] { return ErrorCallback(E_TIMEOUT, nullptr, HC); }, "ERROR: -7 \n"},
        {"request log", none, [&] { return on_requestlog(HC, "entry", &up); }, ""},
        {"state", none, [&] { return state_callback(HC, kNode, 1, 2, 3, &up); }, ""},
        {"created", [] { fake::on("GetNode").always(42); }, [] { return NodeCreatedCallback(HC, "a.new"); },
         "Tessaro: Node Created a.new (HNO: 42)\n"},
        {"created, no node", [] { fake::on("GetNode").always(-1); }, [] { return NodeCreatedCallback(HC, "a.x"); },
         "Tessaro: Node Created a.x (HNO: -1)\nInvalid Handle\n", -1},
    });
}

TEST_F(HandlersTest, SystemMessage)
{
    auto message = [](long long len, fake::Answer copy) {
        return [=] {
            fake::on("GetSystemMessageXMLLen").always(len);
            fake::on("GetSystemMessageXML").always(copy);
        };
    };
    auto handler = [] { return OnSystemMessageCallback(9, nullptr); };
    check({
        {"text without a line end", message(4, fake::Answer(0).text("<a/>")), handler, "SysMessage:\n+++++++++++:\n<a/>"},
        {"empty", message(0, fake::Answer(0).text("<a/>")), handler, ""},
        {"length refused", message(E_FAILURE, fake::Answer(0).text("<a/>")), handler, ""},
        {"no buffer", message(INT_MAX, fake::Answer(0).text("<a/>")), handler, ""},
        {"copy refused", message(4, fake::Answer(E_FAILURE).text("<a/>")), handler, ""},
    });
    EXPECT_EQ(fake::calls("GetSystemMessageXML")[0].ints, (Ints{9, 5}));
}

// Both report through one routine: its failures are taken through the rename.
TEST_F(HandlersTest, RenameAndDelete)
{
    auto len = [](long long n) { return [=] { fake::on("GetNodeNameLen").always(n); }; };
    auto copyFails = [] { fake::on("GetNodeName").always(E_NOEXIST); };
    auto renamed = [] { return rename_callback(HC, kNode); };
    auto deleted = [] { return delete_callback(HC, kNode); };
    check({
        {"renamed", none, renamed, "RENAMECALLBACK\nRenamed: m.speed\n"},
        {"renamed, empty name", [] { fake::on("GetNodeNameLen").always(0); fake::on("GetNodeName").always(fake::Answer(0).text("")); },
         renamed, "RENAMECALLBACK\nRenamed: \n"},
        {"renamed, copy refused", copyFails, renamed, "RENAMECALLBACK\nCould not get nodename\n"},
        {"renamed, length refused", len(E_INVALID), renamed, "RENAMECALLBACK\n"},
        {"renamed, no buffer", len(INT_MAX), renamed, "RENAMECALLBACK\n"},
        {"deleted", none, deleted, "Delete Callback\nDeletecallback: m.speed deleted\n"},
        {"deleted, empty name", len(0), deleted, "Delete Callback\n"},
    });
    EXPECT_EQ(fake::count("GetNodeName"), 0u);
}

TEST_F(HandlersTest, Watch)
{
    int up = 0;
    const std::string grown(2 + 1024, 'v');
    auto watch2 = [] { return watch_callback2(HC, kNode); };
    check({
        {"userpointer null", none, [] { return watch_callback1(HC, kNode, nullptr); },
         "Userpointer passt \nWatch1: m.speed = 42 \n"},
        {"userpointer set", none, [&] { return watch_callback1(HC, kNode, &up); },
         "Userpointer passt nicht\nWatch1: m.speed = 42 \n"},
        {"value grown by the slack", [&] { fake::on("GetNodeValueString").always(fake::Answer(0).text(grown)); }, watch2,
         "Watch2: m.speed = " + grown + " \n"},
        {"value length refused", [] { fake::on("GetNodeValueStringLen").always(-3); }, watch2,
         "ERROR: Could not get length of string in callback!\n"},
        {"value copy refused", [] { fake::on("GetNodeValueString").always(E_FAILURE); }, watch2,
         "ERROR: Could not print value of var in callback!\n"},
        {"no value buffer", [] { fake::on("GetNodeValueStringLen").always(INT_MAX - 1000); }, watch2, ""},
        {"name length refused", [] { fake::on("GetNodeNameLen").always(-9); }, watch2, ""},
        {"no name buffer", [] { fake::on("GetNodeNameLen").always(INT_MAX); }, watch2, ""},
        {"name copy refused", [] { fake::on("GetNodeName").always(E_UNAVAIL); }, watch2,
         "ERROR: Could not get node name in var callback!\n"},
    });
    EXPECT_EQ(fake::calls("GetNodeValueString")[0].ints, (Ints{HC, kNode, 2 + 1024 + 1}));
}

TEST_F(HandlersTest, NodeModifiedAndMoved)
{
    XAL_NODEINFO axis{};
    axis.name = fake::str("axis");
    axis.fullname = fake::str("m.axis");
    axis.index = 0xFFFFFFFFu;
    XAL_NODEINFO oldp{};
    oldp.name = fake::str("oldp");
    auto records = [=] { fake::on("GetNodeInfo").custom(fake::byInt(1, {{kNode, axis}, {20, oldp}, {30, XAL_NODEINFO{}}})); };
    auto moved = [](HNodeObject hno, HNodeObject from, HNodeObject to, void* up = nullptr) {
        return [=] { return NodeMovedCallback(HC, hno, from, to, up); };
    };
    int up = 0;
    check({
        {"modified", records, [] { return on_nodemodified(HC, kNode, nullptr, 0); }, "NodeModified: m.axis\n"},
        {"modified, no record", none, [] { return on_nodemodified(HC, kNode, nullptr, 0); }, ""},
        {"same parent", records, moved(kNode, 20, 20), "NodeMoved: axis\nNodeMoved: axis\nIndex changed to: -1\n"},
        {"other parent", records, moved(kNode, 20, 30), "NodeMoved: axis\nNodeMoved: OldParent oldp\nNodeMoved: NewParent \n"},
        {"userpointer set", records, moved(kNode, 20, 20, &up),
         "Userpointer has wrong value. Should be NULL.\nNodeMoved: axis\nNodeMoved: axis\nIndex changed to: -1\n"},
        {"invalid handles", records, moved(-1, -1, -1), "HNO is invalid\nHNOoldparent and HNOnewparent are invalid\n"},
        {"invalid parents", records, moved(kNode, -1, 30), "NodeMoved: axis\nHNOoldparent is invalid\nNodeMoved: NewParent \n"},
        {"invalid new parent", records, moved(-1, 20, -1), "HNO is invalid\nNodeMoved: OldParent oldp\nHNOnewparent is invalid\n"},
        {"no records", none, moved(kNode, 20, 30), ""},
    });
    for (const fake::Call& c : fake::calls("GetNodeInfo")) {
        EXPECT_NE(c.ints[1], -1);
    }
}

TEST_F(HandlersTest, Devices)
{
    check({
        {"created", none, [] { return on_devicecreate(HC, 7, nullptr); }, "New Device: axis1 (ecat)\n"},
        {"deleted", none, [] { return on_devicedelete(HC, 8, nullptr); }, "Device Deleted:  ()\n"},
        {"activated", none, [] { return on_deviceactivated(HC, 7, nullptr); }, "Device Activated: axis1 (ecat)\n"},
        {"deactivated", none, [] { return on_devicedeactivated(HC, 7, nullptr); }, "Device Deactivated: axis1 (ecat)\n"},
        {"no record", none, [] { return on_devicecreate(HC, 99, nullptr); }, ""},
        {"dependency added", none, [] { return on_devicedepadded(HC, 7, 99, "sys.deps", nullptr); },
         " Device Dep Added (Deps Var: sys.deps)\n   Main Device: axis1 (ecat)\n"},
        {"dependency removed", none, [] { return on_devicedepremoved(HC, 99, 7, nullptr, nullptr); },
         " Device Dep Removed (Deps Var: )\n   Sub Device: axis1 (ecat)\n"},
    });
}

} // namespace
