// The machine's node operations: the tree and its index upkeep, values with
// their pending/commit rules, names, collections and node records.
#include <gtest/gtest.h>

#include <thread>

#include "machine.h"
#include "support.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

using test::load;

const char kTree[] = R"({
  "job_node_types": [
    {"name": "Line", "usercreatable": true},
    {"name": "Group", "fullname": "jobnodes.Group", "usercreatable": true, "acceptssubnodes": true},
    {"name": "Fixed"}
  ],
  "nodes": [
    {"name": "a", "type": "FOLDER", "id": 7, "children": [
      {"name": "x", "type": "VT_I32", "value": "1", "min": 0, "max": 100, "unit": "mm"},
      {"name": "y", "type": "VT_I32", "value": "2"},
      {"name": "z", "type": "VT_I32", "value": "3"}
    ]},
    {"name": "b", "type": "FOLDER", "children": [
      {"name": "sub", "type": "FOLDER"}
    ]},
    {"name": "ro", "type": "VT_STR", "priv": "r", "value": "fixed"},
    {"name": "bin", "type": "VT_BIN", "value": "00FF10"},
    {"name": "jobs", "type": "FOLDER", "children": [
      {"name": "J", "type": "VT_JOB", "children": [
        {"name": "G", "type": "JOBNODE", "nodetype": "Group"}
      ]}
    ]}
  ]
})";

class MachineTest : public ::testing::Test {
protected:
    MachineTest() : m(load(kTree), clock.fn()) {}

    int32_t h(const std::string& name) { return m.get_node(name); }
    std::string value(const std::string& name) {
        std::string v;
        EXPECT_EQ(m.value_string(h(name), 1 << 20, v), E_OK) << name;
        return v;
    }
    uint32_t index(const std::string& name) {
        proto::NodeInfo info;
        EXPECT_EQ(m.node_info(h(name), info), E_OK) << name;
        return info.index;
    }
    std::vector<std::string> children(const std::string& name) {
        int32_t c = m.create_collection(s);
        EXPECT_EQ(m.get_subnodes(s, h(name), c), E_OK);
        int32_t n = 0;
        EXPECT_EQ(m.collection_count(s, c, n), E_OK);
        std::vector<std::string> out;
        for (int32_t i = 0; i < n; ++i) {
            int32_t node = -1;
            EXPECT_EQ(m.collection_at(s, c, i, node), E_OK);
            std::string nm;
            EXPECT_EQ(m.name_copy(node, 256, nm), E_OK);
            out.push_back(nm);
            EXPECT_EQ(index(name + "." + nm), static_cast<uint32_t>(i)) << "index out of step with order";
        }
        EXPECT_EQ(m.destroy_collection(s, c), E_OK);
        return out;
    }

    test::ManualClock clock;
    Machine m;
    Session s;
};

using Names = std::vector<std::string>;

TEST_F(MachineTest, HandlesFollowTheTreeAndIdsPassTwoToThe32) {
    EXPECT_EQ(h("a"), 1);
    EXPECT_EQ(h("a.x"), 2);
    EXPECT_EQ(h("b"), 5);
    EXPECT_EQ(h("nope"), -1);
    EXPECT_EQ(h(""), -1);
    EXPECT_EQ(h("a..x"), -1);
    proto::NodeInfo a, x;
    ASSERT_EQ(m.node_info(h("a"), a), E_OK);
    ASSERT_EQ(m.node_info(h("a.x"), x), E_OK);
    EXPECT_EQ(a.nodeid, 7);
    EXPECT_GT(x.nodeid, int64_t(1) << 32);
    EXPECT_EQ(m.get_parent(h("a.x")), h("a"));
    EXPECT_EQ(m.get_parent(h("a")), -1);
    EXPECT_EQ(m.get_parent(-1), -1);
    EXPECT_EQ(m.get_parent(9999), -1);
}

