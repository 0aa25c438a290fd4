#include "json/json_access.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/bounded_text.h"

namespace vemla {
namespace {

TEST(JsonAccess, LooksMembersUpWithoutInsertingThem) {
    const Json object = Json::parse(R"({"a":1,"n":null,"t":"x","e":"","b":true,"f":false})");
    ASSERT_NE(find_member(object, "a"), nullptr);
    EXPECT_EQ(*find_member(object, "a"), 1);
    EXPECT_EQ(find_member(object, "missing"), nullptr);
    EXPECT_EQ(find_member(Json::array({"a"}), "a"), nullptr);
    EXPECT_EQ(find_member(Json("a"), "a"), nullptr);

    EXPECT_NE(find_member(object, "n"), nullptr);
    EXPECT_EQ(configured_member(object, "n"), nullptr) << "null means not configured";
    EXPECT_NE(configured_member(object, "f"), nullptr);

    EXPECT_TRUE(is_text(find_member(object, "t"), "x"));
    EXPECT_FALSE(is_text(find_member(object, "t"), "X"));
    EXPECT_FALSE(is_text(find_member(object, "a"), "1"));
    EXPECT_FALSE(is_text(nullptr, ""));
    EXPECT_TRUE(is_true(find_member(object, "b")));
    EXPECT_FALSE(is_true(find_member(object, "f")));
    EXPECT_FALSE(is_true(find_member(object, "a")));
    EXPECT_FALSE(is_true(nullptr));

    EXPECT_EQ(text_or(object, "t", "d"), "x");
    EXPECT_EQ(text_or(object, "e", "d"), "");
    EXPECT_EQ(text_or(object, "a", "d"), "d");
    EXPECT_EQ(non_empty_text_or(object, "e", "d"), "d");
    EXPECT_EQ(non_empty_text_or(object, "t", "d"), "x");
    EXPECT_EQ(object.size(), 6u) << "nothing was inserted";
}

TEST(JsonAccess, ReadsStringOrListInPlace) {
    using List = std::vector<std::string>;
    struct Case {
        const char* value;  // nullptr: the member is absent
        List entries;
        bool ok;
        StringListFault fault;
    };
    const Case cases[] = {
        {nullptr, {}, true, {}},
        {"null", {}, true, {}},
        {R"("")", {""}, true, {}},
        {R"("a")", {"a"}, true, {}},
        {"[]", {}, true, {}},
        {R"(["b","a","b"])", {"b", "a", "b"}, true, {}},
        {R"(["a",1])", {}, false, StringListFault::kNonStringEntry},
        {"[null]", {}, false, StringListFault::kNonStringEntry},
        {"1", {}, false, StringListFault::kNotStringOrList},
        {"true", {}, false, StringListFault::kNotStringOrList},
        {"{}", {}, false, StringListFault::kNotStringOrList},
    };
    for (const Case& c : cases) {
        const std::string name = c.value == nullptr ? "absent" : c.value;
        const Json value = c.value == nullptr ? Json() : Json::parse(c.value);
        const auto list = read_string_list(c.value == nullptr ? nullptr : &value);
        if (!c.ok) {
            ASSERT_FALSE(list.has_value()) << name;
            EXPECT_EQ(list.error(), c.fault) << name;
            continue;
        }
        ASSERT_TRUE(list.has_value()) << name;
        EXPECT_EQ(list->to_vector(), c.entries) << name;
        EXPECT_EQ(list->size(), c.entries.size()) << name;
        if (!c.entries.empty()) {
            // A view, not a copy: the entries are the value's own strings.
            const std::string& first = value.is_array() ? value[0].get_ref<const std::string&>()
                                                        : value.get_ref<const std::string&>();
            EXPECT_EQ(&(*list)[0], &first) << name;
        }
    }
}

TEST(QuoteBounded, CutsLongTextAtACharacterBoundary) {
    const std::string ellipsis = "\u2026";
    const std::string at_limit(kMaxQuotedBytes, 'a');
    EXPECT_EQ(quote_bounded(""), "");
    EXPECT_EQ(quote_bounded(at_limit), at_limit);
    EXPECT_EQ(quote_bounded(at_limit + "b"), at_limit + ellipsis);
    EXPECT_EQ(quote_bounded(std::string(1 << 20, 'a')), at_limit + ellipsis);

    // "ж" is two bytes and "😀" four: a character the limit would split is left out whole.
    std::string cyrillic;
    for (int i = 0; i < 200; ++i) {
        cyrillic += "ж";
    }
    EXPECT_EQ(quote_bounded(cyrillic), cyrillic.substr(0, kMaxQuotedBytes) + ellipsis);
    const std::string odd = "x" + cyrillic;
    EXPECT_EQ(quote_bounded(odd), odd.substr(0, kMaxQuotedBytes - 1) + ellipsis);
    const std::string emoji = std::string(kMaxQuotedBytes - 2, 'a') + "\U0001F600" + "z";
    EXPECT_EQ(quote_bounded(emoji), std::string(kMaxQuotedBytes - 2, 'a') + ellipsis);

    // Bytes that are not UTF-8 are cut where the limit falls.
    const std::string continuation(kMaxQuotedBytes + 10, '\x80');
    EXPECT_EQ(quote_bounded(continuation), continuation.substr(0, kMaxQuotedBytes) + ellipsis);
}

}  // namespace
}  // namespace vemla
