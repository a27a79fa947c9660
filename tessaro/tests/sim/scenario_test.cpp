// Scenario loading: errors point at the offending value on one line, the
// default machine is the file in the source tree and derives its device
// dependents, and the example in docs/scenario.md loads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>

#include "default_scenario.h"
#include "support.h"

namespace tessaro::sim {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string read_file(const std::string& path) {
    std::stringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

// The loader's error for scenario text named t.json ("" when it loads).
std::string load_error(const std::string& text) {
    MachineConfig cfg;
    std::string error;
    return load_scenario_text(text, "t.json", cfg, error) ? std::string() : error;
}

// "LINE:COLUMN" of the first occurrence of `needle` in `text` (columns count
// characters, as the loader does).
std::string at(const std::string& text, const std::string& needle) {
    size_t off = text.find(needle);
    EXPECT_NE(off, std::string::npos) << needle;
    size_t line = 1, col = 1;
    for (size_t i = 0; i < off; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '\n') line++, col = 1;
        else if ((c & 0xC0) != 0x80) ++col;
    }
    return std::to_string(line) + ":" + std::to_string(col);
}

TEST(ScenarioErrors, PointAtTheOffendingValueOnOneLine) {
    struct {
        const char* text;
        const char* needle;  // the offending value starts here
        const char* says;
    } const cases[] = {
        {R"({"nodes": [{"name": "a", "type": "VT_FOO"}]})", "\"VT_FOO", "unknown type name 'VT_FOO'"},
        {R"({"nodes": [{"name": "a", "type": "FOLDER"},
                       {"name": "a", "type": "VT_I32"}]})", "\"a\", \"type\": \"VT_I32", "duplicate node name 'a'"},
        {R"({"nodes": [{"name": "f", "type": "FOLDER", "children": [
              {"name": "v", "type": "VT_I32", "value": "12x"}]}]})", "\"12x", "'12x' is not a valid VT_I32 value"},
        {R"({"faults": [{"op": "GetNod", "result": -1}]})", "\"GetNod", "unknown operation name 'GetNod'"},
        {R"({"job_node_types": [{"name": "Line"}],
             "nodes": [{"name": "J", "type": "VT_JOB", "children": [
               {"name": "n", "type": "JOBNODE", "nodetype": "Arc"}]}]})", "\"Arc", "unknown job node type 'Arc'"},
        {R"({"nodes": [{"name": "J", "type": "VT_JOB", "duration_ms": "10"}]})", "\"10\"",
         "expected an integer for duration_ms, found a string"},
        {R"({"nodes": [{"name": "v", "type": "VT_I32", "colour": "red"}]})", "\"colour", "unknown key 'colour'"},
        {R"({"name": "a", "name": "b"})", "\"name\": \"b", "duplicate key 'name'"},
        {R"({"nodes": [{"name": "v"}]})", "{\"name\": \"v", "missing key 'type'"},
        {R"({"plc": {"selected": "jobs.Nope"}})", "\"jobs.Nope", "no node named 'jobs.Nope'"},
        {R"({"drivers": [{"name": "d"}], "devices": [{"name": "x", "driver": "d", "dependencies": ["y"]}]})", "\"y\"",
         "unknown device 'y'"},
        {R"({"faults": [{"op": "JobStart", "result": -9, "action": "close"}]})", "\"close", "a result or an action"},
        {R"({"faults": [{"op": "JobStart", "node": "jobs.J", "result": -9}]})", "\"jobs.J", "JobStart names no node"},
        {R"({"faults": [{"op": "JobStart"}]})", "{\"op", "needs a result, an action or a delay_ms"},
        {R"({"nodes": [{"name": "J", "type": "VT_JOB", "children": [{"name": "v", "type": "VT_I32"}]}]})",
         "\"VT_I32", "cannot be inside a job"},
        {R"({"nodes": [{"name": "a.b", "type": "FOLDER"}]})", "\"a.b", "invalid node name 'a.b'"},
        {R"({"nodes": [{"name": "v", "type": "VT_I32", "min": 3, "max": 9, "value": "12"}]})", "\"12", "limits 3 to 9"},
        {R"([])", "[", "expected the scenario (an object), found an array"},
        {R"({"nodes": [{"name": "a\nb", "type": "FOLDER"}]})", "\"a\\nb", "invalid node name 'a\\nb'"},
    };
    for (const auto& c : cases) {
        std::string err = load_error(c.text);
        EXPECT_THAT(err, StartsWith("t.json:" + at(c.text, c.needle) + ": ")) << c.text;
        EXPECT_THAT(err, HasSubstr(c.says)) << c.text;
        EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    }
}