TEST_F(MachineTest, NodeRecordsDescribeEachKind) {
    proto::NodeInfo i;
    ASSERT_EQ(m.node_info(h("a.x"), i), E_OK);
    EXPECT_EQ(i.fullname, "a.x");
    EXPECT_EQ(i.name, "x");
    EXPECT_EQ(i.path, "a");
    EXPECT_EQ(i.value, "1");
    EXPECT_EQ(i.priv, "rw");
    EXPECT_EQ(i.unit, "mm");
    EXPECT_EQ(i.type, VT_I32);
    EXPECT_EQ(i.typestring, "VT_I32");
    EXPECT_EQ(i.min, 0.0f);
    EXPECT_EQ(i.max, 100.0f);
    ASSERT_EQ(m.node_info(h("a"), i), E_OK);
    EXPECT_EQ(i.type, VT_INV);
    EXPECT_EQ(i.typestring, "FOLDER");
    EXPECT_EQ(i.path, "");
    ASSERT_EQ(m.node_info(h("jobs.J"), i), E_OK);
    EXPECT_EQ(i.type, VT_JOB);
    EXPECT_EQ(i.typestring, "VT_JOB");
    ASSERT_EQ(m.node_info(h("jobs.J.G"), i), E_OK);
    EXPECT_EQ(i.typestring, "Group");
    EXPECT_EQ(m.node_info(-1, i), E_NOEXIST);
    EXPECT_EQ(m.read_node(s, -1), E_NOEXIST);
    EXPECT_EQ(m.read_node(s, h("a")), E_OK);
}

TEST_F(MachineTest, CreateVariable) {
    EXPECT_EQ(m.create_node("a.w", VT_R64), E_OK);
    EXPECT_EQ(value("a.w"), "0");
    EXPECT_EQ(children("a"), (Names{"x", "y", "z", "w"}));
    EXPECT_EQ(m.create_node("top", VT_BOOLEAN), E_OK);
    EXPECT_EQ(value("top"), "false");
    EXPECT_EQ(m.get_parent(h("top")), -1);

    EXPECT_EQ(m.create_node("a.x", VT_I32), E_EXIST);
    EXPECT_EQ(m.create_node("missing.v", VT_I32), E_NOEXIST);
    EXPECT_EQ(m.create_node("a.x.v", VT_I32), E_NALLOWED);    // under a variable
    EXPECT_EQ(m.create_node("jobs.J.v", VT_I32), E_NALLOWED); // under a job
    for (int32_t t : {int32_t(VT_INV), int32_t(VT_JOB), int32_t(VT_LAST_), -1, 99}) EXPECT_EQ(m.create_node("a.t", t), E_INVALID) << t;
    for (const char* bad : {"", ".", "a.", ".a", "a..b", "a;b", "a.b\n"}) EXPECT_EQ(m.create_node(bad, VT_I32), E_INVALID) << bad;
    EXPECT_EQ(m.create_node(std::string(256, 'n'), VT_I32), E_INVALID);
}

TEST_F(MachineTest, CreateJobNode) {
    EXPECT_EQ(m.create_job_node("jobs.J.L1", "Line"), E_OK);
    EXPECT_EQ(m.create_job_node("jobs.J.G.L2", "Line"), E_OK);            // Group accepts subnodes
    EXPECT_EQ(m.create_job_node("jobs.J.G2", "jobnodes.Group"), E_OK);    // by full name
    EXPECT_EQ(m.create_job_node("jobs.J.L1.L3", "Line"), E_NALLOWED);     // Line does not
    EXPECT_EQ(m.create_job_node("a.L", "Line"), E_NALLOWED);              // not in a job
    EXPECT_EQ(m.create_job_node("L", "Line"), E_NALLOWED);
    EXPECT_EQ(m.create_job_node("jobs.J.F", "Fixed"), E_ACCESS);          // not user-creatable
    EXPECT_EQ(m.create_job_node("jobs.J.Q", "Nope"), E_INVALID);
    EXPECT_EQ(m.create_job_node("jobs.K.Q", "Line"), E_NOEXIST);
    EXPECT_EQ(m.create_job_node("jobs.J.L1", "Line"), E_EXIST);
    EXPECT_EQ(children("jobs.J"), (Names{"G", "L1", "G2"}));
    proto::NodeInfo i;
    ASSERT_EQ(m.node_info(h("jobs.J.G.L2"), i), E_OK);
    EXPECT_EQ(i.typestring, "Line");
}

TEST_F(MachineTest, DeleteKeepsIndicesAndNeverReusesHandles) {
    int32_t y = h("a.y");
    EXPECT_EQ(m.delete_node(y), E_OK);
    EXPECT_EQ(h("a.y"), -1);
    EXPECT_EQ(m.delete_node(y), E_NOEXIST);
    EXPECT_EQ(children("a"), (Names{"x", "z"}));
    ASSERT_EQ(m.create_node("a.y", VT_I32), E_OK);
    EXPECT_GT(h("a.y"), h("jobs.J.G"));  // a fresh handle, not the old one
    EXPECT_NE(h("a.y"), y);

    EXPECT_EQ(m.delete_node(h("a")), E_NALLOWED);  // has children
    EXPECT_EQ(m.delete_node(h("ro")), E_ACCESS);
    EXPECT_EQ(m.delete_node(-1), E_NOEXIST);
    EXPECT_EQ(m.delete_node(h("b.sub")), E_OK);
    EXPECT_EQ(m.delete_node(h("b")), E_OK);
}

