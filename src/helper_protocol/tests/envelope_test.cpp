#include "helper_protocol/envelope.h"
#include "test_documents.h"

#include <gtest/gtest.h>

#include <string>

namespace vemla::helper_protocol {
namespace {

const std::string kSession(64, 'a');

struct EnvelopeCase {
    const char* name;
    std::string request;
    const char* error;  // nullptr: accepted
};

std::string start_request(const std::string& extra) {
    return R"({"version":1,"op":"start","native_xray":true,"session":")" + kSession + "\"" + extra +
           "}";
}

class StartEnvelope : public testing::TestWithParam<EnvelopeCase> {};

TEST_P(StartEnvelope, PassesOrNamesTheFirstFault) {
    const auto result = check_start_envelope(Json::parse(GetParam().request));
    testing_support::expect_accepted_or_refused(result, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, StartEnvelope,
    testing::Values(
        EnvelopeCase{"complete", start_request(R"(,"config":{},"rules":{},"tag":1,"document":[])"),
                     nullptr},
        EnvelopeCase{"upper_case_session",
                     R"({"version":1,"op":"start","native_xray":true,"session":")" +
                         std::string(64, 'F') + "\"}",
                     nullptr},
        EnvelopeCase{"not_object", "[]", "Invalid request"},
        EnvelopeCase{"unknown_key_even_null", start_request(R"(,"extra":null)"),
                     "Unknown request field"},
        EnvelopeCase{"unknown_key_before_version", R"({"extra":1})", "Unknown request field"},
        EnvelopeCase{"empty_object", "{}", "Protocol version mismatch"},
        EnvelopeCase{"version_float", R"({"version":1.0,"op":"start"})",
                     "Protocol version mismatch"},
        EnvelopeCase{"version_text", R"({"version":"1","op":"start"})",
                     "Protocol version mismatch"},
        EnvelopeCase{"version_2", R"({"version":2,"op":"start"})", "Protocol version mismatch"},
        EnvelopeCase{"status", R"({"version":1,"op":"status"})", "Not a start request"},
        EnvelopeCase{"start_in_capitals", R"({"version":1,"op":"Start"})", "Not a start request"},
        EnvelopeCase{"native_xray_missing_before_session", R"({"version":1,"op":"start"})",
                     "Этот помощник запускает только native Xray; обнови клиент Vemla"},
        EnvelopeCase{"native_xray_text", R"({"version":1,"op":"start","native_xray":"true"})",
                     "Этот помощник запускает только native Xray; обнови клиент Vemla"},
        EnvelopeCase{"session_missing", R"({"version":1,"op":"start","native_xray":true})",
                     "Missing client session"},
        EnvelopeCase{"session_number",
                     R"({"version":1,"op":"start","native_xray":true,"session":1})",
                     "Missing client session"},
        EnvelopeCase{"session_63",
                     R"({"version":1,"op":"start","native_xray":true,"session":")" +
                         std::string(63, 'a') + "\"}",
                     "Invalid client session"},
        EnvelopeCase{"session_not_hex",
                     R"({"version":1,"op":"start","native_xray":true,"session":")" +
                         std::string(63, 'a') + "g\"}",
                     "Invalid client session"},
        EnvelopeCase{"session_capital_beyond_f",
                     R"({"version":1,"op":"start","native_xray":true,"session":")" +
                         std::string(63, 'a') + "G\"}",
                     "Invalid client session"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(SessionText, SixtyFourHexDigitsOfEitherCase) {
    struct Case {
        std::string text;
        bool valid;
    };
    const Case cases[] = {
        {std::string(64, '0'), true},        {std::string(32, 'f') + std::string(32, 'F'), true},
        {std::string(63, 'a') + "9", true},  {std::string(63, 'a'), false},
        {std::string(65, 'a'), false},       {std::string(63, 'a') + "g", false},
        {std::string(63, 'a') + "G", false}, {std::string(63, 'a') + "Z", false},
        {std::string(63, 'a') + "@", false}, {std::string(63, 'a') + "/", false},
        {std::string(63, 'a') + ":", false}, {std::string(63, 'a') + "`", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(is_session_text(c.text), c.valid) << c.text;
    }
}

}  // namespace
}  // namespace vemla::helper_protocol
