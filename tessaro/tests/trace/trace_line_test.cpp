// The trace line: every kind of line read back and written again byte for
// byte, also over a line read before, every byte of a text and the largest
// text read back, times, and what format() never writes refused with the
// place named.
#include <algorithm>
#include <climits>
#include <iterator>

#include "round_trip.h"

namespace tessaro::trace {
namespace {

using test::kHead;
using test::kTime;
using test::reread;

// A SetNodeValueString with these fields.
TraceLine request(std::vector<Arg> args) {
    TraceLine l;
    l.time_us = 1796677353723983, l.conn = "127.0.0.1:48858", l.op = 24, l.decoded = true, l.args = std::move(args), l.result = 0;
    return l;
}
Arg text(std::string s) { return Arg{true, 0, std::move(s)}; }

TEST(TraceLine, EveryKindOfLineReadsBackAsWrittenAlsoIntoALineInUse) {
    const std::string lines[] = {
        R"({"time":"2026-12-07T21:02:33.220413Z","conn":"127.0.0.1:48858","op":"Hello","args":["TSRO",1],"result":0})",
        R"({"time":"2026-12-07T21:02:33.223653Z","conn":"127.0.0.1:48858","op":"GetNode","args":["Speed"],"node":"Speed","result":1})",
        R"({"time":"2026-12-07T21:02:33.223983Z","conn":"127.0.0.1:48858","op":"SetNodeValueString","args":[1,"42"],"node":"Speed","result":0})",
        R"({"time":"2026-12-07T21:02:33.224510Z","conn":"127.0.0.1:48858","op":"RegisterOnPLCChanged","args":[],"result":0})",
        R"({"time":"2026-12-07T21:02:33.224950Z","conn":"127.0.0.1:48858","event":"PlcChanged","state":4294967295})",
        R"({"time":"2026-12-07T21:02:33.225230Z","conn":"127.0.0.1:48858","op":"JobStart","args":[],"result":-14,"fault":{"index":0,"kind":"result"}})",
        R"({"time":"2026-12-07T21:02:33.225230Z","conn":"c","op":"JobStart","args":[],"result":null,"fault":{"index":7,"kind":"silent"}})",
        R"({"time":"2026-12-07T21:02:33.225230Z","conn":"c","op":"JobStart","args":[],"result":null,"fault":{"index":18446744073709551615,"kind":"close"}})",
        R"({"time":"2026-12-07T21:02:33.225230Z","conn":"c","op":"JobStart","args":[],"result":0,"fault":{"index":2,"kind":"delay"}})",
        // No operation has the number, fields that did not decode.
        R"({"time":"1970-01-01T00:00:00.000000Z","conn":"c","op":0,"args":null,"result":-2147483648})", R"({"time":"1970-01-01T00:00:00.000010Z","conn":"c","op":65535,"args":null,"result":2147483647})",
        R"({"time":"2026-12-07T21:02:33.000000Z","conn":"c","op":"GetNode","args":null,"result":-4})",
        // An unknown handle, a move to a parent, names that are no UTF-8.
        R"({"time":"2024-02-29T23:59:59.999999Z","conn":"c","op":"GetNodeValueStringLen","args":[99],"node":null,"result":-3})",
        R"({"time":"2000-02-29T12:00:00.500000Z","conn":"c","op":"MoveSubtree","args":[4,5,0],"node":"a.b","newparent":"c","result":0})",
        R"({"time":"2000-02-29T12:00:00.500000Z","conn":"c","op":"MoveSubtree","args":[4,-1,1],"node":{"hex":"FF00"},"newparent":null,"result":0})",
        // Texts: not UTF-8, control characters, quotes, backslashes, DEL,
        // non-ASCII UTF-8, empty, wide numbers.
        kHead + R"("op":"SetNodeValueString","args":[1,{"hex":"FF"}],"node":"Speed","result":-4})",
        kHead + R"("op":"SetNodeValueString","args":[1,{"hex":"41C3"}],"node":"Speed","result":-4})",
        kHead + R"("op":"SetNodeValueString","args":[1,"a\"b\\c\n\r\t\u0000\u001F\u007F"],"node":"q\"\\","result":0})",
        kHead + "\"op\":\"SetNodeValueString\",\"args\":[1,\"\xC3\xA9\xF0\x9F\x98\x80 /\"],\"node\":\"\xE2\x82\xAC\",\"result\":0}",
        kHead + R"("op":"SetNodeValueString","args":[1,""],"node":"","result":0})",
        kHead + R"("op":"SetNodeValueString","args":[-9223372036854775808,"x"],"result":0})", kHead + R"("op":"SetNodeValueString","args":[9223372036854775807,"x"],"result":0})",
        // A recording's: process, thread, when the call began; calls the
        // library answers itself.
        R"({"seq":7,"pid":4242,"tid":4294967295,"begin":"2026-12-07T21:02:33.220001Z","time":"2026-12-07T21:02:33.220413Z","conn":"hc=1","op":"GetNodeValueString","args":[1,64],"node":"a","result":0,"reply":["42"]})",
        R"({"seq":1,"pid":0,"tid":1,"begin":"2026-12-07T21:02:33.000000Z","time":"2026-12-07T21:02:33.100000Z","conn":"hc=1","op":"DetectRemoteController","args":["127.0.0.1",1610],"result":1})",
        R"({"pid":9,"tid":9,"time":"2026-12-07T21:02:33.100000Z","conn":"","op":"DestroyNodeInfo","args":[],"result":-4})", R"({"seq":8,"pid":1,"tid":2,"time":"2026-12-07T21:02:33.100000Z","conn":"hc=1","event":"PlcChanged","state":4})",
    };
    TraceLine slot;  // every line is read over the one before, both ways
    for (size_t i = 0; i < 2 * std::size(lines); ++i) {
        const std::string& line = lines[i < std::size(lines) ? i : 2 * std::size(lines) - 1 - i];
        EXPECT_EQ(reread(line), line);
        EXPECT_EQ(reread(line, slot), line);
    }
}