TEST_F(MachineTest, RenameUpdatesTheSubtreeNames) {
    int32_t x = h("a.x");
    EXPECT_EQ(m.rename_node(h("a"), "c"), E_OK);
    EXPECT_EQ(h("a.x"), -1);
    EXPECT_EQ(h("c.x"), x);
    proto::NodeInfo i;
    ASSERT_EQ(m.node_info(x, i), E_OK);
    EXPECT_EQ(i.fullname, "c.x");
    EXPECT_EQ(i.path, "c");
    EXPECT_EQ(m.rename_node(x, "y"), E_EXIST);
    EXPECT_EQ(m.rename_node(x, "x"), E_OK);  // its own name
    EXPECT_EQ(m.rename_node(x, ""), E_INVALID);
    EXPECT_EQ(m.rename_node(x, "p.q"), E_INVALID);
    EXPECT_EQ(m.rename_node(h("ro"), "rw"), E_ACCESS);
    EXPECT_EQ(m.rename_node(-1, "n"), E_NOEXIST);
}

TEST_F(MachineTest, MoveSubtree) {
    int32_t x = h("a.x"), b = h("b");
    EXPECT_EQ(m.move_subtree(x, b, 0), E_OK);
    EXPECT_EQ(children("a"), (Names{"y", "z"}));
    EXPECT_EQ(children("b"), (Names{"x", "sub"}));
    EXPECT_EQ(h("b.x"), x);
    EXPECT_EQ(m.get_parent(x), b);
    EXPECT_EQ(m.move_subtree(h("a.y"), b, -1), E_OK);  // -1 appends
    EXPECT_EQ(children("b"), (Names{"x", "sub", "y"}));
    // Within one parent the position counts the siblings without the node.
    EXPECT_EQ(m.move_subtree(x, b, 2), E_OK);
    EXPECT_EQ(children("b"), (Names{"sub", "y", "x"}));
    EXPECT_EQ(m.move_subtree(x, b, 3), E_RANGE);
    EXPECT_EQ(m.move_subtree(x, h("a"), 2), E_RANGE);  // "a" holds one child
    EXPECT_EQ(m.move_subtree(x, h("a"), -2), E_RANGE);
    EXPECT_EQ(m.move_subtree(b, b, 0), E_INVALID);
    EXPECT_EQ(m.move_subtree(b, h("b.sub"), 0), E_INVALID);
    ASSERT_EQ(m.create_node("a.x", VT_I32), E_OK);
    EXPECT_EQ(m.move_subtree(x, h("a"), 0), E_EXIST);
    EXPECT_EQ(m.move_subtree(x, -1, 0), E_NOEXIST);
    EXPECT_EQ(m.move_subtree(x, h("jobs.J"), 0), E_NALLOWED);
    EXPECT_EQ(m.move_subtree(h("jobs.J.G"), h("a"), 0), E_NALLOWED);
    EXPECT_EQ(m.move_subtree(h("ro"), b, 0), E_ACCESS);
    EXPECT_EQ(m.move_subtree(b, h("a.x"), 0), E_NALLOWED);  // into a variable
}

TEST_F(MachineTest, PendingValuesCommitOnWriteNodeSync) {
    Session other;
    int32_t x = h("a.x");
    ASSERT_EQ(m.set_value(s, x, "42"), E_OK);
    EXPECT_EQ(value("a.x"), "1");  // not yet written
    EXPECT_EQ(m.write_sync(s, x), E_OK);
    EXPECT_EQ(value("a.x"), "42");
    EXPECT_EQ(m.write_sync(other, x), E_OK);  // nothing pending: no change
    EXPECT_EQ(value("a.x"), "42");

    ASSERT_EQ(m.set_value(s, x, "43"), E_OK);
    EXPECT_EQ(m.read_node(s, x), E_OK);  // a read replaces what was set
    EXPECT_EQ(m.write_sync(s, x), E_OK);
    EXPECT_EQ(value("a.x"), "42");

    ASSERT_EQ(m.set_value(s, x, "44"), E_OK);
    ASSERT_EQ(m.delete_node(x), E_OK);
    EXPECT_EQ(m.write_sync(s, x), E_NOEXIST);
}

