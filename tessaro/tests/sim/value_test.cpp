// Value parsing and rendering per type, with limits and options.
#include <gtest/gtest.h>

#include "value.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

VarDef var(int32_t type, float min = 0, float max = 0, std::vector<std::string> options = {}) {
    VarDef s;
    s.type = type;
    s.min = min;
    s.max = max;
    s.options = std::move(options);
    return s;
}

// Parses and renders; "" plus the code in `rc` when refused.
std::string roundtrip(const VarDef& s, const std::string& text, int* rc = nullptr) {
    Value v;
    int r = parse_value(s, text, v);
    if (rc) *rc = r;
    return r == E_OK ? render(s, v) : std::string();
}

int code(const VarDef& s, const std::string& text) {
    Value v;
    v.text = "untouched";
    int rc = parse_value(s, text, v);
    if (rc != E_OK) {
        EXPECT_EQ(v.text, "untouched") << "a refused parse changed the value";
    }
    return rc;
}

TEST(Value, IntegersAreDecimalWithinTheirType) {
    VarDef i32 = var(VT_I32), i64 = var(VT_I64);
    EXPECT_EQ(roundtrip(i32, "42"), "42");
    EXPECT_EQ(roundtrip(i32, "+007"), "7");
    EXPECT_EQ(roundtrip(i32, "-2147483648"), "-2147483648");
    EXPECT_EQ(code(i32, "2147483648"), E_RANGE);
    EXPECT_EQ(code(i32, "-2147483649"), E_RANGE);
    EXPECT_EQ(roundtrip(i64, "-9223372036854775808"), "-9223372036854775808");
    EXPECT_EQ(roundtrip(i64, "9223372036854775807"), "9223372036854775807");
    EXPECT_EQ(code(i64, "9223372036854775808"), E_RANGE);
    EXPECT_EQ(code(i64, "99999999999999999999999"), E_RANGE);
    for (const char* bad : {"", "-", "+", " 1", "1 ", "1.0", "0x10", "1e3", "12a"}) EXPECT_EQ(code(i32, bad), E_INVALID) << bad;
}

TEST(Value, NumericLimitsApplyOnlyWhenMinIsBelowMax) {
    VarDef s = var(VT_I32, 0, 10000);
    EXPECT_EQ(roundtrip(s, "0"), "0");
    EXPECT_EQ(roundtrip(s, "10000"), "10000");
    EXPECT_EQ(code(s, "10001"), E_RANGE);
    EXPECT_EQ(code(s, "-1"), E_RANGE);
    EXPECT_EQ(roundtrip(var(VT_I32, 5, 5), "-100"), "-100");  // min == max: no limits

    VarDef r32 = var(VT_R32, 0, 2.5f);
    EXPECT_EQ(roundtrip(r32, "2.5"), "2.5");
    EXPECT_EQ(code(r32, "2.501"), E_RANGE);
    EXPECT_EQ(roundtrip(r32, "2.50000001"), "2.5");  // rounds onto the limit
    EXPECT_EQ(code(r32, "-0.001"), E_RANGE);
    VarDef r64 = var(VT_R64, -40, 150);
    EXPECT_EQ(code(r64, "150.0000001"), E_RANGE);
    EXPECT_EQ(roundtrip(r64, "-40"), "-40");
}

TEST(Value, RealsRenderShortestAndRefuseWhatIsNoNumber) {
    VarDef r32 = var(VT_R32), r64 = var(VT_R64);
    EXPECT_EQ(roundtrip(r32, "1.1"), "1.1");
    EXPECT_EQ(roundtrip(r64, "0.1"), "0.1");
    EXPECT_EQ(roundtrip(r64, "1e3"), "1000");
    EXPECT_EQ(roundtrip(r64, ".5"), "0.5");
    EXPECT_EQ(roundtrip(r64, "-0"), "0");
    EXPECT_EQ(roundtrip(r32, "16777217"), "16777216");  // rounded to single precision
    EXPECT_EQ(roundtrip(r64, "0.000015"), "0.000015");
    EXPECT_EQ(roundtrip(r64, "1e20"), "1e+20");
    EXPECT_EQ(roundtrip(r64, "123456.789"), "123456.789");
    EXPECT_EQ(roundtrip(r64, "-2.5e-300"), "-2.5e-300");
    EXPECT_EQ(code(r32, "1e39"), E_RANGE);
    EXPECT_EQ(code(r64, "1e400"), E_RANGE);
    for (const char* bad : {"", "nan", "inf", "-inf", "1,5", "0x1p3", "1e", ".", "1.2.3", " 1"})
        EXPECT_EQ(code(r64, bad), E_INVALID) << bad;
}

