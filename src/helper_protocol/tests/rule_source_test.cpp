#include <gtest/gtest.h>

#include <map>
#include <string>

#include "helper_protocol/rule_sources.h"
#include "helper_protocol/validation.h"
#include "test_documents.h"

namespace vemla::helper_protocol {
namespace {

struct SourceCase {
    const char* name;
    const char* document;
    const char* error;  // nullptr: accepted
};

class RuleSource : public testing::TestWithParam<SourceCase> {};

TEST_P(RuleSource, AcceptsOrRefuses) {
    const auto result = validate_rule_source(Json::parse(GetParam().document));
    testing_support::expect_accepted_or_refused(result, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Documents, RuleSource,
    testing::Values(
        SourceCase{"version1_empty", R"({"version":1,"rules":[]})", nullptr},
        SourceCase{"version4_logical",
                   R"({"version":4,"rules":[{"type":"logical","mode":"or","rules":[
                       {"domain":["a.example"]},{"ip_cidr":["10.0.0.0/8"],"invert":true}]}]})",
                   nullptr},
        SourceCase{"version0", R"({"version":0,"rules":[]})", "Unsupported rule source version"},
        SourceCase{"version5", R"({"version":5,"rules":[]})", "Unsupported rule source version"},
        SourceCase{"version_float", R"({"version":2.0,"rules":[]})",
                   "Unsupported rule source version"},
        SourceCase{"version_negative", R"({"version":-1,"rules":[]})",
                   "Unsupported rule source version"},
        SourceCase{"version_text", R"({"version":"2","rules":[]})",
                   "Unsupported rule source version"},
        SourceCase{"only_rules", R"({"rules":[]})", "Unsupported rule source version"},
        SourceCase{"no_rules", R"({"version":3})", "Missing rule source array"},
        SourceCase{"rules_object", R"({"version":3,"rules":{}})", "Missing rule source array"},
        SourceCase{"extra_member", R"({"version":1,"rules":[],"description":"x"})",
                   "Unsupported privileged option: description"},
        SourceCase{"not_object", R"([1])", "Expected an object"},
        SourceCase{"headless_with_outbound", R"({"version":1,"rules":[{"outbound":"direct"}]})",
                   "Unsupported privileged option: outbound"},
        SourceCase{"headless_with_action", R"({"version":1,"rules":[{"action":"reject"}]})",
                   "Unsupported privileged option: action"},
        SourceCase{"nested_headless_with_strategy",
                   R"({"version":1,"rules":[{"type":"logical","rules":[{"strategy":"x"}]}]})",
                   "Unsupported privileged option: strategy"},
        SourceCase{"nested_rules_not_array",
                   R"({"version":1,"rules":[{"type":"logical","rules":"x"}]})",
                   "rules must be array"},
        SourceCase{"limits_before_keys", R"({"version":1,"rules":[],"x":"a\u0000b"})",
                   "Invalid or oversized string"},
        SourceCase{"keys_before_version", R"({"version":9,"x":1})",
                   "Unsupported privileged option: x"},
        SourceCase{"version_before_rules", R"({"version":9,"rules":{}})",
                   "Unsupported rule source version"}),
    [](const auto& case_info) { return std::string(case_info.param.name); });

TEST(RuleSourceSize, EightMebibytesPassAndOneByteMoreFails) {
    for (const std::size_t size : {std::size_t{8388608}, std::size_t{8388609}}) {
        Json document = Json::parse(R"({"version":1,"rules":[{"domain_suffix":[]}]})");
        testing_support::pad_to_size(document, document["rules"][0]["domain_suffix"], size);
        ASSERT_EQ(compact_json_size(document), size);
        testing_support::expect_accepted_or_refused(
            validate_rule_source(document),
            size == 8388608 ? nullptr : "Rule source exceeds 8 MiB");
    }
}

TEST(RuleSourceSize, IsMeasuredOnTheReserialisedDocument) {
    // Whitespace in the client's text does not count.
    Json document = Json::parse(R"({"version":1,"rules":[{"domain":[]}]})");
    testing_support::pad_to_size(document, document["rules"][0]["domain"], 8388608);
    const std::string spaced = document.dump(4);
    ASSERT_GT(spaced.size(), 8388608u);
    EXPECT_TRUE(validate_rule_source(Json::parse(spaced)).has_value());
}

