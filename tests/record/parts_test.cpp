// The recording's parts that the transcripts reach only in part: floats and
// texts written exactly as the trace writes them, the names of nodes carried
// through renames and moves, and redaction tokens.
#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "line.h"
#include "names.h"
#include "text/json_text.h"

namespace {

using zuna::record::Line;

// What the trace writes for a float (the trace's own rule, spelled out).
std::string traced(float v) {
    if (std::isnan(v)) return "\"nan\"";
    if (std::isinf(v)) return v < 0 ? "\"-inf\"" : "\"inf\"";
    char buf[32];
    std::string t(buf, std::to_chars(buf, buf + sizeof buf, v).ptr);
    return t == "-0" ? "-0.0" : t;
}

TEST(RecordLine, FloatsAndTextsAsTheTraceWritesThem) {
    std::vector<float> floats = {0.0f, -0.0f, 0.1f, 16777216.0f, 123456792.0f, 1e10f, 1.5e-5f, 0.0001f,
                                 std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(),
                                 std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::infinity()};
    for (int e = -149; e <= 127; ++e) floats.push_back(std::ldexp(1.0f, e)), floats.push_back(-std::ldexp(1.0f, e));
    std::mt19937 random(7);
    for (int i = 0; i < 300000; ++i) {
        uint32_t bits = random();
        float v;
        std::memcpy(&v, &bits, sizeof v);
        floats.push_back(v);
    }
    char buf[32];
    for (float v : floats) ASSERT_EQ(std::string(buf, zuna::record::real_text(v, buf)), traced(v)) << std::hexfloat << v;

    for (int b = 0; b < 256; ++b) {
        const std::string s(1, static_cast<char>(b));
        std::string json;
        tessaro::text::append_json_string(json, s);
        const std::string hex = "{\"hex\":\"" + tessaro::text::hex_text(reinterpret_cast<const uint8_t*>(s.data()), 1) + "\"}";
        EXPECT_EQ(Line().text(s.data(), 1).data(), tessaro::text::is_utf8(s) ? json : hex) << b;
    }
}

TEST(RecordNames, RenamesAndMovesCarryTheirSubtreesOfOneConnection) {
    zuna::record::Names names;
    auto name = [&](int hc, int handle) {
        char* n = names.find(hc, handle);
        std::string s = n ? n : "?";
        std::free(n);
        return s;
    };
    for (int h = 0; h < 200; ++h) names.learn(1, h, ("f.n" + std::to_string(h)).c_str());  // grows the table
    names.learn(1, 500, "a.b"), names.learn(1, 501, "a.b.x"), names.learn(1, 502, "a.bb"), names.learn(2, 501, "a.b.x");
    names.moved(1, "a.b", "c.d");
    EXPECT_EQ(name(1, 500) + " " + name(1, 501) + " " + name(1, 502) + " " + name(2, 501), "c.d c.d.x a.bb a.b.x");
    names.moved(1, "c.d", nullptr);  // moved where its name is not known
    names.forget(1, 7);
    names.learn(1, 8, "again");
    EXPECT_EQ(name(1, 500) + " " + name(1, 501) + " " + name(1, 7) + " " + name(1, 8) + " " + name(1, 199), "? ? ? again f.n199");
}

TEST(RecordRedaction, MatchingOrUnknownNodesGiveTokensOfTheirValues) {
    const char* key = "00112233445566778899aabbccddeeff";
    zuna::record::Redaction none(nullptr, key), some("cell.*\n*.Secret", key), other_key("x", "ffeeddccbbaa99887766554433221100");
    EXPECT_FALSE(none.any() || none.applies(nullptr));
    EXPECT_TRUE(some.applies("cell.Speed") && some.applies("a.Secret") && some.applies(nullptr));
    EXPECT_FALSE(some.applies("cellar") || some.applies("a.Secrets"));
    char a[26], b[26], c[26], d[26];
    some.token("42", 2, a), none.token("42", 2, b), some.token("43", 2, c), other_key.token("42", 2, d);
    EXPECT_EQ(std::string(a), b);
    EXPECT_NE(std::string(a), c);
    EXPECT_NE(std::string(a), d);
    EXPECT_EQ(std::string(a).size(), 25u);
}

}  // namespace
