// What a reply carried, in a trace line: its fields ("reply") and its record
// ("record") written and read back byte for byte and value for value, the
// line's number ("seq"), and what format() never writes refused with the
// place named.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "trace/trace_line.h"

namespace tessaro::trace {
namespace {

using proto::Field;
using proto::Op;

const std::string kTime = R"("time":"2026-12-07T21:02:33.224239Z")";
const std::string kHead = "{" + kTime + R"(,"conn":"c",)";

std::string reformatted(const std::string& line) {
    std::string error;
    auto parsed = parse(line, error);
    if (!parsed) return "refused: " + error;
    return format(*parsed);
}

TraceLine replied(Op op, std::optional<int32_t> result, std::vector<Field> reply, proto::Record record = {}) {
    TraceLine l;
    l.time_us = 1796677353224239;  // kTime
    l.conn = "c";
    l.op = static_cast<uint16_t>(op);
    l.decoded = true;
    l.result = result;
    l.reply = std::move(reply);
    l.record = std::move(record);
    return l;
}

Field num(int64_t v) { return Field{v, ""}; }
Field str(std::string s) { return Field{0, std::move(s)}; }

// What format() writes after "args":[].
std::string written(const TraceLine& l) {
    std::string line = format(l);
    size_t at = line.find(R"("args":[],)");
    return at == std::string::npos ? line : line.substr(at + 10);
}

proto::NodeInfo node_info(float min, float max) {
    proto::NodeInfo v;
    v.handle = 7;
    v.nodeid = INT64_MIN;
    v.fullname = "Machine.Speed";
    v.name = "Speed";
    v.path = std::string("\xFF\x00", 2);
    v.value = "";
    v.priv = "\"\\\n";
    v.unit = "\xC2\xB0";  // UTF-8
    v.type = -1;
    v.typestring = "VT_REAL";
    v.min = min;
    v.max = max;
    v.index = UINT32_MAX;
    v.flags = 1;
    return v;
}

proto::Device device(int32_t handle, std::vector<std::string> deps) {
    proto::Device d;
    d.handle = handle;
    d.name = "Axis";
    d.driver = "\x80";
    d.state = INT32_MIN;
    d.statestring = "ready";
    d.staticdevice = 1;
    d.stat_n = -1;
    d.stat_str = "";
    d.dependenciesvarname = "deps";
    d.dependencies = deps;
    d.dependson = std::move(deps);
    return d;
}

TEST(TraceReply, LinesWithRepliesRecordsAndNumbersReadBackAsWritten) {
    const std::string ni_head = R"({"handle":1,"nodeid":-9223372036854775808,"fullname":"M.Speed","name":"Speed",)"
                                R"("path":"M","value":"42","priv":"","unit":"mm/s","type":3,"typestring":"VT_REAL",)";
    const std::string device = R"({"handle":5,"name":"Axis","driver":"drv","state":2,"statestring":"ready",)"
                               R"("staticdevice":1,"stat_n":-1,"stat_str":"","dependenciesvarname":"deps",)"
                               R"("dependencies":[],"dependson":["A",{"hex":"80"}]})";
    const std::string lines[] = {
        // Fields: numbers, texts (hex when no UTF-8), bytes (hex always).
        R"("op":"Hello","args":["TSRO",1],"result":0,"reply":[1,"tessaro-sim"]})",
        R"("op":"GetNodeValueString","args":[1,256],"node":"Speed","result":0,"reply":["42"]})",
        R"("op":"GetNodeValueString","args":[1,256],"node":"Speed","result":-4,"reply":[{"hex":"C3"}]})",
        R"("op":"GetNodeValueString","args":[1,0],"node":"Speed","result":-14,"reply":[""],"fault":{"index":0,"kind":"result"}})",
        R"("op":"GetNodeValueString","args":[1,256],"node":"Speed","result":0})",  // written before replies were
        R"("op":"GetNodeValueBinCopy","args":[1,256],"node":"Blob","result":0,"reply":[{"hex":"3432"}]})",
        R"("op":"GetNodeValueBinCopy","args":[1,256],"node":"Blob","result":0,"reply":[{"hex":""}]})",
        R"("op":"GetNodeValueBinCopy","args":[1,256],"node":"Blob","result":0,"reply":[{"hex":"00FF"}]})",
        R"("op":"GetNodeObjectCount","args":[3],"result":0,"reply":[-2147483648]})",
        R"("op":"GetNodeObjectAtIndex","args":[3,0],"result":0,"reply":[2147483647]})",
        R"("op":"GetPLCState","args":[],"result":0,"reply":[4294967295,0]})",
        R"("op":"ApiAddFault","args":["{}"],"result":0,"reply":[3]})",
        // Records: every kind, empty lists, texts that are no UTF-8, floats
        // at their edges.
        R"("op":"GetNodeInfo","args":[1],"node":"Speed","result":0,"record":)" + ni_head +
            R"("min":-0.0,"max":3.4028235e+38,"index":0,"flags":4294967295}})",
        R"("op":"GetNodeInfo","args":[1],"node":"Speed","result":0,"record":)" + ni_head +
            R"("min":"nan","max":"-inf","index":1,"flags":0}})",
        R"("op":"GetNodeInfo","args":[1],"node":"Speed","result":0,"record":)" + ni_head +
            R"("min":1e-45,"max":"inf","index":1,"flags":0},"fault":{"index":1,"kind":"delay"}})",
        R"("op":"GetNodeInfo","args":[1],"node":"Speed","result":0,"record":)" + ni_head +
            R"("min":1.1754944e-38,"max":1e+10,"index":1,"flags":0}})",
        R"("op":"GetNodeInfo","args":[1],"node":"Speed","result":0,"record":)" + ni_head +
            R"("min":-0.1,"max":16777216,"index":1,"flags":0}})",
        R"("op":"GetNodeInfo","args":[1],"node":"Speed","result":0,"record":{"handle":-1,"nodeid":0,"fullname":"",)"
        R"("name":{"hex":"FF"},"path":"","value":{"hex":"C0AF"},"priv":"","unit":"","type":0,"typestring":"","min":0,)"
        R"("max":-3.4028235e+38,"index":0,"flags":0}})",
        R"("op":"GetJobInfo","args":[],"result":0,"record":{"jobs":[],"selectednode":""}})",
        R"("op":"GetJobInfo","args":[],"result":0,"record":{"jobs":[{"fullname":"J.Cut","name":"Cut"},)"
        R"({"fullname":{"hex":"FF"},"name":"x"}],"selectednode":"J.Cut"}})",
        R"("op":"GetJobNodeTypeInfo","args":[0],"result":0,"record":{"fullname":"T.Cut","name":"Cut",)"
        R"("usercreatable":1,"canmakelines":0,"canpasslines":-1,"acceptssubnodes":2147483647}})",
        R"("op":"GetDriverInfo","args":[],"result":0,"record":[]})",
        R"("op":"GetDriverInfo","args":[],"result":0,"record":[{"name":"drv","version":"1.0","vendor":{"hex":"E9"},)"
        R"("comment":""},{"name":"","version":"","vendor":"","comment":"\t"}]})",
        R"("op":"GetDeviceInfo","args":[5],"result":0,"record":)" + device + "}",
        R"("op":"GetAllDeviceInfo","args":[],"result":0,"record":[]})",
        R"("op":"GetAllDeviceInfo","args":[],"result":0,"record":[)" + device + "," + device + "]}",
        R"("op":"GetNodeInfo","args":[1],"node":"Speed","result":-3})",
        R"("op":"GetDeviceInfo","args":[5],"result":0})",
    };
    for (const std::string& rest : lines) EXPECT_EQ(reformatted(kHead + rest), kHead + rest);
    // The HTTP API's numbered lines.
    for (const std::string& line : {"{\"seq\":0," + kTime + R"(,"conn":"c","op":"JobStart","args":[],"result":0})",
                                   "{\"seq\":18446744073709551615," + kTime + R"(,"conn":"c","event":"PlcChanged","state":1})",
                                   "{\"seq\":7," + kTime + R"(,"conn":"c","op":"GetPLCState","args":[],"result":0,"reply":[1,2]})"})
        EXPECT_EQ(reformatted(line), line);
}

TEST(TraceReply, ValuesReadBackAsTheyWere) {
    const float kNan = std::numeric_limits<float>::quiet_NaN(), kInf = std::numeric_limits<float>::infinity();
    const float kDenorm = std::numeric_limits<float>::denorm_min(), kMax = std::numeric_limits<float>::max();
    proto::JobInfo jobs;
    jobs.fulljobnames = {"J.Cut", "\xFF"};
    jobs.jobnames = {"Cut", ""};
    jobs.selectednode = "\xE2\x82";
    std::vector<proto::Driver> drivers = {{"drv", "1.0", "\xE9", ""}, {}};
    const TraceLine values[] = {
        replied(Op::Hello, 0, {num(1), str("tessaro-sim")}),
        replied(Op::GetNodeValueString, -4, {str("\xFF\xFE")}),
        replied(Op::GetNodeValueBinCopy, 0, {str(std::string("4\0" "2", 3))}),
        replied(Op::GetPLCState, 0, {num(UINT32_MAX), num(0)}),
        replied(Op::GetNodeObjectCount, 0, {num(INT32_MIN)}),
        replied(Op::GetNodeInfo, 0, {}, node_info(-0.0f, kMax)),
        replied(Op::GetNodeInfo, 0, {}, node_info(kNan, -kInf)),
        replied(Op::GetNodeInfo, 0, {}, node_info(kDenorm, -kDenorm)),
        replied(Op::GetNodeInfo, 0, {}, node_info(std::numeric_limits<float>::min(), 0.1f)),
        replied(Op::GetNodeInfo, 0, {}, node_info(std::numeric_limits<float>::lowest(), kInf)),
        replied(Op::GetJobInfo, 0, {}, proto::JobInfo{}),
        replied(Op::GetJobInfo, 0, {}, jobs),
        replied(Op::GetJobNodeTypeInfo, 0, {}, proto::JobNodeType{"T.\x80", "", INT32_MIN, 0, 1, INT32_MAX}),
        replied(Op::GetDriverInfo, 0, {}, std::vector<proto::Driver>{}),
        replied(Op::GetDriverInfo, 0, {}, drivers),
        replied(Op::GetDeviceInfo, 0, {}, device(1, {})),
        replied(Op::GetDeviceInfo, 0, {}, device(2, {"a", "\xFF", ""})),
        replied(Op::GetAllDeviceInfo, 0, {}, std::vector<proto::Device>{}),
        replied(Op::GetAllDeviceInfo, 0, {}, std::vector<proto::Device>{device(1, {}), device(2, {"b"})}),
    };
    for (const TraceLine& l : values) {
        const std::string line = format(l);
        std::string error;
        auto back = parse(line, error);
        ASSERT_TRUE(back) << error << "\n" << line;
        EXPECT_EQ(format(*back), line);
        // Value for value: the reply frames they make are the same bytes
        // (floats bit for bit; a NaN reads back as the quiet NaN).
        EXPECT_EQ(back->reply, l.reply) << line;
        EXPECT_EQ(back->record.index(), l.record.index()) << line;
        EXPECT_EQ(proto::encode_reply(back->op, 1, proto::Reply{0, back->reply, back->record}),
                  proto::encode_reply(l.op, 1, proto::Reply{0, l.reply, l.record}))
            << line;
    }
    std::string error;
    auto back = parse(format(values[5]), error);
    ASSERT_TRUE(back) << error;
    EXPECT_TRUE(std::signbit(std::get<proto::NodeInfo>(back->record).min));
}

TEST(TraceReply, WhatIsWrittenIsWhatTheReplyFrameCarries) {
    proto::JobInfo uneven;
    uneven.fulljobnames = {"J.A", "J.B"};
    uneven.jobnames = {"A"};
    struct Case {
        TraceLine line;
        std::string written;
    } cases[] = {
        // Bytes are hex even when they are UTF-8; empty bytes too.
        {replied(Op::GetNodeValueBinCopy, 0, {str("42")}), R"("result":0,"reply":[{"hex":"3432"}]})"},
        {replied(Op::GetNodeValueBinCopy, 0, {str("")}), R"("result":0,"reply":[{"hex":""}]})"},
        // Numbers as 32 bits, as the frame has them.
        {replied(Op::GetNodeObjectCount, 0, {num(0x100000005)}), R"("result":0,"reply":[5]})"},
        {replied(Op::GetPLCState, 0, {num(-1), num(INT64_MAX)}), R"("result":0,"reply":[4294967295,4294967295]})"},
        // The row's fields: missing ones empty or zero, extra ones left out.
        {replied(Op::GetPLCState, 0, {num(7)}), R"("result":0,"reply":[7,0]})"},
        {replied(Op::GetNodeValueString, 0, {str("a"), str("b")}), R"("result":0,"reply":["a"]})"},
        // No reply key: none recorded, none sent, none in the row, no row.
        {replied(Op::GetNodeValueString, 0, {}), R"("result":0})"},
        {replied(Op::GetNodeValueString, std::nullopt, {str("a")}), R"("result":null})"},
        {replied(Op::JobStart, 0, {num(1)}), R"("result":0})"},
        {replied(Op::PlcChanged, 0, {num(1)}), R"("result":0})"},
        // A record only after a result of 0, only of the row's kind.
        {replied(Op::GetNodeInfo, -3, {}, node_info(0, 0)), R"("result":-3})"},
        {replied(Op::GetNodeInfo, std::nullopt, {}, node_info(0, 0)), R"("result":null})"},
        {replied(Op::GetDeviceInfo, 0, {}, node_info(0, 0)), R"("result":0})"},
        {replied(Op::JobStart, 0, {}, std::vector<proto::Driver>{}), R"("result":0})"},
        // Job names in pairs: as many as the shorter list has.
        {replied(Op::GetJobInfo, 0, {}, uneven),
         R"("result":0,"record":{"jobs":[{"fullname":"J.A","name":"A"}],"selectednode":""}})"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(written(c.line), c.written);
        EXPECT_EQ(reformatted(format(c.line)), format(c.line));
    }
    // The number first; an event has neither reply nor record.
    TraceLine l = replied(Op::GetPLCState, 0, {num(1), num(2)}, node_info(0, 0));
    l.seq = 42;
    EXPECT_EQ(format(l), "{\"seq\":42," + kTime + R"(,"conn":"c","op":"GetPLCState","args":[],"result":0,"reply":[1,2]})");
    l.plc_event = 3;
    EXPECT_EQ(format(l), "{\"seq\":42," + kTime + R"(,"conn":"c","event":"PlcChanged","state":3})");
}

TEST(TraceReply, ReadIntoASlotInUseLeavesNothingOfTheOldLine) {
    const std::string full = "{\"seq\":9," + format(replied(Op::GetAllDeviceInfo, 0, {},
                                                            std::vector<proto::Device>{device(1, {"a"}), device(2, {})}))
                                                    .substr(1);
    const std::string one = kHead + R"("op":"GetAllDeviceInfo","args":[],"result":0,"record":[)" +
                            R"({"handle":3,"name":"","driver":"","state":0,"statestring":"","staticdevice":0,"stat_n":0,)" +
                            R"("stat_str":"","dependenciesvarname":"","dependencies":[],"dependson":["z"]}]})";
    const std::string bare = kHead + R"("op":"GetNodeValueString","args":[1,2],"result":0})";
    const std::string replying = kHead + R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":["v"]})";
    const std::string info = format(replied(Op::GetNodeInfo, 0, {}, node_info(1, 2)));
    const std::string other_info = format(replied(Op::GetNodeInfo, 0, {}, node_info(-1, 0)));
    const std::string event = "{\"seq\":10," + kTime + R"(,"conn":"c","event":"PlcChanged","state":1})";
    TraceLine l = replied(Op::GetPLCState, 0, {num(1), num(2)});
    l.seq = 1;
    std::string error;
    for (const std::string* line : {&full, &one, &bare, &replying, &full, &event, &bare, &info, &other_info, &event,
                                    &replying, &one, &info}) {
        ASSERT_TRUE(parse(*line, l, error)) << error << "\n" << *line;
        EXPECT_EQ(format(l), *line);
    }
    // An event leaves the request's members as they were, to be read over.
    EXPECT_TRUE(std::holds_alternative<proto::NodeInfo>(l.record));
    ASSERT_TRUE(parse(bare, l, error)) << error;
    EXPECT_TRUE(l.reply.empty());
    EXPECT_EQ(l.record.index(), 0u);
    EXPECT_FALSE(l.seq);
}

TEST(TraceReply, WhatIsNoLineIsRefusedWithThePlaceNamed) {
    const std::string ni = R"({"handle":1,"nodeid":2,"fullname":"","name":"","path":"","value":"","priv":"",)"
                           R"("unit":"","type":0,"typestring":"",)";
    struct Case {
        std::string line;
        const char* error;
    } cases[] = {
        // Fields: as many as the row lists, of its types.
        {R"("op":"GetPLCState","args":[],"result":0,"reply":[1]})",
         "column 100: \"reply\": the reply of GetPLCState has 2 fields besides its result"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":["a","b"]})",
         "column 112: \"reply\": the reply of GetNodeValueString has 1 field besides its result"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":[]})",
         "column 109: \"reply\": the reply of GetNodeValueString has 1 field"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":[42]})", "column 109: \"reply\": expected a text"},
        {R"("op":"GetNodeObjectCount","args":[1],"result":0,"reply":["1"]})", "column 107: \"reply\": expected a number"},
        {R"("op":"GetNodeObjectCount","args":[1],"result":0,"reply":[2147483648]})",
         "column 107: \"reply\": the number is out of range"},
        {R"("op":"GetPLCState","args":[],"result":0,"reply":[-1,0]})", "column 99: \"reply\": the number is out of range"},
        {R"("op":"GetNodeValueBinCopy","args":[1,2],"result":0,"reply":["42"]})",
         "column 110: \"reply\": bytes are written as {\"hex\": ...}, not as a string"},
        {R"("op":"GetNodeValueBinCopy","args":[1,2],"result":0,"reply":[{"text":"42"}]})",
         "column 111: \"reply\": bytes are {\"hex\": ...}, not an object with \"text\""},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":[{"hex":"34"}]})",
         "column 116: \"hex\": a UTF-8 text is written as a string, not in hex"},
        // Only after a result, for an operation whose row lists fields.
        {R"("op":"JobStart","args":[],"result":0,"reply":[]})",
         "column 95: \"reply\": the reply of JobStart has no fields besides its result"},
        {R"("op":200,"args":null,"result":0,"reply":[]})",
         "column 90: \"reply\": the reply of operation 200 has no fields besides its result"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":null,"reply":[""]})",
         "column 111: \"reply\": no reply was sent (the result is null)"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"fault":{"index":0,"kind":"delay"},"reply":[""]})",
         "column 135: the key \"reply\" out of order"},
        // Records: only after a result of 0, of the kind of the row.
        {R"("op":"GetNodeInfo","args":[1],"result":-3,"record":)" + ni + R"("min":0,"max":0,"index":0,"flags":0}})",
         "column 101: \"record\": a record follows only a result of 0"},
        {R"("op":"GetNodeInfo","args":[1],"result":null,"record":[]})",
         "column 103: \"record\": a record follows only a result of 0"},
        {R"("op":"GetNode","args":["a"],"result":0,"record":{}})", "column 98: \"record\": the reply of GetNode carries no record"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":[]})",
         "column 100: \"record\": expected { (the record of GetNodeInfo is a NodeInfo)"},
        {R"("op":"GetDeviceInfo","args":[1],"result":0,"record":)" + ni + R"("min":0,"max":0,"index":0,"flags":0}})",
         "column 114: expected the key \"name\", not \"nodeid\" (the record of GetDeviceInfo is a Device)"},
        {R"("op":"GetAllDeviceInfo","args":[],"result":0,"record":{}})",
         "column 104: \"record\": expected [ (the record of GetAllDeviceInfo is a list of devices)"},
        {R"("op":"GetDriverInfo","args":[],"result":0,"record":[{"name":"","version":"","vendor":""}]})",
         "column 137: \"vendor\": expected , (the record of GetDriverInfo is a list of drivers)"},
        {R"("op":"GetJobInfo","args":[],"result":0,"record":{"jobs":[{"fullname":"a"}],"selectednode":""}})",
         "column 122: \"fullname\": expected ,"},
        {R"("op":"GetJobInfo","args":[],"result":0,"record":{"jobs":[],"selectednode":"","x":1}})",
         "column 126: \"selectednode\": expected }"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"fault":{"index":0,"kind":"delay"},"record":[]})",
         "column 126: the key \"record\" out of order"},
        // Floats: only as their shortest text, non-finite ones by name.
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":1.0,"max":0,"index":0,"flags":0}})",
         "column 219: \"min\": a float as it is never written: 1 is its shortest form"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":0.100000001,"max":0,"index":0,"flags":0}})",
         "column 219: \"min\": a float as it is never written: 0.1 is its shortest form"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":-0,"max":0,"index":0,"flags":0}})",
         "column 219: \"min\": a float as it is never written: -0.0 is its shortest form"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":1e39,"max":0,"index":0,"flags":0}})",
         "column 219: \"min\": the number is out of range of a float"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":"NaN","max":0,"index":0,"flags":0}})",
         "column 219: \"min\": a float is a number, or \"nan\", \"inf\" or \"-inf\""},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":nan,"max":0,"index":0,"flags":0}})",
         "column 219: \"min\": expected a number"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":0,"max":0,"index":-1,"flags":0}})",
         "column 237: \"index\": the number is out of range"},
        // The number: first, once, as written.
        {R"("op":"JobStart","args":[],"result":0,"seq":1})", "column 87: the key \"seq\" out of order: it comes first"},
        {R"("seq":1,"op":"JobStart","args":[],"result":0})", "column 50: the key \"seq\" out of order: it comes first"},
    };
    for (const Case& c : cases) {
        TraceLine l;
        std::string error;
        EXPECT_FALSE(parse(kHead + c.line, l, error)) << c.line;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.line << "\n  error: " << error;
    }
    const std::string rest = R"(,"conn":"c","event":"PlcChanged","state":1})";
    const struct {
        std::string line;
        const char* error;
    } starts[] = {
        {"{" + kTime + R"(,"seq":1,"conn":"c","event":"PlcChanged","state":1})",
         "column 39: the key \"seq\" out of order: it comes first"},
        {R"({"seq":1,"seq":2,)" + kTime + rest, "column 10: the key \"seq\" out of order: it comes first"},
        {R"({"seq":-1,)" + kTime + rest, "column 8: \"seq\": the number is out of range"},
        {R"({"seq":01,)" + kTime + rest, "column 8: \"seq\": a number as it is never written"},
        {R"({"seq":18446744073709551616,)" + kTime + rest, "column 8: \"seq\": the number is out of range"},
        {R"({"seq":null,)" + kTime + rest, "column 8: \"seq\": expected a number"},
    };
    for (const auto& c : starts) {
        TraceLine l;
        std::string error;
        EXPECT_FALSE(parse(c.line, l, error)) << c.line;
        EXPECT_NE(error.find(c.error), std::string::npos) << c.line << "\n  error: " << error;
    }
}

}  // namespace
}  // namespace tessaro::trace
