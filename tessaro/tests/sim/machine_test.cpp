// The machine model in-process: values parsed and rendered per type, names
// unique among siblings, and binary copies that refuse a buffer of any other
// size than the value's.
// Reads, writes, creates, job runs, their timings and events are the
// end-to-end transcripts'.
#include <gtest/gtest.h>

#include "default_scenario.h"
#include "support.h"
#include "value.h"

namespace tessaro::sim {
namespace {

VarDef var(int32_t type, float min = 0, float max = 0, std::vector<std::string> options = {}) {
    return {type, min, max, std::move(options)};
}
const VarDef i32 = var(VT_I32), i64 = var(VT_I64), r32 = var(VT_R32), r64 = var(VT_R64), boolean = var(VT_BOOLEAN);
const VarDef str = var(VT_STR), text = var(VT_TEXT), bin = var(VT_BIN), no_options = var(VT_SEL);
const VarDef set = var(VT_SET, 0, 0, {"laser", "camera", "vacuum"});
const VarDef limited = var(VT_I32, 0, 10000), unlimited = var(VT_I32, 5, 5);  // min == max: no limits
const VarDef r32_limited = var(VT_R32, 0, 2.5f), r64_limited = var(VT_R64, -40, 150);
const std::string kRange = "E" + std::to_string(E_RANGE), kInvalid = "E" + std::to_string(E_INVALID);

// The rendering of parsed text, or "E" and the result of a refusal, which
// must leave the value alone.
std::string parsed(const VarDef& def, const std::string& in) {
    Value v;
    v.text = "untouched";
    int rc = parse_value(def, in, v);
    if (rc == E_OK) return render(def, v);
    EXPECT_TRUE(v.text == "untouched" && v.bytes.empty()) << "a refused parse changed the value";
    return "E" + std::to_string(rc);
}

TEST(Value, TextIsParsedIntoCanonicalFormOrRefusedAndDefaultsKeepTheLimits) {
    const std::tuple<const VarDef&, std::string, std::string> cases[] = {
        {i32, "+007", "7"}, {i64, "-9223372036854775808", "-9223372036854775808"}, {limited, "10000", "10000"},
        {unlimited, "-100", "-100"}, {r32_limited, "2.50000001", "2.5"},  // rounds onto the limit
        {r32, "16777217", "16777216"}, {r64, "0.1", "0.1"}, {r64, "1e20", "1e+20"}, {boolean, "TRUE", "true"},
        {text, std::string(kMaxValueText, 'x'), std::string(kMaxValueText, 'x')},
        {set, "vacuum, laser", "laser,vacuum"}, {set, "camera,camera", "camera"}, {bin, "00 7f 80\nFF", "007F80FF"},

        {i32, "2147483648", kRange}, {i64, "9223372036854775808", kRange}, {limited, "-1", kRange},
        {r32_limited, "2.501", kRange}, {r64_limited, "150.0000001", kRange}, {r32, "1e39", kRange},
        {text, std::string(kMaxValueText + 1, 'x'), kRange}, {bin, std::string(2 * (kMaxBinBytes + 1), 'A'), kRange},
        {no_options, "", kRange}, {set, "laser,drill", kRange}, {str, "a\nb", kInvalid}, {set, "laser,,camera", kInvalid},
        {bin, "ABC", kInvalid}, {i32, " 1", kInvalid}, {i32, "1.0", kInvalid}, {r64, "nan", kInvalid},
        {r64, "1e", kInvalid}, {boolean, "2", kInvalid},
    };
    for (const auto& [def, in, out] : cases) EXPECT_EQ(parsed(def, in), out) << def.type << " " << in.substr(0, 40);
    const std::pair<VarDef, const char*> defaults[] = {{var(VT_I32, 3.5f, 9), "4"}, {var(VT_R64, -5, -1), "-1"}};
    for (const auto& [def, shown] : defaults) EXPECT_EQ(render(def, default_value(def)), shown) << def.type;
}

TEST(Machine, NamesStayUniqueAndBinaryCopiesNeedExactlyTheValuesSize) {
    Machine m(test::load(default_scenario_text()));
    int32_t speed = m.get_node("demo.Speed");
    EXPECT_EQ(m.rename_node(speed, "Gain"), E_EXIST);
    EXPECT_EQ(m.rename_node(speed, "Speed"), E_OK);  // its own name
    EXPECT_EQ(m.create_node("demo.Speed", VT_I32), E_EXIST);
    int32_t calibration = m.get_node("demo.Calibration");  // 20 bytes
    std::vector<uint8_t> bytes;
    EXPECT_EQ(m.bin_copy(calibration, 19, bytes), E_NOSPACE);
    EXPECT_EQ(m.bin_copy(calibration, 21, bytes), E_NOSPACE);
    EXPECT_EQ(m.bin_copy(calibration, 20, bytes), E_OK);
    EXPECT_EQ(bytes.size(), 20u);
}

}  // namespace
}  // namespace tessaro::sim
