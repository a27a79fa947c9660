// What a reply carried, in a trace line: its fields ("reply") and its record
// ("record") written and read back byte for byte and value for value, the
// line's number ("seq"), and what format() never writes refused with the
// place named.
#include <limits>

#include "round_trip.h"

namespace tessaro::trace {
namespace {

using proto::Field;
using proto::Op;

using test::kHead;
using test::kTime;
using test::reread;

TraceLine replied(Op op, std::optional<int32_t> result, std::vector<Field> reply, proto::Record record = {}, std::optional<FaultRef> fault = {}) {
    TraceLine l;
    l.time_us = 1796677353224239 /* kTime */, l.conn = "c", l.op = static_cast<uint16_t>(op), l.decoded = true, l.result = result;
    l.reply = std::move(reply), l.record = std::move(record), l.fault = fault;
    return l;
}
TraceLine recorded(Op op, proto::Record record) { return replied(op, 0, {}, std::move(record)); }
Field num(int64_t v) { return Field{v, ""}; } Field str(std::string s) { return Field{0, std::move(s)}; }
// What format() writes after the fields for a result of 0 and this record.
std::string rec(const std::string& record) { return R"("result":0,"record":)" + record + "}"; }

// A record with texts of every kind (hex, escaped, UTF-8, empty) and numbers
// at their ends; and its text, with its floats written as `min` and `max`.
proto::NodeInfo node_info(float min, float max) {
    return {7, INT64_MIN, "Machine.Speed", "", std::string("\xFF\x00", 2), "\xC0\xAF", "\"\\\n", "\xC2\xB0", -1, "VT_REAL", min, max, UINT32_MAX, 1};
}
std::string info(const std::string& min, const std::string& max) {
    return R"({"handle":7,"nodeid":-9223372036854775808,"fullname":"Machine.Speed","name":"","path":{"hex":"FF00"},"value":{"hex":"C0AF"},)"
           R"("priv":"\"\\\n","unit":")" "\xC2\xB0" R"(","type":-1,"typestring":"VT_REAL","min":)" + min + R"(,"max":)" + max + R"(,"index":4294967295,"flags":1})";
}

// A device that depends on `deps`; with its text, `deps` written as `list`.
proto::Device device(int32_t handle, std::vector<std::string> deps) { return {handle, "Axis", "\x80", INT32_MIN, "ready", 1, -1, "", "deps", {"d"}, std::move(deps)}; }
std::string device_text(int handle, const std::string& list) {
    return R"({"handle":)" + std::to_string(handle) + R"(,"name":"Axis","driver":{"hex":"80"},"state":-2147483648,"statestring":"ready",)"
           R"("staticdevice":1,"stat_n":-1,"stat_str":"","dependenciesvarname":"deps","dependencies":["d"],"dependson":[)" + list + "]}";
}