TEST(TraceLine, TimesAreUtcWithMicroseconds) {
    // Written and read back; -999999 falls in the second of -1, whose date
    // and time of day are then formatted already.
    const std::pair<int64_t, const char*> times[] = {
        {1796677353723983, "2026-12-07T21:02:33.723983Z"}, {1709251199000001, "2024-02-29T23:59:59.000001Z"},
        {951782400000000, "2000-02-29T00:00:00.000000Z"},  {4102444800000000, "2100-01-01T00:00:00.000000Z"},
        {0, "1970-01-01T00:00:00.000000Z"},                {-1, "1969-12-31T23:59:59.999999Z"},
        {-999999, "1969-12-31T23:59:59.000001Z"},          {kMinTime, "0000-01-01T00:00:00.000000Z"},
        {kMinTime + 86399999999, "0000-01-01T23:59:59.999999Z"}, {kMaxTime, "9999-12-31T23:59:59.999999Z"},
        // Outside the years a line holds: the nearer end (one way only).
        {INT64_MIN, "0000-01-01T00:00:00.000000Z"},        {INT64_MAX, "9999-12-31T23:59:59.999999Z"},
    };
    char buf[kTimeTextSize + 1];
    int64_t us = 0;
    for (const auto& [t, written] : times) {
        EXPECT_EQ(utc_text(t, buf), written);
        EXPECT_TRUE(parse_utc(written, us)) << written;
        EXPECT_EQ(us, std::clamp(t, kMinTime, kMaxTime)) << written;
    }
    for (const char* bad : {"2023-02-29T00:00:00.000000Z", "2100-02-29T00:00:00.000000Z", "2026-04-31T00:00:00.000000Z",
                            "2026-00-01T00:00:00.000000Z", "2026-13-01T00:00:00.000000Z", "2026-01-00T00:00:00.000000Z",
                            "2026-01-01T24:00:00.000000Z", "2026-01-01T00:60:00.000000Z", "2026-01-01T00:00:60.000000Z",
                            "2026-01-01T00:00:00.000000z", "2026-01-01 00:00:00.000000Z", "2026-01-01T00:00:00.00000Z",
                            "2026-01-01T00:00:00.0000000Z", "+026-01-01T00:00:00.000000Z", "2026-01-01T00:00:00Z"})
        EXPECT_FALSE(parse_utc(bad, us)) << bad;
}

