#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect_result.h"
#include "xray_native/route_rules.h"

namespace vemla::xray_native {
namespace {

const Json kAutoGroup = Json{{"type", "urltest"}, {"tag", "auto"}, {"outbounds", {"proxy"}}};

RoutingTargets routing_targets() {
    RoutingTargets targets;
    targets.outbound_tags = {"proxy", "direct", "block"};
    targets.groups.emplace("auto", &kAutoGroup);
    return targets;
}

// Compiles one route rule at position `index` into a fresh routing-rule list.
Result<Json> compile_one(const Json& rule, std::size_t index = 0, const char* mode = "rule") {
    CompileSettings settings;
    settings.mode = mode;
    const RuleSetTable no_sets;
    Json routing_rules = Json::array();
    auto compiled =
        compile_route_rule(rule, index, no_sets, settings, routing_targets(), routing_rules);
    if (!compiled) {
        return std::unexpected(compiled.error());
    }
    return routing_rules;
}

struct RouteCase {
    const char* name;
    const char* rule;      // the IR route rule
    const char* expected;  // JSON array of routing rules, or nullptr when `error` is expected
    const char* error = nullptr;
};

class RouteRuleTest : public testing::TestWithParam<RouteCase> {};

TEST_P(RouteRuleTest, CompilesToRoutingRules) {
    const RouteCase& c = GetParam();
    const auto result = compile_one(Json::parse(c.rule));
    testing_support::expect_json_or_message(result, c.expected, c.error);
}

const RouteCase kRouteCases[] = {
    // Targets and actions.
    {"OnlyOutboundMatchesAll", R"({"outbound":"proxy"})",
     R"([{"network":"tcp,udp","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"GroupTargetIsBalancer", R"({"outbound":"auto","network":"udp"})",
     R"([{"network":"udp","type":"field","ruleTag":"vemla-rule-0-0","balancerTag":"auto"}])"},
    {"RejectGoesToBlock", R"({"action":"reject","protocol":"bittorrent"})",
     R"([{"protocol":["bittorrent"],"type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"block~"}])"},
    // No sniffer of the engine recognises DNS, so `protocol` dns becomes port 53.
    {"HijackDnsGetsPort53", R"({"action":"hijack-dns","protocol":"dns"})",
     R"([{"port":"53","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"vemla-dns"}])"},
    {"HijackDnsProtocolKeepsItsPort", R"({"action":"hijack-dns","protocol":"dns","port":5353})",
     R"([{"port":"5353","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"vemla-dns"}])"},
    {"ProtocolDnsToAProxy", R"({"protocol":["dns"],"network":"udp","outbound":"proxy"})",
     R"([{"network":"udp","port":"53","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"ProtocolDnsNamedTwice", R"({"protocol":["dns","dns"],"action":"reject"})",
     R"([{"port":"53","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"block~"}])"},
    {"ProtocolDnsBesideAnother", R"({"protocol":["dns","quic"],"outbound":"proxy"})", nullptr,
     "Xray: protocol dns не переводится вместе с другими протоколами"},
    {"ProtocolDnsBesideAnotherOnHijack", R"({"protocol":["quic","dns"],"action":"hijack-dns"})",
     nullptr, "Xray: protocol dns не переводится вместе с другими протоколами"},
    {"ProtocolDnsInOneAlternativeOnly",
     R"({"type":"logical","mode":"or","rules":[{"protocol":"dns"},{"protocol":"quic"}],
         "outbound":"proxy"})",
     R"([{"port":"53","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"},
         {"protocol":["quic"],"type":"field","ruleTag":"vemla-rule-0-1","outboundTag":"proxy~"}])"},
    {"HijackDnsKeepsItsPort", R"({"action":"hijack-dns","port":5353})",
     R"([{"port":"5353","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"vemla-dns"}])"},
    {"HijackDnsWithoutConditionMatchesAllOnPort53", R"({"action":"hijack-dns"})",
     R"([{"network":"tcp,udp","port":"53","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"vemla-dns"}])"},
    {"NonStringActionMeansRoute", R"({"action":5,"outbound":"direct"})",
     R"([{"network":"tcp,udp","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"direct~"}])"},
    {"SniffIsSkipped", R"({"action":"sniff","outbound":"nowhere","invert":true})", "[]"},
    {"ProbeSentinelIsSkipped",
     R"({"process_name":["vemla-process-probe-no-match"],"outbound":"nowhere"})", "[]"},
    {"EmptyProcessNameIsSkippedAsAProbe", R"({"process_name":[],"outbound":"proxy"})", "[]"},
    {"ProbeSentinelBesideARealNameIsCompiled",
     R"({"process_name":["vemla-process-probe-no-match","app.exe"],"outbound":"proxy"})",
     R"([{"process":["vemla-process-probe-no-match","app.exe"],"type":"field",
          "ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    // The probe check reads the names before the target is decided, and before the mode filter.
    {"ProcessNameOfWrongTypeBeforeAction", R"({"process_name":5,"action":"resolve"})", nullptr,
     "Xray: нужна строка или список строк"},
    {"ProcessNameWithNonStringBeforeModeFilter",
     R"({"process_name":["a.exe",1],"clash_mode":"global","outbound":"proxy"})", nullptr,
     "Xray: нужен список строк"},
    {"RouteWithoutOutbound", R"({"domain":"a.example"})", nullptr, "Xray: route rule без outbound"},
    {"RouteWithNumericOutbound", R"({"outbound":1})", nullptr, "Xray: route rule без outbound"},
    {"UnsupportedAction", R"({"action":"resolve","outbound":"proxy"})", nullptr,
     "Xray: действие маршрута resolve не поддерживается"},
    {"UnknownTarget", R"({"outbound":"nowhere"})", nullptr,
     "Xray: правило ссылается на отсутствующий выход nowhere"},
    {"RuleThatCompilesToNothingNeedsNoTarget", R"({"clash_mode":"global","outbound":"nowhere"})",
     "[]"},

    // Destination alternatives.
    {"DomainAndIpSplitIntoAlternatives",
     R"({"domain":"a.example","ip_cidr":"10.1.0.0/16","port":443,"outbound":"proxy"})",
     R"([{"domain":["full:a.example"],"port":"443","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"},
         {"ip":["10.1.0.0/16"],"port":"443","type":"field","ruleTag":"vemla-rule-0-1",
          "outboundTag":"proxy~"}])"},
    {"DomainKindsInKeyOrderWithPrefixes",
     R"({"domain_regex":"^x$","domain_keyword":["kw"],"domain_suffix":["..a.example","."],
         "domain":["b.example","c.example"],"outbound":"proxy"})",
     R"([{"domain":["full:b.example","full:c.example","domain:a.example","domain:","keyword:kw",
                    "regexp:^x$"],"type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"EmptyDomainSuffix", R"({"domain_suffix":"","outbound":"proxy"})", nullptr,
     "Xray: пустой домен в правиле"},
    {"EmptyDomainInList", R"({"domain":["a.example",""],"outbound":"proxy"})", nullptr,
     "Xray: пустой домен в правиле"},
    {"PrivateAddressesAfterOwnEntries",
     R"({"ip_cidr":"8.8.8.8","ip_is_private":true,"outbound":"direct"})",
     R"([{"ip":["8.8.8.8","0.0.0.0/8","10.0.0.0/8","100.64.0.0/10","127.0.0.0/8",
                "169.254.0.0/16","172.16.0.0/12","192.168.0.0/16","224.0.0.0/4",
                "255.255.255.255/32","::/128","::1/128","fc00::/7","fe80::/10","ff00::/8"],
          "type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"direct~"}])"},
    {"PrivateSourcesWithoutOwnEntries", R"({"source_ip_is_private":true,"outbound":"direct"})",
     R"([{"source":["0.0.0.0/8","10.0.0.0/8","100.64.0.0/10","127.0.0.0/8","169.254.0.0/16",
                    "172.16.0.0/12","192.168.0.0/16","224.0.0.0/4","255.255.255.255/32",
                    "::/128","::1/128","fc00::/7","fe80::/10","ff00::/8"],
          "type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"direct~"}])"},
    {"IpIsPrivateFalseAddsNothing", R"({"ip_is_private":false,"outbound":"direct"})",
     R"([{"network":"tcp,udp","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"direct~"}])"},
    {"BadCidrPrefix", R"({"ip_cidr":["10.0.0.1/33"],"outbound":"proxy"})", nullptr,
     "Xray: неверный CIDR"},
    {"BadCidrText", R"({"ip_cidr":"example.com","outbound":"proxy"})", nullptr,
     "Xray: неверный CIDR"},
    {"BadSourceCidr", R"({"source_ip_cidr":"10.0.0.0/-1","outbound":"proxy"})", nullptr,
     "Xray: неверный source CIDR"},
    {"SourceAndInboundAndProtocolLists",
     R"({"source_ip_cidr":["192.168.1.0/24","fd00::/8"],"inbound":"mixed-in",
         "protocol":["tls","quic"],"outbound":"proxy"})",
     R"([{"source":["192.168.1.0/24","fd00::/8"],"inboundTag":["mixed-in"],
          "protocol":["tls","quic"],"type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},

    // Networks and ports.
    {"NetworkListJoined", R"({"network":["tcp","udp"],"outbound":"proxy"})",
     R"([{"network":"tcp,udp","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"EmptyNetworkListAddsNothing", R"({"network":[],"port":80,"outbound":"proxy"})",
     R"([{"port":"80","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"PortsThenRanges",
     R"({"port":[80,443],"port_range":["1000:2000","3000-4000","+5:+06"],"outbound":"proxy"})",
     R"([{"port":"80,443,1000-2000,3000-4000,5-6","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"SourcePorts", R"({"source_port":1,"source_port_range":"65535:65535","outbound":"proxy"})",
     R"([{"sourcePort":"1,65535-65535","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"PortNullAddsNothing", R"({"port":null,"port_range":[],"outbound":"proxy"})",
     R"([{"network":"tcp,udp","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"PortAsString", R"({"port":"80","outbound":"proxy"})", nullptr, "Xray: некорректный порт"},
    {"PortZero", R"({"port":[0],"outbound":"proxy"})", nullptr, "Xray: некорректный порт"},
    {"PortTooLarge", R"({"port":65536,"outbound":"proxy"})", nullptr, "Xray: некорректный порт"},
    {"PortNegative", R"({"port":-80,"outbound":"proxy"})", nullptr, "Xray: некорректный порт"},
    {"PortFractional", R"({"port":80.0,"outbound":"proxy"})", nullptr, "Xray: некорректный порт"},
    {"SourcePortAsString", R"({"source_port":["53"],"outbound":"proxy"})", nullptr,
     "Xray: некорректный порт"},
    {"RangeFromZero", R"({"port_range":"0:10","outbound":"proxy"})", nullptr,
     "Xray: неверная граница порта"},
    {"RangeBackwards", R"({"port_range":"20:10","outbound":"proxy"})", nullptr,
     "Xray: неверная граница порта"},
    {"RangeAboveLimit", R"({"port_range":"1:65536","outbound":"proxy"})", nullptr,
     "Xray: неверная граница порта"},
    {"RangeWithEmptyBound", R"({"port_range":"10:","outbound":"proxy"})", nullptr,
     "Xray: неверная граница порта"},
    {"RangeWithLoneSign", R"({"port_range":"+:10","outbound":"proxy"})", nullptr,
     "Xray: неверная граница порта"},
    {"RangeSplitAtFirstColon", R"({"port_range":"10:20:30","outbound":"proxy"})", nullptr,
     "Xray: неверная граница порта"},
    {"RangeWithNegativeBoundAfterColon", R"({"port_range":"1:-5","outbound":"proxy"})", nullptr,
     "Xray: неверная граница порта"},
    {"RangeWithoutSeparator", R"({"port_range":"1000","outbound":"proxy"})", nullptr,
     "Xray: нужен диапазон портов lo:hi"},
    {"SourceRangeWithoutSeparator", R"({"source_port_range":["1:2","3"],"outbound":"proxy"})",
     nullptr, "Xray: нужен диапазон портов lo:hi"},

    // Logical rules.
    {"OrKeepsAlternativesInOrder",
     R"({"type":"logical","mode":"or","rules":[{"domain":"a.example"},{"network":"udp"}],
         "outbound":"proxy"})",
     R"([{"domain":["full:a.example"],"type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"},
         {"network":"udp","type":"field","ruleTag":"vemla-rule-0-1","outboundTag":"proxy~"}])"},
    {"AndOfDifferentNetworks",
     R"({"type":"logical","mode":"and","rules":[{"network":"tcp"},{"network":"udp"}],
         "outbound":"proxy"})",
     nullptr, "Xray: AND двух разных условий network нельзя передать без изменения смысла"},
    {"AndOfSameNetworkKeepsOne",
     R"({"type":"logical","rules":[{"network":"tcp"},{"network":"tcp","port":53}],
         "outbound":"proxy"})",
     R"([{"network":"tcp","port":"53","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"AndMultipliesAlternativesLeftFirst",
     R"({"type":"logical","mode":"and","rules":[
           {"domain":"a.example","ip_cidr":"1.1.1.1"},
           {"type":"logical","mode":"or","rules":[{"port":80},{"port":443}]}],
         "outbound":"proxy"})",
     R"([{"domain":["full:a.example"],"port":"80","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"},
         {"domain":["full:a.example"],"port":"443","type":"field","ruleTag":"vemla-rule-0-1",
          "outboundTag":"proxy~"},
         {"ip":["1.1.1.1"],"port":"80","type":"field","ruleTag":"vemla-rule-0-2",
          "outboundTag":"proxy~"},
         {"ip":["1.1.1.1"],"port":"443","type":"field","ruleTag":"vemla-rule-0-3",
          "outboundTag":"proxy~"}])"},
    {"EmptyAndMatchesAll", R"({"type":"logical","rules":[],"mode":7,"outbound":"proxy"})",
     R"([{"network":"tcp,udp","type":"field","ruleTag":"vemla-rule-0-0",
          "outboundTag":"proxy~"}])"},
    {"EmptyOrMatchesNothing", R"({"type":"logical","mode":"or","rules":[],"outbound":"proxy"})",
     "[]"},
    {"AndWithAnEmptyBranchMatchesNothing",
     R"({"type":"logical","rules":[{"network":"tcp"},{"clash_mode":"direct"}],
         "outbound":"proxy"})",
     "[]"},
    {"LogicalIgnoresItsOwnConditions",
     R"({"type":"logical","mode":"or","rules":[{"network":"udp"}],"domain":"ignored.example",
         "outbound":"proxy"})",
     R"([{"network":"udp","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"LogicalRulesNotAList", R"({"type":"logical","rules":{},"outbound":"proxy"})", nullptr,
     "Xray: logical.rules должен быть списком"},
    {"LogicalRulesMissing", R"({"type":"logical","mode":"and","outbound":"proxy"})", nullptr,
     "Xray: logical.rules должен быть списком"},
    {"LogicalModeUnknown", R"({"type":"logical","mode":"xor","rules":[],"outbound":"proxy"})",
     nullptr, "Xray: logical.mode должен быть and или or"},
    {"LogicalModeInCapitals", R"({"type":"logical","mode":"OR","rules":[],"outbound":"proxy"})",
     nullptr, "Xray: logical.mode должен быть and или or"},
    {"SubRuleNotAnObject", R"({"type":"logical","rules":["tcp"],"outbound":"proxy"})", nullptr,
     "Xray: правило должен быть объектом"},
    {"SubRuleWithUnknownKey",
     R"({"type":"logical","rules":[{"network":"tcp","strategy":"x"}],"outbound":"proxy"})", nullptr,
     "Xray: правило: параметр strategy не поддерживается"},

    // Mode filter, refusals, key list.
    {"ClashModeOfActiveMode", R"({"clash_mode":"rule","network":"tcp","outbound":"proxy"})",
     R"([{"network":"tcp","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"ClashModeOfOtherMode", R"({"clash_mode":"direct","network":"tcp","outbound":"proxy"})", "[]"},
    {"ClashModeDiffersInCase", R"({"clash_mode":"Rule","outbound":"proxy"})", "[]"},
    {"ClashModeOtherModeHidesLaterFaults", R"({"clash_mode":"global","port":"bad",
         "outbound":"proxy"})",
     "[]"},
    {"ClashModeNotAString", R"({"clash_mode":1,"network":"tcp","outbound":"proxy"})",
     R"([{"network":"tcp","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"ClashModeInsideLogical",
     R"({"type":"logical","mode":"or","rules":[{"clash_mode":"global","network":"udp"},
         {"clash_mode":"rule","network":"tcp"}],"outbound":"proxy"})",
     R"([{"network":"tcp","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"InvertFalseCompiles", R"({"invert":false,"network":"tcp","outbound":"proxy"})",
     R"([{"network":"tcp","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"InvertTrue", R"({"invert":true,"network":"tcp","outbound":"proxy"})", nullptr,
     "Xray: отрицание invert не поддерживается без изменения смысла"},
    {"InvertTrueOnLogical", R"({"type":"logical","rules":[],"invert":true,"outbound":"proxy"})",
     nullptr, "Xray: отрицание invert не поддерживается без изменения смысла"},
    {"InvertBeforeClashMode", R"({"invert":true,"clash_mode":"global","outbound":"proxy"})",
     nullptr, "Xray: отрицание invert не поддерживается без изменения смысла"},
    {"RuleSetSourceMatch",
     R"({"rule_set_ip_cidr_match_source":true,"rule_set":"x","outbound":"proxy"})", nullptr,
     "Xray: rule_set с source-IP требует отдельного перевода"},
    {"RuleSetSourceMatchOtherSpelling",
     R"({"rule_set_ipcidr_match_source":true,"outbound":"proxy"})", nullptr,
     "Xray: rule_set с source-IP требует отдельного перевода"},
    {"TimeoutIsAcceptedAndIgnored", R"({"timeout":"5s","network":"tcp","outbound":"proxy"})",
     R"([{"network":"tcp","type":"field","ruleTag":"vemla-rule-0-0","outboundTag":"proxy~"}])"},
    {"UnknownKeyFirstInKeyOrder", R"({"zeta":1,"alpha":2,"outbound":"proxy"})", nullptr,
     "Xray: правило: параметр alpha не поддерживается"},
    {"ListOfWrongType", R"({"domain":{"a":1},"outbound":"proxy"})", nullptr,
     "Xray: нужна строка или список строк"},
    {"ListWithNonString", R"({"inbound":["mixed-in",2],"outbound":"proxy"})", nullptr,
     "Xray: нужен список строк"},
};