TEST(TraceReply, WrittenAsTheReplyFrameCarriesItAndReadBackIntoASlotInUse) {
    using Lines = std::vector<std::pair<TraceLine, std::string>>;  // a value, and what format() writes of it
    using Lim = std::numeric_limits<float>;
    const float kNan = Lim::quiet_NaN(), kInf = Lim::infinity(), kDenorm = Lim::denorm_min();
    const Lines read_back = {
        // Fields: numbers at their ends, texts (hex when no UTF-8), bytes
        // (hex always, UTF-8 or empty too), after any result.
        {replied(Op::Hello, 0, {num(1), str("tessaro-sim")}), R"("result":0,"reply":[1,"tessaro-sim"]})"},
        {replied(Op::GetNodeValueString, -4, {str("\xFF\xFE")}), R"("result":-4,"reply":[{"hex":"FFFE"}]})"},
        {replied(Op::GetNodeValueString, -14, {str("")}, {}, FaultRef{}), R"("result":-14,"reply":[""],"fault":{"index":0,"kind":"result"}})"},
        {replied(Op::GetNodeValueBinCopy, 0, {str("42")}), R"("result":0,"reply":[{"hex":"3432"}]})"},
        {replied(Op::GetNodeValueBinCopy, 0, {str("")}), R"("result":0,"reply":[{"hex":""}]})"},
        {replied(Op::GetNodeObjectCount, 0, {num(INT32_MIN)}), R"("result":0,"reply":[-2147483648]})"},
        {replied(Op::GetNodeObjectAtIndex, 0, {num(INT32_MAX)}), R"("result":0,"reply":[2147483647]})"},
        {replied(Op::GetPLCState, 0, {num(UINT32_MAX), num(0)}), R"("result":0,"reply":[4294967295,0]})"},
        {replied(Op::GetNodeValueString, 0, {}), R"("result":0})"},  // none recorded, as before replies were
        // Records: every kind, empty lists, floats in their shortest form,
        // non-finite ones by name.
        {recorded(Op::GetNodeInfo, node_info(-0.0f, Lim::max())), rec(info("-0.0", "3.4028235e+38"))},
        {recorded(Op::GetNodeInfo, node_info(kNan, -kInf)), rec(info(R"("nan")", R"("-inf")"))},
        {recorded(Op::GetNodeInfo, node_info(Lim::lowest(), kInf)), rec(info("-3.4028235e+38", R"("inf")"))},
        {recorded(Op::GetNodeInfo, node_info(Lim::min(), 16777216)), rec(info("1.1754944e-38", "16777216"))},
        {replied(Op::GetNodeInfo, 0, {}, node_info(kDenorm, -kDenorm), FaultRef{1, FaultKind::Delay}),
         R"("result":0,"record":)" + info("1e-45", "-1e-45") + R"(,"fault":{"index":1,"kind":"delay"}})"},
        {recorded(Op::GetJobInfo, proto::JobInfo{}), rec(R"({"jobs":[],"selectednode":""})")},
        {recorded(Op::GetJobInfo, proto::JobInfo{{"J.Cut", "\xFF"}, {"Cut", ""}, "\xE2\x82"}),
         rec(R"({"jobs":[{"fullname":"J.Cut","name":"Cut"},{"fullname":{"hex":"FF"},"name":""}],"selectednode":{"hex":"E282"}})")},
        {recorded(Op::GetJobNodeTypeInfo, proto::JobNodeType{"T.\x80", "", INT32_MIN, 0, 1, INT32_MAX}),
         rec(R"({"fullname":{"hex":"542E80"},"name":"","usercreatable":-2147483648,"canmakelines":0,"canpasslines":1,"acceptssubnodes":2147483647})")},
        {recorded(Op::GetDriverInfo, std::vector<proto::Driver>{{"drv", "1.0", "\xE9", ""}, {"", "", "", "\t"}}),
         rec(R"([{"name":"drv","version":"1.0","vendor":{"hex":"E9"},"comment":""},{"name":"","version":"","vendor":"","comment":"\t"}])")},
        {recorded(Op::GetDeviceInfo, device(2, {"a", "\xFF", ""})), rec(device_text(2, R"("a",{"hex":"FF"},"")"))},
        {recorded(Op::GetAllDeviceInfo, std::vector<proto::Device>{}), rec("[]")},
        {recorded(Op::GetAllDeviceInfo, std::vector<proto::Device>{device(1, {}), device(3, {"b"})}),
         rec("[" + device_text(1, "") + "," + device_text(3, R"("b")") + "]")},
    };
    const Lines left_out = {
        // Numbers cut to 32 bits as the frame has them; the row's fields,
        // missing ones empty or zero, extra ones left out.
        {replied(Op::GetNodeObjectCount, 0, {num(0x100000005)}), R"("result":0,"reply":[5]})"},
        {replied(Op::GetPLCState, 0, {num(-1), num(INT64_MAX)}), R"("result":0,"reply":[4294967295,4294967295]})"},
        {replied(Op::GetPLCState, 0, {num(7)}), R"("result":0,"reply":[7,0]})"}, {replied(Op::GetNodeValueString, 0, {str("a"), str("b")}), R"("result":0,"reply":["a"]})"},
        // No reply key: none sent, none in the row, no row.
        {replied(Op::GetNodeValueString, std::nullopt, {str("a")}), R"("result":null})"}, {replied(Op::JobStart, 0, {num(1)}), R"("result":0})"},
        {replied(Op::PlcChanged, 0, {num(1)}), R"("result":0})"},
        // A record only after a result of 0, only of the row's kind; job
        // names in pairs, as many as the shorter list has.
        {replied(Op::GetNodeInfo, -3, {}, node_info(0, 0)), R"("result":-3})"}, {replied(Op::GetNodeInfo, std::nullopt, {}, node_info(0, 0)), R"("result":null})"},
        {recorded(Op::GetDeviceInfo, node_info(0, 0)), R"("result":0})"},
        {recorded(Op::GetJobInfo, proto::JobInfo{{"J.A", "J.B"}, {"A"}, ""}), rec(R"({"jobs":[{"fullname":"J.A","name":"A"}],"selectednode":""})")},
    };
    auto frame = [](const TraceLine& l) { return proto::encode_reply(l.op, 1, proto::Reply{*l.result, l.reply, l.record}); };
    TraceLine slot;  // every line is read over the one before, both ways
    auto check = [&](const TraceLine& value, const std::string& tail, bool same_value) {
        const std::string line = format(value);
        EXPECT_EQ(line.substr(line.find(R"("args":[],)") + 10), tail);  // what follows the fields
        EXPECT_EQ(reread(line), line);
        ASSERT_EQ(reread(line, slot), line);
        if (!same_value) return;
        // Value for value: the same reply frame (floats bit for bit; any
        // NaN reads back as the quiet NaN).
        EXPECT_EQ(slot.reply, value.reply) << line;
        EXPECT_EQ(slot.record.index(), value.record.index()) << line;
        EXPECT_EQ(frame(slot), frame(value)) << line;
    };
    for (const auto& [value, tail] : read_back) check(value, tail, true);
    for (const auto& [value, tail] : left_out) check(value, tail, false);
    for (auto it = read_back.rbegin(); it != read_back.rend(); ++it) check(it->first, it->second, true);

    // The number first; an event has neither reply nor record, and leaves
    // the request's to be read over by the next request.
    TraceLine l = recorded(Op::GetNodeInfo, node_info(0, 0));
    l.seq = 0;
    EXPECT_EQ(reread(format(l), slot), "{\"seq\":0," + kTime + R"(,"conn":"c","op":"GetNodeInfo","args":[],)" + rec(info("0", "0")));
    l.seq = UINT64_MAX, l.plc_event = 3;
    EXPECT_EQ(reread(format(l), slot), "{\"seq\":18446744073709551615," + kTime + R"(,"conn":"c","event":"PlcChanged","state":3})");
    EXPECT_TRUE(std::holds_alternative<proto::NodeInfo>(slot.record));
    const std::string bare = kHead + R"("op":"GetNodeValueString","args":[1,2],"result":0})";
    EXPECT_EQ(reread(bare, slot), bare);
    EXPECT_EQ(slot.record.index(), 0u);
}

