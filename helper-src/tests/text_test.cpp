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
        {"\xE2\x82x", U"\uFFFDx"},                          // cut short, then ASCII
        {"\xF0\x9F\x98", U"\uFFFD"},                        // cut short at the end
        {"\x80z", U"\uFFFDz"},                              // lone continuation byte
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode_utf8_lossy(c.bytes), c.text) << c.bytes;
        EXPECT_EQ(is_valid_utf8(c.bytes), c.text.find(U'\uFFFD') == std::u32string::npos)
            << c.bytes;
    }
    EXPECT_EQ(encode_utf8(U"Ж€😀x"), "\xD0\x96\xE2\x82\xAC\xF0\x9F\x98\x80x");
}

TEST(WhiteSpace, TrimsUnicodeWhiteSpaceOnly) {
    EXPECT_EQ(trim_white_space(U"\t\u00A0\u3000 a b\u2028\r\n"), U"a b");
    EXPECT_EQ(trim_white_space(U"\uFEFFa"), U"\uFEFFa");
    EXPECT_EQ(trim_white_space(U" \u0085 "), U"");
}

}  // namespace
}  // namespace vemla::service
