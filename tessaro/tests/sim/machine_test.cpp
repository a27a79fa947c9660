// The machine's node operations: the tree and its index upkeep, values with
// their pending/commit rules, copies into sized buffers and collections.
#include <gtest/gtest.h>

#include "support.h"

namespace tessaro::sim {
namespace {

const char kTree[] = R"({
  "job_node_types": [{"name": "Line", "usercreatable": true}, {"name": "Fixed"},
    {"name": "Group", "fullname": "jobnodes.Group", "usercreatable": true, "acceptssubnodes": true}],
  "nodes": [
    {"name": "a", "type": "FOLDER", "id": 7, "children": [
      {"name": "x", "type": "VT_I32", "value": "1", "min": 0, "max": 100, "unit": "mm"},
      {"name": "y", "type": "VT_I32", "value": "2"}, {"name": "z", "type": "VT_I32", "value": "3"}]},
    {"name": "b", "type": "FOLDER", "children": [{"name": "sub", "type": "FOLDER"}]},
    {"name": "ro", "type": "VT_STR", "priv": "r", "value": "fixed"},
    {"name": "bin", "type": "VT_BIN", "value": "00FF10"},
    {"name": "jobs", "type": "FOLDER", "children": [
      {"name": "J", "type": "VT_JOB", "children": [{"name": "G", "type": "JOBNODE", "nodetype": "Group"}]}]}]
})";

using Names = std::vector<std::string>;

class MachineTest : public ::testing::Test {
protected:
    MachineTest() : m(test::load(kTree)) {}

    int32_t h(const std::string& name) { return m.get_node(name); }
    std::string value(const std::string& name) {
        std::string v;
        EXPECT_EQ(m.value_string(h(name), 1 << 20, v), E_OK) << name;
        return v;
    }
    proto::NodeInfo info(int32_t node) {
        proto::NodeInfo i;
        EXPECT_EQ(m.node_info(node, i), E_OK) << node;
        return i;
    }
    // The children in order, checking that each one's index is its position.
    Names children(const std::string& name) {
        int32_t c = m.create_collection(s), n = 0;
        EXPECT_EQ(m.get_subnodes(s, h(name), c), E_OK);
        EXPECT_EQ(m.collection_count(s, c, n), E_OK);
        Names out;
        for (int32_t i = 0, node = -1; i < n; ++i) {
            EXPECT_EQ(m.collection_at(s, c, i, node), E_OK);
            out.push_back(info(node).name);
            EXPECT_EQ(info(node).index, static_cast<uint32_t>(i)) << "index out of step with order";
        }
        EXPECT_EQ(m.destroy_collection(s, c), E_OK);
        return out;
    }

    Machine m;
    Session s;
};

TEST_F(MachineTest, HandlesAndRecordsFollowTheTree) {
    EXPECT_EQ(h("a.x"), 2);
    EXPECT_EQ(h("b"), 5);
    for (const char* missing : {"nope", "", "a..x", "a.x."}) EXPECT_EQ(h(missing), -1) << missing;
    EXPECT_EQ(m.get_parent(h("a.x")), h("a"));
    for (int32_t top : {h("a"), -1, 9999}) EXPECT_EQ(m.get_parent(top), -1);
    proto::NodeInfo x = info(h("a.x")), a = info(h("a")), none;
    EXPECT_EQ(a.nodeid, 7);
    EXPECT_GT(x.nodeid, int64_t(1) << 32);
    EXPECT_EQ(x.fullname + "|" + x.name + "|" + x.path + "|" + x.value + "|" + x.priv + "|" + x.unit,
              "a.x|x|a|1|rw|mm");
    EXPECT_EQ(x.type, VT_I32);
    EXPECT_EQ(x.max, 100.0f);
    EXPECT_EQ(a.type, VT_INV);
    EXPECT_EQ(a.path, "");
    using Kinds = std::pair<const char*, const char*>;
    for (auto [node, type] : {Kinds{"a", "FOLDER"}, {"a.x", "VT_I32"}, {"jobs.J", "VT_JOB"}, {"jobs.J.G", "Group"}})
        EXPECT_EQ(info(h(node)).typestring, type) << node;
    EXPECT_EQ(m.node_info(-1, none), E_NOEXIST);
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
    EXPECT_EQ(m.create_node("a.x.v", VT_I32), E_NALLOWED);     // under a variable
    EXPECT_EQ(m.create_node("jobs.J.v", VT_I32), E_NALLOWED);  // under a job
    for (int32_t t : {int32_t(VT_INV), int32_t(VT_JOB), int32_t(VT_LAST_), -1})
        EXPECT_EQ(m.create_node("a.t", t), E_INVALID) << t;
    for (const std::string& bad : Names{"", ".", "a.", ".a", "a..b", "a;b", "a.b\n", std::string(256, 'n')})
        EXPECT_EQ(m.create_node(bad, VT_I32), E_INVALID) << bad;
}