INSTANTIATE_TEST_SUITE_P(RouteRules, RouteRuleTest, testing::ValuesIn(kRouteCases),
                         [](const testing::TestParamInfo<RouteCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

TEST(RouteRuleDriver, TagsCarryTheRulePositionAndAppendAfterEarlierRules) {
    CompileSettings settings;
    const RuleSetTable no_sets;
    Json routing_rules = Json::array({Json{{"ruleTag", "vemla-api-only"}}});
    const Json rule =
        Json::parse(R"({"domain":"a.example","ip_cidr":"1.1.1.1","outbound":"proxy"})");
    ASSERT_TRUE(compile_route_rule(rule, 7, no_sets, settings, routing_targets(), routing_rules));
    ASSERT_EQ(routing_rules.size(), 3u);
    EXPECT_EQ(routing_rules[0]["ruleTag"], "vemla-api-only");
    EXPECT_EQ(routing_rules[1]["ruleTag"], "vemla-rule-7-0");
    EXPECT_EQ(routing_rules[2]["ruleTag"], "vemla-rule-7-1");
}

TEST(RouteRuleDriver, ModeDecidesClashModeRules) {
    const Json rule = Json::parse(R"({"clash_mode":"global","outbound":"proxy"})");
    const auto global = compile_one(rule, 0, "global");
    ASSERT_TRUE(global.has_value());
    EXPECT_EQ(global->size(), 1u);
    const auto direct = compile_one(rule, 0, "direct");
    ASSERT_TRUE(direct.has_value());
    EXPECT_TRUE(direct->empty());
}

// A rule set's rule that names `protocol` dns is caught by port like a route rule's own.
TEST(RouteRuleDriver, ProtocolDnsFromARuleSet) {
    const Json dns = Json::parse(R"({"version":3,"rules":[{"protocol":"dns"}]})");
    const Json mixed = Json::parse(R"({"version":3,"rules":[{"protocol":"dns"},{"port":853}]})");
    const RuleSetTable sets{{"dns", &dns}, {"mixed", &mixed}};
    struct Case {
        const char* rule;
        const char* expected;
    };
    const Case cases[] = {
        {R"({"rule_set":"mixed","network":"udp","outbound":"proxy"})",
         R"([{"network":"udp","port":"53","type":"field","ruleTag":"vemla-rule-0-0",
              "outboundTag":"proxy~"},
             {"network":"udp","port":"853","type":"field","ruleTag":"vemla-rule-0-1",
              "outboundTag":"proxy~"}])"},
        {R"({"rule_set":"dns","port":5353,"action":"hijack-dns"})",
         R"([{"port":"5353","type":"field","ruleTag":"vemla-rule-0-0",
              "outboundTag":"vemla-dns"}])"},
    };
    for (const Case& c : cases) {
        CompileSettings settings;
        Json routing_rules = Json::array();
        const auto compiled = compile_route_rule(Json::parse(c.rule), 0, sets, settings,
                                                 routing_targets(), routing_rules);
        ASSERT_TRUE(compiled.has_value()) << c.rule << ": " << compiled.error();
        EXPECT_EQ(routing_rules, Json::parse(c.expected)) << c.rule;
    }
}

