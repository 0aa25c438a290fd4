#include "json/json_text.h"

#include <gtest/gtest.h>

#include <string>

namespace vemla {
namespace {

TEST(ParseJson, KeepsTheThreeKindsOfNumberApart) {
    auto parsed = parse_json(R"({"u":1,"i":-1,"f":1.0,"e":1e2,"big":18446744073709551615})");
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    EXPECT_TRUE((*parsed)["u"].is_number_unsigned());
    EXPECT_TRUE(is_non_negative_integer((*parsed)["u"]));
    EXPECT_FALSE(is_non_negative_integer((*parsed)["i"]));
    EXPECT_FALSE(is_non_negative_integer((*parsed)["f"]));
    EXPECT_FALSE(is_non_negative_integer((*parsed)["e"]));
    EXPECT_TRUE(is_non_negative_integer((*parsed)["big"]));
}

TEST(ParseJson, ObjectsSerialiseInAscendingByteOrder) {
    auto parsed = parse_json("{ \"b\" : 1,\n \"a\":[true, null], \"\xc3\xa9\":\"x\", \"Z\":{} }");
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    EXPECT_EQ(to_compact_json(*parsed), "{\"Z\":{},\"a\":[true,null],\"b\":1,\"\xc3\xa9\":\"x\"}");
}

struct BadText {
    const char* name;
    std::string text;
    const char* error_part;
};

class ParseJsonRefuses : public testing::TestWithParam<BadText> {};

TEST_P(ParseJsonRefuses, WithTheParserText) {
    auto parsed = parse_json(GetParam().text);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_NE(parsed.error().find(GetParam().error_part), std::string::npos) << parsed.error();
}

INSTANTIATE_TEST_SUITE_P(
    Inputs, ParseJsonRefuses,
    testing::Values(BadText{"garbage", "garbage", "parse error"},
                    BadText{"empty", "", "parse error"},
                    BadText{"truncated", "{\"a\":", "parse error"},
                    BadText{"invalid_utf8", "\"\xff\xfe\"", "ill-formed UTF-8"},
                    BadText{"raw_nul", std::string("\"a\0b\"", 5), "parse error"},
                    BadText{"trailing", "{} {}", "parse error"},
                    BadText{"nesting_65", std::string(65, '[') + std::string(65, ']'),
                            "nesting deeper than 64"},
                    BadText{"nesting_names_the_offending_byte", std::string(65, '['), "at byte 65"},
                    BadText{"hostile_20mib", std::string(20u << 20, '['), "nesting deeper than 64"},
                    BadText{"deep_objects",
                            [] {
                                std::string s;
                                for (int i = 0; i < 100; ++i)
                                    s += "{\"a\":";
                                return s + "1" + std::string(100, '}');
                            }(),
                            "nesting deeper than 64"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(ParseJson, AcceptsNestingUpToTheCap) {
    auto parsed = parse_json(std::string(64, '[') + std::string(64, ']'));
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
}

TEST(ParseJson, BracketsInsideStringsDoNotCountAsNesting) {
    const std::string text = "[\"" + std::string(200, '[') + "\\\"" + std::string(200, '{') + "\"]";
    auto parsed = parse_json(text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error();
    EXPECT_EQ((*parsed)[0].get<std::string>().size(), 401u);
}

TEST(ParseJson, EscapedNulBecomesPartOfTheString) {
    auto parsed = parse_json(R"("a\u0000b")");
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->get<std::string>(), std::string("a\0b", 3));
}

TEST(CompactJson, SizeMatchesTheSerialisedText) {
    for (const char* text : {"null", "0", "-12", "1.5", "1e300", "\"\"",
                             R"("tab\tquote\"nul\u0000é€😀")", R"({"a":[1,2,{"b":null}],"c":"x"})",
                             "[]", "{}", R"([18446744073709551615,-9223372036854775808,0.1])"}) {
        auto parsed = parse_json(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        EXPECT_EQ(compact_json_size(*parsed), to_compact_json(*parsed).size()) << text;
    }
}

TEST(CompactJson, NeverThrowsOnInvalidUtf8) {
    const Json bad = std::string(
        "a\xff"
        "b");
    std::string text;
    ASSERT_NO_THROW(text = to_compact_json(bad));
    EXPECT_EQ(text,
              "\"a\xef\xbf\xbd"
              "b\"");
    EXPECT_EQ(compact_json_size(bad), text.size());
}

}  // namespace
}  // namespace vemla
