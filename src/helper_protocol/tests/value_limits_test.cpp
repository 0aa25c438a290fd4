#include <gtest/gtest.h>

#include <string>

#include "helper_protocol/validation.h"
#include "json/result_test_support.h"
#include "test_documents.h"

namespace vemla::helper_protocol {
namespace {

// A value with `levels` nested arrays above a scalar: the scalar stands at depth `levels`.
Json nested_arrays(std::size_t levels) {
    Json value = 1;
    for (std::size_t i = 0; i < levels; ++i) {
        value = Json::array({std::move(value)});
    }
    return value;
}

Json object_with_members(std::size_t count) {
    Json value = Json::object();
    for (std::size_t i = 0; i < count; ++i) {
        value["k" + std::to_string(i)] = i;
    }
    return value;
}

struct LimitCase {
    const char* name;
    Json value;
    const char* error;  // nullptr when the value passes
};

class ValueLimits : public testing::TestWithParam<LimitCase> {};

TEST_P(ValueLimits, HoldAtTheirBoundaries) {
    const auto result = check_value_limits(GetParam().value, 0);
    testing_support::expect_accepted_or_refused(result, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ValueLimits,
    testing::Values(
        LimitCase{"depth_12", nested_arrays(12), nullptr},
        LimitCase{"depth_13", nested_arrays(13), "Configuration is too deeply nested"},
        LimitCase{"array_100000", Json(Json::array_t(100000, Json(nullptr))), nullptr},
        LimitCase{"array_100001", Json(Json::array_t(100001, Json(nullptr))), "Too many entries"},
        LimitCase{"object_128", object_with_members(128), nullptr},
        LimitCase{"object_129", object_with_members(129), "Too many fields"},
        LimitCase{"string_8192", Json(std::string(8192, 'x')), nullptr},
        LimitCase{"string_8193", Json(std::string(8193, 'x')), "Invalid or oversized string"},
        LimitCase{"string_with_nul", Json(std::string("ab\0c", 4)), "Invalid or oversized string"},
        LimitCase{"long_key_is_not_measured", Json{{std::string(9000, 'k'), 1}}, nullptr},
        LimitCase{"bad_string_inside_array",
                  Json::array({1, Json::array({std::string(8193, 'x')})}),
                  "Invalid or oversized string"},
        // Members are checked in key order, so "a" (too long) is reported before "b".
        LimitCase{"first_failure_in_key_order",
                  Json{{"b", Json(Json::array_t(100001, Json(0)))}, {"a", std::string(8193, 'x')}},
                  "Invalid or oversized string"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(ValueLimits, ArraysStopOnTheFirstFaultyElementInOrder) {
    const Json value =
        Json::array({std::string(8193, 'x'), nested_arrays(13), Json(Json::array_t(100001))});
    EXPECT_TRUE(refused_with(check_value_limits(value, 0), "Invalid or oversized string"));
}

TEST(ValueLimits, StartingDepthCounts) {
    EXPECT_TRUE(check_value_limits(nested_arrays(2), 10).has_value());
    EXPECT_TRUE(refused_with(check_value_limits(nested_arrays(3), 10),
                             "Configuration is too deeply nested"));
}

TEST(AllowedKeys, RefusesTheFirstUnknownKeyInByteOrder) {
    const Json value = Json::parse(R"({"zeta":1,"Beta":2,"alpha":3,"ok":4})");
    EXPECT_TRUE(
        refused_with(check_allowed_keys(value, {"ok"}), "Unsupported privileged option: Beta"));
}

// Keys are not measured by the value limits, so the message quotes a bounded part of one.
TEST(AllowedKeys, AHugeKeyIsQuotedInPart) {
    const std::string key(1 << 20, 'k');
    const auto refused = check_allowed_keys(Json{{key, 1}}, {"ok"});
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(),
              "Unsupported privileged option: " + std::string(256, 'k') + "\u2026");
}

TEST(AllowedKeys, AcceptsListedAndEmptyAndRefusesNonObjects) {
    EXPECT_TRUE(check_allowed_keys(Json::object(), {}).has_value());
    EXPECT_TRUE(check_allowed_keys(Json::parse(R"({"a":null,"b":[]})"), {"a", "b"}).has_value());
    for (const Json& value : {Json(), Json::array(), Json("x"), Json(1)}) {
        EXPECT_TRUE(refused_with(check_allowed_keys(value, {"a"}), "Expected an object"));
    }
}

TEST(RuleTag, AcceptsOnlyShortAsciiWords) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {{"a", true},
                          {std::string(80, 'z'), true},
                          {std::string(81, 'z'), false},
                          {"", false},
                          {"geosite-ru_2", true},
                          {"AZaz09-_", true},
                          {"geo.site", false},
                          {"geo site", false},
                          {"geo/site", false},
                          {"\xc3\xa9t\xc3\xa9", false},
                          {std::string("a\0b", 3), false}};
    for (const Case& c : cases) {
        EXPECT_EQ(is_valid_rule_tag(c.text), c.valid) << c.text;
    }
}

TEST(DurationText, AcceptsGoStyleDurations) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {{"30s", true},
                          {"1m30s", true},
                          {"100ms", true},
                          {"1.5s", true},
                          {"300", true},
                          {"2h45m", true},
                          {"10us", true},
                          {"5ns", true},
                          {"s30", false},
                          {"", false},
                          {".5s", false},
                          {"30 s", false},
                          {"30d", false},
                          {"-1s", false},
                          {std::string(32, '1'), true},
                          {std::string(33, '1'), false}};
    for (const Case& c : cases) {
        EXPECT_EQ(is_duration_text(c.text), c.valid) << c.text;
    }
}

}  // namespace
}  // namespace vemla::helper_protocol