// The limit counts every rule of the list, the driver's own included, and is checked after
// the IR rule that crosses it.
TEST(RouteRuleDriver, RoutingRuleLimit) {
    CompileSettings settings;
    const RuleSetTable no_sets;
    const Json two_rules =
        Json::parse(R"({"domain":"a.example","ip_cidr":"1.1.1.1","outbound":"proxy"})");
    for (const std::size_t before : {kMaxRoutingRules - 2, kMaxRoutingRules - 1}) {
        Json routing_rules = Json::array();
        for (std::size_t i = 0; i < before; ++i) {
            routing_rules.push_back(Json::object());
        }
        const auto compiled =
            compile_route_rule(two_rules, 1, no_sets, settings, routing_targets(), routing_rules);
        if (before + 2 <= kMaxRoutingRules) {
            ASSERT_TRUE(compiled.has_value()) << compiled.error();
            EXPECT_EQ(routing_rules.size(), kMaxRoutingRules);
        } else {
            ASSERT_FALSE(compiled.has_value());
            EXPECT_EQ(compiled.error(), "Xray: скомпилировано больше 50000 правил");
        }
    }
}

Json conditions(std::initializer_list<const char*> texts) {
    Json list = Json::array();
    for (const char* text : texts) {
        list.push_back(Json::parse(text));
    }
    return list;
}

