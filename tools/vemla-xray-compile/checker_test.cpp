#include "checker.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "json/json_text.h"

namespace vemla::tools {
namespace {

const std::filesystem::path kExamples = std::filesystem::path(VEMLA_EXAMPLES_DIR);

struct Outcome {
    int code;
    std::string out;
    std::string err;
};

Outcome run(std::vector<std::string> args, const std::string& input = "") {
    std::istringstream in(input);
    std::ostringstream out;
    std::ostringstream err;
    const int code = run_checker(args, in, out, err, kExamples / "rules");
    return {code, out.str(), err.str()};
}

std::string example(const char* name) {
    const std::u8string text = (kExamples / name).u8string();
    return std::string(text.begin(), text.end());
}

TEST(Checker, PrintsTheNormalisedConfigurationOfAnExample) {
    const Outcome result = run({"--validate-only", example("vless-reality.json")});
    ASSERT_EQ(result.code, 0) << result.err;
    EXPECT_EQ(result.err, "");
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(result.out.back(), '\n');
    EXPECT_EQ(result.out.find('\n'), result.out.size() - 1) << "one compact line";
    const auto printed = parse_json(result.out);
    ASSERT_TRUE(printed.has_value());
    EXPECT_EQ((*printed)["inbounds"][0]["interface_name"], "VemlaVPN");
    EXPECT_EQ((*printed)["log"], Json::parse(R"({"level":"warn","timestamp":true})"));
}

TEST(Checker, EveryExampleIsAccepted) {
    for (const auto& entry : std::filesystem::directory_iterator(kExamples)) {
        if (entry.path().extension() != ".json") {
            continue;
        }
        const std::u8string path = entry.path().u8string();
        const Outcome result = run({"--validate-only", std::string(path.begin(), path.end())});
        EXPECT_EQ(result.code, 0) << entry.path() << ": " << result.err;
    }
}

TEST(Checker, ReadsStandardInputForADash) {
    std::ostringstream request;
    request << std::ifstream(kExamples / "vless-reality.json").rdbuf();
    const Outcome from_stdin = run({"--validate-only", "-"}, request.str());
    const Outcome from_file = run({"--validate-only", example("vless-reality.json")});
    ASSERT_EQ(from_stdin.code, 0) << from_stdin.err;
    EXPECT_EQ(from_stdin.out, from_file.out);
}

TEST(Checker, RefusalIsOneLineOnStandardErrorWithExitOne) {
    const Outcome result = run({"--validate-only", "-"}, R"({"config":{"inbounds":[]},"rules":{}})");
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Exactly one Vemla TUN is required\n");
}

TEST(Checker, BuiltInRuleSourcesComeFromTheRulesDirectory) {
    std::ostringstream request;
    request << std::ifstream(kExamples / "vless-reality.json").rdbuf();
    const Outcome missing = run({"--rules-dir", "/nonexistent-dir", "-"}, request.str());
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("cannot open built-in rule source"), std::string::npos)
        << missing.err;
}

TEST(Checker, BadInputOfEveryKindGetsAMessage) {
    struct Case {
        const char* name;
        std::string input;
        std::string error_part;
    };
    const Case cases[] = {
        {"garbage", "garbage\n", "parse error"},
        {"empty", "", "parse error"},
        {"brackets_20mib", std::string(20u << 20, '['), "Request exceeds 512 KiB"},
        {"brackets_1mib", std::string(1u << 20, '['), "nesting deeper than 64"},
        {"invalid_utf8", "{\"config\":\"\xc3\x28\"}", "ill-formed UTF-8"},
        {"nul_in_string",
         R"({"config":{"log":{"level":"a\u0000"}},"rules":{}})", "Invalid or oversized string"},
        {"raw_nul", std::string("{\"config\":\"a\0\"}", 15), "parse error"},
        {"not_object", "[1,2]", "Invalid request"},
        {"no_config", R"({"rules":{}})", "Expected an object"},
        {"no_rules", R"({"config":{}})", "rules must be a tag/document object"},
    };
    for (const Case& c : cases) {
        const Outcome result = run({"-"}, c.input);
        EXPECT_EQ(result.code, 1) << c.name;
        EXPECT_EQ(result.out, "") << c.name;
        EXPECT_NE(result.err.find(c.error_part), std::string::npos) << c.name << ": " << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << c.name;
    }
}

TEST(Checker, BadUsageAndUnreadableInputExitTwoWithTheUsageLine) {
    const std::vector<std::vector<std::string>> usages = {
        {},
        {"--validate-only"},
        {"--frobnicate", "-"},
        {"a.json", "b.json"},
        {"--rules-dir"},
        {"/nonexistent/request.json"},
    };
    for (const auto& args : usages) {
        const Outcome result = run(args);
        EXPECT_EQ(result.code, 2) << testing::PrintToString(args);
        EXPECT_NE(result.err.find(kCheckerUsage), std::string::npos) << result.err;
    }
}

}  // namespace
}  // namespace vemla::tools