TEST_F(MachineTest, CreateJobNode) {
    EXPECT_EQ(m.create_job_node("jobs.J.L1", "Line"), E_OK);
    EXPECT_EQ(m.create_job_node("jobs.J.G.L2", "Line"), E_OK);          // Group accepts subnodes
    EXPECT_EQ(m.create_job_node("jobs.J.G2", "jobnodes.Group"), E_OK);  // by full name
    EXPECT_EQ(m.create_job_node("jobs.J.L1.L3", "Line"), E_NALLOWED);   // Line does not
    EXPECT_EQ(m.create_job_node("a.L", "Line"), E_NALLOWED);            // not in a job
    EXPECT_EQ(m.create_job_node("L", "Line"), E_NALLOWED);
    EXPECT_EQ(m.create_job_node("jobs.J.F", "Fixed"), E_ACCESS);  // not user-creatable
    EXPECT_EQ(m.create_job_node("jobs.J.Q", "Nope"), E_INVALID);
    EXPECT_EQ(m.create_job_node("jobs.K.Q", "Line"), E_NOEXIST);
    EXPECT_EQ(m.create_job_node("jobs.J.L1", "Line"), E_EXIST);
    EXPECT_EQ(children("jobs.J"), (Names{"G", "L1", "G2"}));
    EXPECT_EQ(info(h("jobs.J.G.L2")).typestring, "Line");
}

TEST_F(MachineTest, DeleteKeepsIndicesAndNeverReusesHandles) {
    int32_t y = h("a.y"), last = h("jobs.J.G");
    EXPECT_EQ(m.delete_node(y), E_OK);
    EXPECT_EQ(h("a.y"), -1);
    EXPECT_EQ(m.delete_node(y), E_NOEXIST);
    EXPECT_EQ(children("a"), (Names{"x", "z"}));
    ASSERT_EQ(m.create_node("a.y", VT_I32), E_OK);
    EXPECT_GT(h("a.y"), last);  // a fresh handle, not the old one

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
    EXPECT_EQ(info(x).fullname, "c.x");
    EXPECT_EQ(info(x).path, "c");
    EXPECT_EQ(m.rename_node(x, "y"), E_EXIST);
    EXPECT_EQ(m.rename_node(x, "x"), E_OK);  // its own name
    EXPECT_EQ(m.rename_node(x, ""), E_INVALID);
    EXPECT_EQ(m.rename_node(x, "p.q"), E_INVALID);
    EXPECT_EQ(m.rename_node(h("ro"), "rw"), E_ACCESS);
    EXPECT_EQ(m.rename_node(-1, "n"), E_NOEXIST);
    EXPECT_EQ(info(x).fullname, "c.x");
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
    EXPECT_EQ(children("b"), (Names{"sub", "y", "x"}));  // the refusals moved nothing
}

