// Value parsing and rendering per type, with limits, options, refusals and
// defaults.
#include <gtest/gtest.h>

#include "value.h"
#include "xal_tessaro.h"

namespace tessaro::sim {
namespace {

VarDef var(int32_t type, float min = 0, float max = 0, std::vector<std::string> options = {}) {
    VarDef d;
    d.type = type;
    d.min = min;
    d.max = max;
    d.options = std::move(options);
    return d;
}

// One definition per type, and the limited and optioned variants.
const VarDef i32 = var(VT_I32), i64 = var(VT_I64), r32 = var(VT_R32), r64 = var(VT_R64);
const VarDef boolean = var(VT_BOOLEAN), str = var(VT_STR), text = var(VT_TEXT), file = var(VT_FILE), bin = var(VT_BIN);
const VarDef limited = var(VT_I32, 0, 10000), unlimited = var(VT_I32, 5, 5);  // min == max: no limits
const VarDef r32_limited = var(VT_R32, 0, 2.5f), r64_limited = var(VT_R64, -40, 150);
const VarDef sel = var(VT_SEL, 0, 0, {"manual", "auto"}), no_options = var(VT_SEL);
const VarDef set = var(VT_SET, 0, 0, {"laser", "camera", "vacuum"});

TEST(Value, AcceptedTextRendersCanonically) {
    struct Case {
        const VarDef& def;
        std::string in, out;
    };
    const Case cases[] = {
        {i32, "42", "42"}, {i32, "+007", "7"}, {i32, "-2147483648", "-2147483648"},
        {i64, "-9223372036854775808", "-9223372036854775808"}, {i64, "9223372036854775807", "9223372036854775807"},
        {limited, "0", "0"}, {limited, "10000", "10000"}, {unlimited, "-100", "-100"},
        {r32_limited, "2.5", "2.5"}, {r32_limited, "2.50000001", "2.5"},  // rounds onto the limit
        {r64_limited, "-40", "-40"}, {r32, "1.1", "1.1"}, {r64, "0.1", "0.1"}, {r64, "1e3", "1000"},
        {r64, ".5", "0.5"}, {r64, "-0", "0"}, {r32, "16777217", "16777216"},  // single precision
        {r64, "0.000015", "0.000015"}, {r64, "1e20", "1e+20"}, {r64, "123456.789", "123456.789"},
        {r64, "-2.5e-300", "-2.5e-300"},
        {boolean, "true", "true"}, {boolean, "TRUE", "true"}, {boolean, "1", "true"}, {boolean, "False", "false"},
        {boolean, "0", "false"},
        {str, "", ""}, {str, "  blanks kept  ", "  blanks kept  "}, {text, "a\r\nb\n", "a\r\nb\n"},
        {text, std::string(kMaxValueText, 'x'), std::string(kMaxValueText, 'x')},
        {sel, "auto", "auto"},
        {set, "vacuum, laser", "laser,vacuum"}, {set, "camera,camera", "camera"}, {set, "  ", ""},
        {bin, "00 7f 80\nFF", "007F80FF"}, {bin, "", ""},
    };
    for (const Case& c : cases) {
        Value v;
        ASSERT_EQ(parse_value(c.def, c.in, v), E_OK) << c.def.type << " '" << c.in.substr(0, 40) << "'";
        EXPECT_EQ(render(c.def, v), c.out) << c.def.type << " '" << c.in.substr(0, 40) << "'";
    }
}

TEST(Value, RefusedTextLeavesTheValueAlone) {
    struct Case {
        const VarDef& def;
        std::string in;
        int rc;
    };
    const Case cases[] = {
        {i32, "2147483648", E_RANGE}, {i32, "-2147483649", E_RANGE}, {i64, "9223372036854775808", E_RANGE},
        {i64, "99999999999999999999999", E_RANGE}, {limited, "10001", E_RANGE}, {limited, "-1", E_RANGE},
        {r32_limited, "2.501", E_RANGE}, {r32_limited, "-0.001", E_RANGE}, {r64_limited, "150.0000001", E_RANGE},
        {r32, "1e39", E_RANGE}, {r64, "1e400", E_RANGE},
        {text, std::string(kMaxValueText + 1, 'x'), E_RANGE}, {str, "a\nb", E_INVALID}, {file, "a\rb", E_INVALID},
        {text, std::string("a\0b", 3), E_INVALID},
        {sel, "Auto", E_RANGE}, {sel, "1", E_RANGE}, {no_options, "", E_RANGE},
        {set, "laser,,camera", E_INVALID}, {set, "laser,", E_INVALID}, {set, "laser,drill", E_RANGE},
        {bin, "ABC", E_INVALID}, {bin, "0G", E_INVALID}, {bin, "A B", E_INVALID}, {bin, "ABC ", E_INVALID},
        {bin, std::string(2 * (kMaxBinBytes + 1), 'A'), E_RANGE},
    };
    auto refused = [](const VarDef& def, const std::string& in, int rc) {
        Value v;
        v.text = "untouched";
        EXPECT_EQ(parse_value(def, in, v), rc) << def.type << " '" << in.substr(0, 40) << "'";
        EXPECT_TRUE(v.text == "untouched" && v.bytes.empty()) << "a refused parse changed the value";
    };
    for (const Case& c : cases) refused(c.def, c.in, c.rc);
    for (const char* bad : {"", "-", "+", " 1", "1 ", "1.0", "0x10", "1e3", "12a"}) refused(i32, bad, E_INVALID);
    for (const char* bad : {"", "nan", "inf", "-inf", "1,5", "0x1p3", "1e", ".", "1.2.3", " 1"})
        refused(r64, bad, E_INVALID);
    for (const char* bad : {"", "yes", "2", "truee", " true"}) refused(boolean, bad, E_INVALID);
}

TEST(Value, DefaultsStayInsideTheLimits) {
    const std::pair<VarDef, const char*> cases[] = {{i32, "0"}, {var(VT_I32, 3.5f, 9), "4"}, {var(VT_R64, -5, -1), "-1"},
                                                    {boolean, "false"}, {bin, ""}, {sel, "manual"}};
    for (const auto& [def, shown] : cases) EXPECT_EQ(render(def, default_value(def)), shown) << def.type;
}

}  // namespace
}  // namespace tessaro::sim