TEST(ScenarioErrors, SyntaxErrorsGiveLineAndColumn) {
    std::string text = "{\n  \"nodes\": [\n    {\"name\": \"é\",, \"type\": \"FOLDER\"}\n  ]\n}\n";
    EXPECT_THAT(load_error(text), StartsWith("t.json:3:18: syntax error"));  // at the second comma; é is one column

    EXPECT_THAT(load_error("{\"nodes\": [}"), StartsWith("t.json:1:12: syntax error"));
    EXPECT_THAT(load_error(""), StartsWith("t.json:1:1: syntax error"));
    EXPECT_THAT(load_error("{\"name\": \"x\"} @"), StartsWith("t.json:1:15: syntax error"));
}

TEST(ScenarioErrors, DeepOrLargeInputIsCheckedWithoutRecursionOrRescanning) {
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_THAT(load_error(deep), HasSubstr("nesting deeper than"));
    std::string large = R"({"nodes": [{"name": "f", "type": "FOLDER", "children": [)";
    for (int i = 0; i < 50000; ++i) large += R"({"name": "v)" + std::to_string(i) + R"(", "type": "VT_I32"},)";
    large += R"({"name": "v123", "type": "VT_I32"}]}]})";
    EXPECT_THAT(load_error(large), HasSubstr("duplicate node name 'f.v123'"));
    auto nested = [](int levels) {  // folders in folders, the innermost with no children
        std::string text = R"({"nodes": [)";
        for (int i = 0; i < levels; ++i) text += R"({"name": "n", "type": "FOLDER", "children": [)";
        for (int i = 0; i < levels; ++i) text += "]}";
        return text + "]}";
    };
    EXPECT_EQ(load_error(nested(64)), "");
    EXPECT_THAT(load_error(nested(65)), HasSubstr("nodes nest deeper than 64 levels"));
}

TEST(ScenarioFiles, UnreadableFilesNameTheReasonAtOnce) {
    char dir[] = "/tmp/tessaro-scenario-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string fifo = std::string(dir) + "/fifo.json";  // no writer: opening it must not wait
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, std::string> cases[] = {{"/nonexistent/scenario.json", "No such file or directory"},
                                                         {"/", "Is a directory"},
                                                         {fifo, "not a regular file"},
                                                         {"/dev/null", "not a regular file"}};
    for (const auto& [path, why] : cases) {
        MachineConfig cfg;
        std::string err;
        EXPECT_FALSE(load_scenario_file(path, cfg, err));
        EXPECT_EQ(err, path + ": " + why);
    }
    ::unlink(fifo.c_str());
    ::rmdir(dir);
}

TEST(DefaultScenario, IsTheFileInTheSourceTree) {
    EXPECT_EQ(default_scenario_text(), read_file(TESSARO_SOURCE_DIR "/tessaro/sim/scenarios/default.json"));
}

TEST(DefaultScenario, DevicesKnowTheirDependentsAndMessagesTheirIds) {
    Machine m(test::load(default_scenario_text()));
    std::map<std::string, proto::Device> devices;
    for (const auto& d : m.devices()) devices[d.name] = d;
    using Names = std::vector<std::string>;
    EXPECT_TRUE(devices["IO1"].dependencies.empty() && devices["IO1"].dependson.empty());
    EXPECT_EQ(devices["Gantry"].dependencies, (Names{"AxisX", "AxisY"}));
    EXPECT_EQ(devices["AxisX"].dependson, Names{"Gantry"});  // derived from Gantry's dependencies
    proto::Device d;
    EXPECT_EQ(m.device(devices["AxisY"].handle, d), E_OK);
    EXPECT_EQ(d.name, "AxisY");
    EXPECT_EQ(m.device(99, d), E_NOEXIST);

    std::string xml;
    EXPECT_EQ(m.sysmsg_len(3), E_INVALID);
    EXPECT_EQ(m.sysmsg_copy(1, m.sysmsg_len(1) + 1, xml), E_OK);
    EXPECT_THAT(xml, StartsWith("<?xml"));
}

TEST(DocumentedScenario, TheExampleLoads) {
    std::string doc = read_file(TESSARO_SOURCE_DIR "/docs/scenario.md");
    size_t start = doc.find("```json\n"), end = doc.find("\n```", start);
    ASSERT_TRUE(start != std::string::npos && end != std::string::npos) << "no JSON example in docs/scenario.md";
    MachineConfig cfg = test::load(doc.substr(start + 8, end + 1 - (start + 8)));
    EXPECT_EQ(cfg.faults.size(), 3u);
    Machine m(std::move(cfg));
    EXPECT_EQ(m.job_names(), "jobs.Weld");
    EXPECT_NE(m.get_node("cell.Feed"), -1);
}

}  // namespace
}  // namespace tessaro::sim
