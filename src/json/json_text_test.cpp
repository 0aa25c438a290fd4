#include "json/json_text.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

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

// Texts whose error quotes far more input than fits; each must give a message of at most
// kMaxParseErrorBytes that keeps the parser's own words around the quote and ends the quote on
// a whole character.
struct LongBadText {
    const char* name;
    std::string text;
    const char* keeps;
    const char* ends_with;
};

std::string repeat_to_size(std::string_view head, std::string_view piece, std::size_t size) {
    std::string text(head);
    while (text.size() + piece.size() <= size) {
        text += piece;
    }
    return text;
}

constexpr std::size_t kLong = 64u << 10;

void expect_bounded(const std::string& error) {
    EXPECT_LE(error.size(), kMaxParseErrorBytes);
    EXPECT_GT(error.size(), kMaxParseErrorBytes - 8) << "the quote should fill the room left";
    // A reply escapes each backslash and quote mark: the error member stays near 1 KiB.
    EXPECT_LE(compact_json_size(Json(error)), 2 * kMaxParseErrorBytes + 2);
}

class ParseJsonBoundsItsError : public testing::TestWithParam<LongBadText> {};

TEST_P(ParseJsonBoundsItsError, WholeCharactersAndTheParserWords) {
    const auto parsed = parse_json(GetParam().text);
    ASSERT_FALSE(parsed.has_value());
    const std::string& error = parsed.error();
    expect_bounded(error);
    EXPECT_NE(error.find(GetParam().keeps), std::string::npos) << error;
    EXPECT_TRUE(error.ends_with(GetParam().ends_with)) << error;
}

INSTANTIATE_TEST_SUITE_P(
    LongQuotes, ParseJsonBoundsItsError,
    testing::Values(
        LongBadText{"unterminated_string", repeat_to_size("{\"a\":\"", "a", kLong),
                    "missing closing quote; last read: '\"aaaa", "aaaa...'"},
        LongBadText{"two_byte_characters", repeat_to_size("[\"", "\xc3\xa9", kLong),
                    "last read: '\"\xc3\xa9", "\xc3\xa9\xc3\xa9...'"},
        LongBadText{"three_byte_characters_at_an_odd_start",
                    repeat_to_size("[\"x", "\xe2\x82\xac", kLong), "last read: '\"x\xe2\x82\xac",
                    "\xe2\x82\xac...'"},
        LongBadText{"escapes_that_double_in_the_reply", repeat_to_size("\"", "\\\\", kLong),
                    "last read: '\"\\\\", "\\\\...'"},
        LongBadText{"unterminated_key_keeps_what_was_expected", repeat_to_size("{\"", "k", kLong),
                    "while parsing object key - invalid string: missing closing quote",
                    "kkkk...'; expected string literal"},
        LongBadText{"bad_byte_at_the_end", repeat_to_size("\"", "b", kLong - 1) + "\xff",
                    "ill-formed UTF-8 byte; last read: '\"bbbb", "bbbb...'"},
        LongBadText{"number_too_large", repeat_to_size("1", "0", kLong),
                    "[json.exception.out_of_range.406] number overflow parsing '1000", "0000..."}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// The largest request the pipe takes (16 MiB), unterminated: before the cut its error quoted all
// of it, and the reply was twice the pipe's buffer.
TEST(ParseJson, TheLargestRequestGivesABoundedError) {
    const auto parsed = parse_json(repeat_to_size("{\"a\":\"", "a", 16u << 20));
    ASSERT_FALSE(parsed.has_value());
    expect_bounded(parsed.error());
}

TEST(ParseJson, ShortErrorsKeepTheirWholeQuote) {
    const std::string text = "[\"" + std::string(300, 'q');
    const auto parsed = parse_json(text);
    ASSERT_FALSE(parsed.has_value());
    EXPECT_TRUE(parsed.error().ends_with("last read: '\"" + std::string(300, 'q') + "'"))
        << parsed.error();
}

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
