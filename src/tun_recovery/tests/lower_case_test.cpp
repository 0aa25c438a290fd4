#include "tun_recovery/lower_case.h"

#include <gtest/gtest.h>

#include <string>

namespace vemla::tun_recovery {
namespace {

TEST(LowerCase, LowersEveryBicameralScriptAndLeavesTheRest) {
    struct Case {
        const char* label;
        std::string text;
        std::string lower;
    };
    const Case cases[] = {
        {"ascii", "Object Already EXISTS 0-9 _/", "object already exists 0-9 _/"},
        {"latin_1", "ÀÉÎÕÜÞ ß ÿ", "àéîõüþ ß ÿ"},
        {"latin_1_gaps_stay", "×÷", "×÷"},
        {"latin_extended_a", "ĀĂĄŁŃŒŠŸŽ", "āăąłńœšÿž"},
        {"latin_extended_b_digraphs", "Ǆǅǆ ǇǈǉǊǋ", "ǆǆǆ ǉǉǉǌǌ"},
        {"latin_extended_additional", "ḀẞỸ", "ḁßỹ"},
        {"dotted_capital_i_is_two_code_points", "İ", "i\xCC\x87"},
        {"greek", "ΑΒΓΔ ΣΑΣ Ώ ϴ", "αβγδ σασ ώ θ"},
        {"cyrillic", "ОБЪЕКТ УЖЕ СУЩЕСТВУЕТ Ёё ЃЏ", "объект уже существует ёё ѓџ"},
        {"cyrillic_extended", "ѠҊӀӁԮ", "ѡҋӏӂԯ"},
        {"armenian", "ԱԲՖ", "աբֆ"},
        {"georgian", "ႠჅ ᲐᲿ", "ⴀⴥ აჿ"},
        {"cherokee", "ᎠᏵ", "ꭰᏽ"},
        {"glagolitic_and_coptic", "ⰀⲀ", "ⰰⲁ"},
        // The Kelvin, Ohm and Angstrom signs, a Roman numeral, circled and full-width letters.
        {"letterlike", "\xE2\x84\xAA \xE2\x84\xA6 \xE2\x84\xAB Ⅻ Ⓐ Ａ", "k ω å ⅻ ⓐ ａ"},
        {"four_byte_deseret_and_adlam", "\xF0\x90\x90\x80 \xF0\x9E\xA4\x80",
         "\xF0\x90\x90\xA8 \xF0\x9E\xA4\xA2"},
        {"lower_case_and_caseless_stay", "объект 中文 ½ ✓", "объект 中文 ½ ✓"},
        {"empty", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lower_case_utf8(c.text), c.lower) << c.label;
    }
}

TEST(LowerCase, ReplacesEachByteThatBeginsNoWellFormedSequence) {
    const std::string replacement = "\xEF\xBF\xBD";
    struct Case {
        const char* label;
        std::string text;
        std::string lower;
    };
    const Case cases[] = {
        {"lone_continuation", "A\x80Б", "a" + replacement + "б"},
        {"invalid_lead_bytes", "\xC0\xC1\xF5\xFF",
         replacement + replacement + replacement + replacement},
        {"overlong_slash", "\xC0\xAF", replacement + replacement},
        {"overlong_three_bytes", "\xE0\x80\xAF", replacement + replacement + replacement},
        {"surrogate", "\xED\xA0\x80", replacement + replacement + replacement},
        {"above_u10ffff", "\xF4\x90\x80\x80",
         replacement + replacement + replacement + replacement},
        // The byte after a cut sequence is read again as the start of text.
        {"cut_before_ascii", "\xD0T", replacement + "t"},
        {"cut_at_end", "Ж\xE2\x82", "ж" + replacement + replacement},
        {"highest_code_point_stays", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lower_case_utf8(c.text), c.lower) << c.label;
    }
}

}  // namespace
}  // namespace vemla::tun_recovery