TEST_F(MachineTest, ValuesCommitOnWriteSyncAndRefusalsChangeNothing) {
    Session other;
    int32_t x = h("a.x");
    ASSERT_EQ(m.set_value(s, x, "42"), E_OK);
    EXPECT_EQ(value("a.x"), "1");  // not yet written
    EXPECT_EQ(m.write_sync(s, x), E_OK);
    EXPECT_EQ(value("a.x"), "42");
    ASSERT_EQ(m.set_value(other, x, "43"), E_OK);
    EXPECT_EQ(m.read_node(other, x), E_OK);  // a read replaces what was set
    EXPECT_EQ(m.write_sync(other, x), E_OK);
    EXPECT_EQ(value("a.x"), "42");

    EXPECT_EQ(m.set_value(s, x, "abc"), E_INVALID);
    EXPECT_EQ(m.set_value(s, x, "101"), E_RANGE);
    EXPECT_EQ(m.write_sync(s, x), E_OK);
    EXPECT_EQ(value("a.x"), "42");
    EXPECT_EQ(m.set_value(s, h("ro"), "other"), E_ACCESS);
    EXPECT_EQ(m.set_value(s, h("a"), "1"), E_INVALID);
    EXPECT_EQ(m.set_value(s, 12345, "1"), E_NOEXIST);

    ASSERT_EQ(m.set_value(s, x, "44"), E_OK);
    ASSERT_EQ(m.delete_node(x), E_OK);
    EXPECT_EQ(m.write_sync(s, x), E_NOEXIST);
}

TEST_F(MachineTest, CopiesNeedRoomForTheTerminator) {
    std::string v;
    std::vector<uint8_t> bytes;
    int32_t ro = h("ro"), bin = h("bin");
    EXPECT_EQ(m.value_string_len(ro), 5);
    EXPECT_EQ(m.value_string(ro, 5, v), E_NOSPACE);
    EXPECT_EQ(m.value_string(ro, 0, v), E_INVALID);
    EXPECT_EQ(m.value_string(ro, 6, v), E_OK);
    EXPECT_EQ(v, "fixed");
    EXPECT_EQ(m.bin_len(bin), 3);
    EXPECT_EQ(m.bin_copy(bin, 2, bytes), E_NOSPACE);  // raw bytes: no terminator
    EXPECT_EQ(m.bin_copy(bin, 4, bytes), E_NOSPACE);  // and exactly as many as asked
    EXPECT_EQ(m.bin_copy(bin, 3, bytes), E_OK);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0x00, 0xFF, 0x10}));
    EXPECT_EQ(m.bin_len(ro), 5);  // other types: the text's bytes
    EXPECT_EQ(m.name_copy(h("a.x"), 1, v), E_NOSPACE);
    EXPECT_EQ(m.name_copy(h("a.x"), 2, v), E_OK);
    EXPECT_EQ(v, "x");
}

TEST_F(MachineTest, CollectionsBelongToTheirSession) {
    Session other;
    int32_t c = m.create_collection(s), n = -1, node = -1;
    EXPECT_EQ(m.get_subnodes(s, h("a"), c), E_OK);
    EXPECT_EQ(m.get_subnodes(s, h("a"), c), E_OK);  // refills, does not append
    EXPECT_EQ(m.collection_count(s, c, n), E_OK);
    EXPECT_EQ(n, 3);
    EXPECT_EQ(m.collection_at(s, c, 3, node), E_RANGE);
    EXPECT_EQ(m.collection_count(other, c, n), E_INVALID);
    EXPECT_EQ(m.destroy_collection(s, c), E_OK);
    EXPECT_EQ(m.get_subnodes(s, h("a"), c), E_INVALID);
    for (size_t i = 0; i < kMaxCollections; ++i) ASSERT_NE(m.create_collection(s), -1) << i;
    EXPECT_EQ(m.create_collection(s), -1);
    m.end_session(s);
    EXPECT_NE(m.create_collection(s), -1);
}

}  // namespace
}  // namespace tessaro::sim