TEST_F(MachineTest, RefusedValuesChangeNothing) {
    int32_t x = h("a.x");
    EXPECT_EQ(m.set_value(s, x, "abc"), E_INVALID);
    EXPECT_EQ(m.set_value(s, x, "101"), E_RANGE);
    EXPECT_EQ(m.write_sync(s, x), E_OK);
    EXPECT_EQ(value("a.x"), "1");
    EXPECT_EQ(m.set_value(s, h("ro"), "other"), E_ACCESS);
    EXPECT_EQ(m.set_value(s, h("a"), "1"), E_INVALID);
    EXPECT_EQ(m.set_value(s, -1, "1"), E_NOEXIST);
    EXPECT_EQ(m.set_value(s, 12345, "1"), E_NOEXIST);
}

TEST_F(MachineTest, CopiesHonourTheBufferSize) {
    std::string v;
    int32_t ro = h("ro");
    EXPECT_EQ(m.value_string_len(ro), 5);
    EXPECT_EQ(m.value_string(ro, 5, v), E_NOSPACE);  // no room for the terminator
    EXPECT_EQ(m.value_string(ro, 0, v), E_INVALID);
    EXPECT_EQ(m.value_string(ro, -1, v), E_INVALID);
    EXPECT_EQ(m.value_string(ro, 6, v), E_OK);
    EXPECT_EQ(v, "fixed");
    EXPECT_EQ(m.value_string_len(-1), E_INVALID);
    EXPECT_EQ(m.value_string(-1, 10, v), E_NOEXIST);
    EXPECT_EQ(m.value_string_len(h("a")), 0);  // a folder has no value

    std::vector<uint8_t> bytes;
    int32_t bin = h("bin");
    EXPECT_EQ(m.bin_len(bin), 3);
    EXPECT_EQ(m.bin_copy(bin, 2, bytes), E_NOSPACE);
    EXPECT_EQ(m.bin_copy(bin, 0, bytes), E_INVALID);
    EXPECT_EQ(m.bin_copy(bin, 3, bytes), E_OK);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xFF, 0x10}));
    EXPECT_EQ(value("bin"), "00FF10");
    EXPECT_EQ(m.bin_len(ro), 5);  // other types: the text's bytes
    EXPECT_EQ(m.bin_len(-1), E_INVALID);

    EXPECT_EQ(m.name_len(h("a.x")), 1);
    EXPECT_EQ(m.name_copy(h("a.x"), 1, v), E_NOSPACE);
    EXPECT_EQ(m.name_copy(h("a.x"), 2, v), E_OK);
    EXPECT_EQ(v, "x");
    EXPECT_EQ(m.name_len(-1), E_INVALID);
}

TEST_F(MachineTest, CollectionsBelongToTheirSession) {
    Session other;
    int32_t c = m.create_collection(s);
    ASSERT_NE(c, -1);
    int32_t n = -1, node = -1;
    EXPECT_EQ(m.collection_count(s, c, n), E_OK);
    EXPECT_EQ(n, 0);
    EXPECT_EQ(m.get_subnodes(s, h("a"), c), E_OK);
    EXPECT_EQ(m.get_subnodes(s, h("a"), c), E_OK);  // refills, does not append
    EXPECT_EQ(m.collection_count(s, c, n), E_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(m.collection_at(s, c, 3, node), E_RANGE);
    EXPECT_EQ(m.collection_at(s, c, -1, node), E_RANGE);
    EXPECT_EQ(m.collection_count(other, c, n), E_INVALID);
    EXPECT_EQ(m.get_subnodes(s, -1, c), E_NOEXIST);
    EXPECT_EQ(m.get_subnodes(s, h("a"), c + 1), E_INVALID);
    EXPECT_EQ(m.destroy_collection(s, c), E_OK);
    EXPECT_EQ(m.destroy_collection(s, c), E_INVALID);

    std::vector<int32_t> made;
    for (size_t i = 0; i < kMaxCollections; ++i) made.push_back(m.create_collection(s));
    EXPECT_EQ(std::count(made.begin(), made.end(), -1), 0);
    EXPECT_EQ(m.create_collection(s), -1);
    m.end_session(s);
    EXPECT_NE(m.create_collection(s), -1);
}

TEST_F(MachineTest, ConcurrentWritersNeverTearAValue) {
    int32_t x = h("a.x");
    std::atomic<bool> bad{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            Session own;
            std::string text = std::to_string(10 * (t + 1));
            for (int i = 0; i < 300; ++i) {
                if (m.set_value(own, x, text) != E_OK || m.write_sync(own, x) != E_OK) bad = true;
                std::string v;
                if (m.value_string(x, 64, v) != E_OK || (v != "1" && v != "10" && v != "20" && v != "30" && v != "40"))
                    bad = true;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_FALSE(bad);
}

}  // namespace
}  // namespace tessaro::sim