ConditionList as_list(const Json& array) {
    return array.get<ConditionList>();
}

TEST(AndMerge, MergesEveryPairLeftFirst) {
    const auto merged = and_merge(
        as_list(conditions({R"({"network":"tcp"})", R"({"port":"1"})"})),
        as_list(conditions({R"({"domain":["full:a"]})", R"({"ip":["1.1.1.1"],"network":"tcp"})"})));
    ASSERT_TRUE(merged.has_value()) << merged.error();
    EXPECT_EQ(Json(*merged), conditions({R"({"network":"tcp","domain":["full:a"]})",
                                         R"({"network":"tcp","ip":["1.1.1.1"]})",
                                         R"({"port":"1","domain":["full:a"]})",
                                         R"({"port":"1","ip":["1.1.1.1"],"network":"tcp"})"}));
}

TEST(AndMerge, EmptySideGivesEmptyList) {
    const ConditionList some = as_list(conditions({R"({"network":"tcp"})"}));
    for (const bool empty_left : {true, false}) {
        const auto merged = empty_left ? and_merge({}, some) : and_merge(some, {});
        ASSERT_TRUE(merged.has_value()) << merged.error();
        EXPECT_TRUE(merged->empty()) << empty_left;
    }
}

TEST(AndMerge, ConflictNamesTheField) {
    const auto merged =
        and_merge(as_list(conditions({R"({"domain":["full:a"],"port":"80"})"})),
                  as_list(conditions({R"({"port":"80"})", R"({"domain":["full:b"]})"})));
    ASSERT_FALSE(merged.has_value());
    EXPECT_EQ(merged.error(),
              "Xray: AND двух разных условий domain нельзя передать без изменения смысла");
}