TEST(TraceLine, WhatIsNoLineIsRefusedWithThePlaceNamed) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "column 1: the line ends where { was expected"}, {kHead, "column 50: expected a key"},
        {R"("op":"JobStart","args":[],"result":0)", "column 86: the line ends where } was expected"},
        {R"("op":"JobStart","args":[],"result":0})" "\n", "column 87: bytes after the line's object"},
        {R"("op":"JobStart","args":[],"result":0,"extra":1})", "column 87: an unknown key \"extra\""},
        {R"("op":"JobStart","result":0,"args":[]})", "column 66: the key \"args\" is missing"}, {R"("op":"JobStart","args":[]})", "column 75: the key \"result\" is missing"},
        {R"("op":"JobStart","args":[],"result":0,"args":[]})", "column 87: the key \"args\" out of order"},
        {R"("op":"NoSuchOp","args":[],"result":0})", "column 55: \"op\": no request operation is named \"NoSuchOp\""},
        {R"("op":10,"args":[],"result":0})", "\"op\": operation 10 is written by its name"}, {R"("op":65536,"args":null,"result":0})", "\"op\": the number is out of range"},
        {R"("op":"JobStart","args":{},"result":0})", "column 73: \"args\": expected ["}, {R"("op":"JobStart","args":[true],"result":0})", "column 74: \"args\": expected a number"},
        {R"("op":"JobStart","args":[01],"result":0})", "\"args\": a number as it is never written"},
        {R"("op":"JobStart","args":[1.5],"result":0})", "\"args\": expected a whole number"},
        {R"("op":"JobStart","args":[9223372036854775808],"result":0})", "\"args\": the number is out of range"},
        {R"("op":"JobStart","args":[],"result":0,"fault":{"index":0,"kind":"later"}})", "\"kind\": no fault kind is named \"later\""},
        {R"("op":"JobStart","args":[],"result":0,"fault":{"kind":"close","index":0}})", "expected the key \"index\", not \"kind\""},
        // Texts: only as format() escapes them, only UTF-8, hex only for what is not.
        {R"("op":"GetNode","args":["a\/b"],"result":0})", "column 75: \"args\": an escape that is never written"},
        {R"("op":"GetNode","args":["\u0041"],"result":0})", "\"args\": an escape that is never written"},
        {R"("op":"GetNode","args":["\ud800"],"result":0})", "\"args\": an escape that is never written"},
        {R"("op":"GetNode","args":["\u00-1"],"result":0})", "\"args\": an escape that is never written"},
        {"\"op\":\"GetNode\",\"args\":[\"a\tb\"],\"result\":0}", "\"args\": a control character that is not escaped"},
        {"\"op\":\"GetNode\",\"args\":[\"\xFF\"],\"result\":0}", "column 73: \"args\": a string that is not UTF-8"},
        {R"("op":"GetNode","args":[{"hex":"41"}],"result":0})", "\"hex\": a UTF-8 text is written as a string, not in hex"},
        {R"("op":"GetNode","args":[{"hex":"ff"}],"result":0})", "\"hex\": expected two upper-case hex digits"},
        {R"("op":"GetNode","args":[{"bytes":"FF"}],"result":0})", "\"args\": a text is a string or {\"hex\": ...}, not an object with \"bytes\""},
        {R"("op":"GetNode","args":[{"hex":"FF","x":1}],"result":0})", "\"args\": expected }"}, {R"("op":"GetNode","args":["Speed],"result":0})", "column 82: \"args\": expected ]"},
        {R"("op":"GetNode","args":["Speed)", "column 73: \"args\": the string is not closed"},
        {R"("op":"DestroyNodeInfo","args":[],"result":0,"reply":[]})", "column 102: \"reply\": the reply of DestroyNodeInfo has no fields besides its result"},
        {R"({"pid":1,"seq":1,)" + kTime + R"(,"conn":"c","event":"PlcChanged","state":1})", "column 10: the key \"seq\" out of order: it comes first"},
        {R"({"tid":1,"pid":1,)" + kTime + R"(,"conn":"c","event":"PlcChanged","state":1})", "column 10: expected the key \"time\", not \"pid\""},
        {R"({"pid":-1,)" + kTime + R"(,"conn":"c","event":"PlcChanged","state":1})", "column 8: \"pid\": the number is out of range"},
        {R"({"begin":"2026-12-07T21:02:33Z",)" + kTime + R"(,"conn":"c","event":"PlcChanged","state":1})", "column 10: \"begin\": expected a time as"},
        // The start of every line, and events.
        {R"({"conn":"c","time":"2026-12-07T21:02:33.224239Z","event":"PlcChanged","state":1})", "column 2: expected the key \"time\", not \"conn\""},
        {R"({"time":"2026-12-07T21:02:33.224239","conn":"c","event":"PlcChanged","state":1})", "column 9: \"time\": expected a time as"},
        {R"({"time":1,"conn":"c","event":"PlcChanged","state":1})", "column 9: \"time\": expected a string"},
        {R"({"time":"2026-12-07T21:02:33.224239Z","conn":7,"event":"PlcChanged","state":1})", "column 46: \"conn\": expected a string"},
        {R"("event":"JobDone","state":1})", "column 58: \"event\": expected \"PlcChanged\""},
        {R"("event":"PlcChanged","state":4294967296})", "\"state\": the number is out of range"}, {R"("event":"PlcChanged"})", "expected ,"},
        {R"("event":"PlcChanged","state":1,"result":0})", "column 80: expected }"}, {R"("state":1,"event":"PlcChanged"})", "an unknown key \"state\""},
    };
    test::expect_refused(cases);
}

TEST(TraceLine, TextsOfEveryByteAndOfTheLargestSizeReadBack) {
    std::string error;
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        auto got = parse(format(request({text(byte)})), error);
        ASSERT_TRUE(got) << b << ": " << error;
        EXPECT_EQ(got->args.at(0).str, byte) << b;
    }
    // A write of a 6 MiB value: the largest line a client's frame can make.
    TraceLine l = request({Arg{false, 1, ""}, text(std::string(6 << 20, '"'))});
    for (char c : {'\xFF', 'x'}) {  // in hex, or escaped: twice the size again
        l.args[1].str[12345] = c;
        const std::string line = format(l);
        ASSERT_GT(line.size(), 12u << 20);
        EXPECT_EQ(reread(line), line);
    }
}

}  // namespace
}  // namespace tessaro::trace