TEST(Value, BooleansAcceptWordsAndDigits) {
    VarDef b = var(VT_BOOLEAN);
    EXPECT_EQ(roundtrip(b, "true"), "true");
    EXPECT_EQ(roundtrip(b, "TRUE"), "true");
    EXPECT_EQ(roundtrip(b, "1"), "true");
    EXPECT_EQ(roundtrip(b, "False"), "false");
    EXPECT_EQ(roundtrip(b, "0"), "false");
    for (const char* bad : {"", "yes", "2", "truee", " true"}) EXPECT_EQ(code(b, bad), E_INVALID) << bad;
}

TEST(Value, TextTypesDifferInLineEnds) {
    EXPECT_EQ(roundtrip(var(VT_STR), ""), "");
    EXPECT_EQ(roundtrip(var(VT_STR), "  blanks kept  "), "  blanks kept  ");
    EXPECT_EQ(code(var(VT_STR), "a\nb"), E_INVALID);
    EXPECT_EQ(code(var(VT_FILE), "a\rb"), E_INVALID);
    EXPECT_EQ(roundtrip(var(VT_TEXT), "a\r\nb\n"), "a\r\nb\n");
    EXPECT_EQ(code(var(VT_TEXT), std::string("a\0b", 3)), E_INVALID);
    EXPECT_EQ(code(var(VT_TEXT), std::string(kMaxValueText + 1, 'x')), E_RANGE);
    EXPECT_EQ(roundtrip(var(VT_TEXT), std::string(kMaxValueText, 'x')).size(), kMaxValueText);
}

TEST(Value, SelectionIsOneOfItsOptions) {
    VarDef s = var(VT_SEL, 0, 0, {"manual", "auto"});
    EXPECT_EQ(roundtrip(s, "auto"), "auto");
    EXPECT_EQ(code(s, "Auto"), E_RANGE);
    EXPECT_EQ(code(s, "1"), E_RANGE);
    EXPECT_EQ(code(var(VT_SEL), ""), E_RANGE);  // no options: nothing can be chosen
    EXPECT_EQ(default_value(s).text, "manual");
}

TEST(Value, SetRendersInOptionOrder) {
    VarDef s = var(VT_SET, 0, 0, {"laser", "camera", "vacuum"});
    EXPECT_EQ(roundtrip(s, "vacuum, laser"), "laser,vacuum");
    EXPECT_EQ(roundtrip(s, "camera,camera"), "camera");
    EXPECT_EQ(roundtrip(s, ""), "");
    EXPECT_EQ(roundtrip(s, "  "), "");
    EXPECT_EQ(code(s, "laser,,camera"), E_INVALID);
    EXPECT_EQ(code(s, "laser,"), E_INVALID);
    EXPECT_EQ(code(s, "laser,drill"), E_RANGE);
}

TEST(Value, BinaryIsHexTextAndRawBytes) {
    VarDef s = var(VT_BIN);
    Value v;
    ASSERT_EQ(parse_value(s, "00 7f 80\nFF", v), E_OK);
    EXPECT_EQ(v.bytes, (std::vector<uint8_t>{0x00, 0x7F, 0x80, 0xFF}));
    EXPECT_EQ(render(s, v), "007F80FF");
    EXPECT_EQ(raw_bytes(s, v), v.bytes);
    EXPECT_EQ(roundtrip(s, ""), "");
    EXPECT_EQ(code(s, "ABC"), E_INVALID);
    EXPECT_EQ(code(s, "0G"), E_INVALID);
    EXPECT_EQ(code(s, "A B"), E_INVALID);  // blanks only between pairs
    EXPECT_EQ(code(s, "ABC "), E_INVALID);
    EXPECT_EQ(code(s, std::string(2 * (kMaxBinBytes + 1), 'A')), E_RANGE);

    Value t;
    ASSERT_EQ(parse_value(var(VT_STR), "abc", t), E_OK);
    EXPECT_EQ(raw_bytes(var(VT_STR), t), (std::vector<uint8_t>{'a', 'b', 'c'}));
}

TEST(Value, DefaultsStayInsideTheLimits) {
    EXPECT_EQ(render(var(VT_I32), default_value(var(VT_I32))), "0");
    EXPECT_EQ(render(var(VT_I32, 3.5f, 9), default_value(var(VT_I32, 3.5f, 9))), "4");
    EXPECT_EQ(render(var(VT_R64, -5, -1), default_value(var(VT_R64, -5, -1))), "-1");
    EXPECT_EQ(render(var(VT_BOOLEAN), default_value(var(VT_BOOLEAN))), "false");
    EXPECT_EQ(render(var(VT_BIN), default_value(var(VT_BIN))), "");
}

}  // namespace
}  // namespace tessaro::sim