TEST(AndMerge, ProductBoundIsCheckedBeforeMerging) {
    const ConditionList one = as_list(conditions({R"({"network":"tcp"})"}));
    // Conflicting objects: a product that is refused must fail on its size, not on a merge.
    const ConditionList many(kMaxConditionObjects + 1, Json{{"network", "udp"}});
    const auto refused = and_merge(one, many);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "Xray: слишком сложное логическое правило");

    const ConditionList at_limit(kMaxConditionObjects, Json{{"port", "1"}});
    const auto accepted = and_merge(one, at_limit);
    ASSERT_TRUE(accepted.has_value()) << accepted.error();
    EXPECT_EQ(accepted->size(), kMaxConditionObjects);
}

TEST(RouteRulesHostile, OrWithTooManyAlternatives) {
    Json rules = Json::array();
    for (std::size_t i = 0; i <= kMaxConditionObjects; ++i) {
        rules.push_back(Json{{"network", "tcp"}});
    }
    const auto result = compile_one(
        Json{{"type", "logical"}, {"mode", "or"}, {"rules", rules}, {"outbound", "proxy"}});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: слишком много правил");
}

// Twenty "or" pairs joined by "and" would be 2^20 objects (equal fields merge without conflict);
// the product is refused as soon as it would reach the bound, before anything that large is
// built.
TEST(RouteRulesHostile, AndProductExplodes) {
    Json pairs = Json::array();
    for (int i = 0; i < 20; ++i) {
        pairs.push_back(
            Json{{"type", "logical"},
                 {"mode", "or"},
                 {"rules", Json::array({Json{{"network", "tcp"}}, Json{{"network", "tcp"}}})}});
    }
    const auto result =
        compile_one(Json{{"type", "logical"}, {"rules", pairs}, {"outbound", "proxy"}});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: слишком сложное логическое правило");
}

TEST(RouteRulesHostile, HundredThousandDomainsInOneRule) {
    Json domains = Json::array();
    for (int i = 0; i < 100000; ++i) {
        domains.push_back("host" + std::to_string(i) + ".example");
    }
    const auto result = compile_one(Json{{"domain_suffix", domains}, {"outbound", "proxy"}});
    ASSERT_TRUE(result.has_value()) << result.error();
    ASSERT_EQ(result->size(), 1u);
    const Json& compiled = (*result)[0]["domain"];
    ASSERT_EQ(compiled.size(), 100000u);
    EXPECT_EQ(compiled[99999], "domain:host99999.example");
}

}  // namespace
}  // namespace vemla::xray_native
