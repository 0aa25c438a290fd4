#include <gtest/gtest.h>

#include <string>

#include "text.h"

namespace vemla::service {
namespace {

TEST(Utf8, InvalidSequencesBecomeOneReplacementPerMaximalPart) {
    struct Case {
        std::string bytes;
        std::u32string text;
    };
    const Case cases[] = {
        {"plain", U"plain"},
        {"\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80", U"Ж€😀"},
        {"\xC0\x80", U"\uFFFD\uFFFD"},                      // overlong
        {"\xE0\x80\x80", U"\uFFFD\uFFFD\uFFFD"},            // overlong
        {"\xF4\x90\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
        {"\xF0\x80\x80\x80", U"\uFFFD\uFFFD\uFFFD\uFFFD"},  // overlong four-byte form
        {"\xF0\x90\x80\x80", U"\U00010000"},                // shortest four-byte form
        {"\xE2\x82x", U"\uFFFDx"},                          // cut short, then ASCII
        {"\xF0\x9F\x98", U"\uFFFD"},                        // cut short at the end
        {"\x80z", U"\uFFFDz"},                              // lone continuation byte
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode_utf8_lossy(c.bytes), c.text) << c.bytes;
        EXPECT_EQ(is_valid_utf8(c.bytes), c.text.find(U'\uFFFD') == std::u32string::npos)
            << c.bytes;
    }
}

// Each encoded form starts where the shorter one ends.
TEST(Utf8, EncodesEachCodePointInItsShortestForm) {
    struct Case {
        std::u32string text;
        std::string bytes;
    };
    const Case cases[] = {
        {U"\u007F", "\x7F"},
        {U"\u0080", "\xC2\x80"},
        {U"\u07FF", "\xDF\xBF"},
        {U"\u0800", "\xE0\xA0\x80"},
        {U"\uFFFF", "\xEF\xBF\xBF"},
        {U"\U00010000", "\xF0\x90\x80\x80"},
        {U"\U0010FFFF", "\xF4\x8F\xBF\xBF"},
        {U"Ж€😀x", "\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80x"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(encode_utf8(c.text), c.bytes) << c.bytes;
        EXPECT_EQ(decode_utf8_lossy(c.bytes), c.text) << c.bytes;
    }
}

TEST(WhiteSpace, TrimsUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space(U"\t\u00A0\u3000 a b\u2028\r\n"), U"a b");
    EXPECT_EQ(trim_white_space(U"\uFEFFa"), U"\uFEFFa");
    EXPECT_EQ(trim_white_space(U" \u0085 "), U"");
}

}  // namespace
}  // namespace vemla::service
