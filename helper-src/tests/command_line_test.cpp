#include "command_line.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace vemla::service {
namespace {

TEST(ProcessIdArgument, DecimalUnsigned32BitWithOptionalPlus) {
    const struct {
        const char* text;
        std::optional<std::uint32_t> value;
    } cases[] = {
        {"123", 123},
        {"+123", 123},
        {"0", 0},
        {"007", 7},
        {"4294967295", 4294967295u},
        {"+4294967295", 4294967295u},
        {"00000000004294967295", 4294967295u},
        {"4294967296", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"-5", std::nullopt},
        {"-0", std::nullopt},
        {"+-5", std::nullopt},
        {"++5", std::nullopt},
        {"+", std::nullopt},
        {"", std::nullopt},
        {" 5", std::nullopt},
        {"5 ", std::nullopt},
        {"1 2", std::nullopt},
        {"0x10", std::nullopt},
        {"1e3", std::nullopt},
        {"12a", std::nullopt},
        {"١٢", std::nullopt},  // digits, but not ASCII ones
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parse_process_id(c.text), c.value) << '"' << c.text << '"';
    }
}

struct ArgumentsCase {
    const char* name;
    std::vector<std::string> arguments;
    std::optional<std::string> session;  // none: the arguments are refused
    std::uint32_t owner_pid = 0;
};

void PrintTo(const ArgumentsCase& c, std::ostream* out) {
    *out << c.name;
}

class PrepareUpdateArguments : public testing::TestWithParam<ArgumentsCase> {};

TEST_P(PrepareUpdateArguments, SessionAndOwnerFromAnywhere) {
    const ArgumentsCase& c = GetParam();
    const auto options = parse_prepare_update(c.arguments);
    if (!c.session) {
        EXPECT_FALSE(options.has_value()) << options->session << " " << options->owner_pid;
        return;
    }
    ASSERT_TRUE(options.has_value());
    EXPECT_EQ(options->session, *c.session);
    EXPECT_EQ(options->owner_pid, c.owner_pid);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PrepareUpdateArguments,
    testing::Values(
        ArgumentsCase{
            "in_order", {"--prepare-update", "--session", "S", "--owner-pid", "123"}, "S", 123},
        ArgumentsCase{
            "reversed", {"--prepare-update", "--owner-pid", "123", "--session", "S"}, "S", 123},
        ArgumentsCase{"among_others",
                      {"--prepare-update", "x", "--owner-pid", "+9", "y", "--session", "S", "z"},
                      "S",
                      9},
        ArgumentsCase{
            "first_session_wins", {"--session", "A", "--owner-pid", "1", "--session", "B"}, "A", 1},
        ArgumentsCase{
            "first_pid_wins", {"--owner-pid", "1", "--session", "A", "--owner-pid", "2"}, "A", 1},
        // A bad later occurrence does not matter either.
        ArgumentsCase{"later_bad_pid_ignored",
                      {"--owner-pid", "1", "--session", "A", "--owner-pid", "-2"},
                      "A",
                      1},
        ArgumentsCase{"later_flag_without_value",
                      {"--owner-pid", "1", "--session", "A", "--session"},
                      "A",
                      1},
        ArgumentsCase{
            "largest_pid", {"--session", "A", "--owner-pid", "4294967295"}, "A", 4294967295u},
        ArgumentsCase{"empty_session", {"--session", "", "--owner-pid", "5"}, "", 5},
        // A value is a value, even when it looks like a flag.
        ArgumentsCase{"value_like_a_flag",
                      {"--session", "--owner-pid", "--owner-pid", "5"},
                      "--owner-pid",
                      5},
        ArgumentsCase{"flags_compared_exactly",
                      {"--Session", "A", "--session=B", "--session", "C", "--owner-pid", "1"},
                      "C",
                      1},
        ArgumentsCase{"no_session", {"--prepare-update", "--owner-pid", "123"}, std::nullopt},
        ArgumentsCase{"no_pid", {"--prepare-update", "--session", "S"}, std::nullopt},
        ArgumentsCase{"nothing", {"--prepare-update"}, std::nullopt},
        ArgumentsCase{"negative_pid", {"--session", "S", "--owner-pid", "-5"}, std::nullopt},
        ArgumentsCase{
            "pid_too_large", {"--session", "S", "--owner-pid", "4294967296"}, std::nullopt},
        ArgumentsCase{"empty_pid", {"--session", "S", "--owner-pid", ""}, std::nullopt},
        ArgumentsCase{"pid_with_space", {"--session", "S", "--owner-pid", "12 "}, std::nullopt},
        ArgumentsCase{"session_flag_last", {"--owner-pid", "5", "--session"}, std::nullopt},
        ArgumentsCase{"pid_flag_last", {"--session", "S", "--owner-pid"}, std::nullopt},
        // The value of --session is taken, so "--owner-pid" after it is not a flag.
        ArgumentsCase{
            "pid_flag_consumed_as_value", {"--session", "--owner-pid", "5"}, std::nullopt}),
    [](const testing::TestParamInfo<ArgumentsCase>& case_info) { return case_info.param.name; });

TEST(Requests, CompactWithKeysInByteOrder) {
    EXPECT_EQ(to_compact_json(prepare_update_request({"3f6c", 4294967295u})),
              R"({"op":"prepare_update","owner_pid":4294967295,"session":"3f6c","version":1})");
    EXPECT_TRUE(prepare_update_request({"s", 7})["owner_pid"].is_number_integer());
    EXPECT_EQ(to_compact_json(status_request()), R"({"op":"status","version":1})");
}

}  // namespace
}  // namespace vemla::service