// Built-in rule sources are read through the reader only when the client did not send them.
class CollectRuleSources : public testing::Test {
protected:
    std::map<std::string, std::string, std::less<>> files;
    std::vector<std::string> reads;

    std::expected<Json, std::string> collect(const Json& config, Json rules) {
        return collect_rule_sources(
            config, std::move(rules),
            [this](std::string_view tag) -> std::expected<std::string, std::string> {
                reads.emplace_back(tag);
                const auto it = files.find(tag);
                if (it == files.end()) {
                    return std::unexpected("cannot open " + std::string(tag));
                }
                return it->second;
            });
    }

    static Json config_with(std::initializer_list<const char*> tags) {
        Json config = Json::object();
        config["route"]["rule_set"] = Json::array();
        for (const char* tag : tags) {
            config["route"]["rule_set"].push_back(Json{{"tag", tag}});
        }
        return config;
    }
};

TEST_F(CollectRuleSources, AddsBuiltInFilesAndKeepsClientDocuments) {
    files["geoip-ru"] = R"({"version":2,"rules":[{"ip_cidr":["5.0.0.0/8"]}]})";
    const Json client =
        Json::parse(R"({"geosite-ru":{"version":1,"rules":[]},"ads":{"version":1,"rules":[]}})");
    const auto result = collect(config_with({"ads", "geoip-ru", "geosite-ru"}), client);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(reads, std::vector<std::string>{"geoip-ru"});
    EXPECT_EQ(
        to_compact_json(*result),
        R"({"ads":{"rules":[],"version":1},"geoip-ru":{"rules":[{"ip_cidr":["5.0.0.0/8"]}],"version":2},)"
        R"("geosite-ru":{"rules":[],"version":1}})");
}

TEST_F(CollectRuleSources, RefusesWithTheMessageOfTheFirstFault) {
    struct Case {
        const char* name;
        Json config;
        Json rules;
        std::string file;
        std::string error;
    };
    const Case cases[] = {
        {"rules_not_object", config_with({}), Json(), "", "Missing rules"},
        {"no_rule_set", Json::object(), Json::object(), "", "Missing rule sets"},
        {"tag_not_text", Json::parse(R"({"route":{"rule_set":[{"tag":1}]}})"), Json::object(), "",
         "Missing rule tag"},
        {"unknown_tag", config_with({"other"}), Json::object(), "",
         "Missing validated native rule source"},
        {"unreadable", config_with({"geosite-ads"}), Json::object(), "", "cannot open geosite-ads"},
        {"too_large", config_with({"geoip-ru"}), Json::object(), std::string(8388609, ' '),
         "Protected native rule source is too large"},
        {"not_json", config_with({"geoip-ru"}), Json::object(), "{version",
         "[json.exception.parse_error.101] parse error at line 1, column 2: syntax error while "
         "parsing object key - invalid literal; last read: '{v'; expected string literal"},
        {"invalid_document", config_with({"geoip-ru"}), Json::object(),
         R"({"version":1,"rules":[{"outbound":"x"}]})", "Unsupported privileged option: outbound"},
    };
    for (const Case& c : cases) {
        files.clear();
        if (!c.file.empty()) {
            files["geoip-ru"] = c.file;
        }
        const auto result = collect(c.config, c.rules);
        ASSERT_FALSE(result.has_value()) << c.name;
        EXPECT_EQ(result.error(), c.error) << c.name;
    }
}

TEST_F(CollectRuleSources, AcceptsAFileOfExactlyEightMebibytesOfText) {
    Json document = Json::parse(R"({"version":1,"rules":[{"domain":[]}]})");
    testing_support::pad_to_size(document, document["rules"][0]["domain"], 8388608);
    files["geoip-ru"] = to_compact_json(document);
    ASSERT_EQ(files["geoip-ru"].size(), 8388608u);
    EXPECT_TRUE(collect(config_with({"geoip-ru"}), Json::object()).has_value());
}

}  // namespace
}  // namespace vemla::helper_protocol