TEST(TraceReply, WhatIsNoLineIsRefusedWithThePlaceNamed) {
    // A line that starts with { as it is; one that does not after kHead.
    const std::string ni = R"({"handle":1,"nodeid":2,"fullname":"","name":"","path":"","value":"","priv":"","unit":"","type":0,"typestring":"",)";
    const std::string ni_end = R"("min":0,"max":0,"index":0,"flags":0}})";
    const std::string event = R"(,"conn":"c","event":"PlcChanged","state":1})";
    auto floats = [&](const char* min, const char* index = "0") {
        return R"("op":"GetNodeInfo","args":[1],"result":0,"record":)" + ni + R"("min":)" + min + R"(,"max":0,"index":)" + index + R"(,"flags":0}})";
    };
    const std::pair<std::string, const char*> cases[] = {
        // Fields: as many as the row lists, of its types.
        {R"("op":"GetPLCState","args":[],"result":0,"reply":[1]})", "column 100: \"reply\": the reply of GetPLCState has 2 fields besides its result"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":["a","b"]})", "column 112: \"reply\": the reply of GetNodeValueString has 1 field besides its result"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":[42]})", "column 109: \"reply\": expected a text"},
        {R"("op":"GetNodeObjectCount","args":[1],"result":0,"reply":[2147483648]})", "column 107: \"reply\": the number is out of range"},
        {R"("op":"GetPLCState","args":[],"result":0,"reply":[-1,0]})", "column 99: \"reply\": the number is out of range"},
        {R"("op":"GetNodeValueBinCopy","args":[1,2],"result":0,"reply":["42"]})", "column 110: \"reply\": bytes are written as {\"hex\": ...}, not as a string"},
        {R"("op":"GetNodeValueBinCopy","args":[1,2],"result":0,"reply":[{"text":"42"}]})", "column 111: \"reply\": bytes are {\"hex\": ...}, not an object with \"text\""},
        {R"("op":"GetNodeValueString","args":[1,2],"result":0,"reply":[{"hex":"34"}]})", "column 116: \"hex\": a UTF-8 text is written as a string, not in hex"},
        // Only after a result, for an operation whose row lists fields.
        {R"("op":"JobStart","args":[],"result":0,"reply":[]})", "column 95: \"reply\": the reply of JobStart has no fields besides its result"},
        {R"("op":200,"args":null,"result":0,"reply":[]})", "column 90: \"reply\": the reply of operation 200 has no fields besides its result"},
        {R"("op":"GetNodeValueString","args":[1,2],"result":null,"reply":[""]})", "column 111: \"reply\": no reply was sent (the result is null)"},
        // Records: only after a result of 0, of the kind of the row.
        {R"("op":"GetNodeInfo","args":[1],"result":-3,"record":)" + ni + ni_end, "column 101: \"record\": a record follows only a result of 0"},
        {R"("op":"GetNodeInfo","args":[1],"result":null,"record":[]})", "column 103: \"record\": a record follows only a result of 0"},
        {R"("op":"GetNode","args":["a"],"result":0,"record":{}})", "column 98: \"record\": the reply of GetNode carries no record"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"record":[]})", "column 100: \"record\": expected { (the record of GetNodeInfo is a NodeInfo)"},
        {R"("op":"GetDeviceInfo","args":[1],"result":0,"record":)" + ni + ni_end, "column 114: expected the key \"name\", not \"nodeid\" (the record of GetDeviceInfo is a Device)"},
        {R"("op":"GetAllDeviceInfo","args":[],"result":0,"record":{}})", "column 104: \"record\": expected [ (the record of GetAllDeviceInfo is a list of devices)"},
        {R"("op":"GetDriverInfo","args":[],"result":0,"record":[{"name":"","version":"","vendor":""}]})", "column 137: \"vendor\": expected , (the record of GetDriverInfo is a list of drivers)"},
        {R"("op":"GetJobInfo","args":[],"result":0,"record":{"jobs":[{"fullname":"a"}],"selectednode":""}})", "column 122: \"fullname\": expected ,"},
        {R"("op":"GetJobInfo","args":[],"result":0,"record":{"jobs":[],"selectednode":"","x":1}})", "column 126: \"selectednode\": expected }"},
        {R"("op":"GetNodeInfo","args":[1],"result":0,"fault":{"index":0,"kind":"delay"},"record":[]})", "column 126: the key \"record\" out of order"},
        // Floats: only as their shortest text, non-finite ones by name.
        {floats("0.100000001"), "column 219: \"min\": a float as it is never written: 0.1 is its shortest form"},
        {floats("-0"), "column 219: \"min\": a float as it is never written: -0.0 is its shortest form"}, {floats("1e39"), "column 219: \"min\": the number is out of range of a float"},
        {floats(R"("NaN")"), "column 219: \"min\": a float is a number, or \"nan\", \"inf\" or \"-inf\""}, {floats("nan"), "column 219: \"min\": expected a number"},
        {floats("0", "-1"), "column 237: \"index\": the number is out of range"},
        // The number: first, once, as written.
        {R"("op":"JobStart","args":[],"result":0,"seq":1})", "column 87: the key \"seq\" out of order: it comes first"},
        {"{" + kTime + R"(,"seq":1,"conn":"c","event":"PlcChanged","state":1})", "column 39: the key \"seq\" out of order: it comes first"},
        {R"({"seq":01,)" + kTime + event, "column 8: \"seq\": a number as it is never written"},
        {R"({"seq":18446744073709551616,)" + kTime + event, "column 8: \"seq\": the number is out of range"},
        {R"({"seq":null,)" + kTime + event, "column 8: \"seq\": expected a number"},
    };
    test::expect_refused(cases);
}

}  // namespace
}  // namespace tessaro::trace
