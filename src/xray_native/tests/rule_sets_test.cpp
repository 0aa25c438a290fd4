#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "expect_result.h"
#include "helper_protocol/validation.h"
#include "xray_native/rule_sets.h"

namespace vemla::xray_native {
namespace {

// A rule-set table over `documents` (tag -> rule source document), as the driver builds it.
struct RuleSets {
    Json documents;
    RuleSetTable table;

    explicit RuleSets(Json docs) : documents(std::move(docs)) {
        for (const auto& item : documents.items()) {
            table.emplace(item.key(), &item.value());
        }
    }
};

Json source(Json rules) {
    return Json{{"version", 3u}, {"rules", std::move(rules)}};
}

Result<Json> compile(const Json& rule, const RuleSets& sets) {
    CompileSettings settings;
    auto compiled = compile_rule(rule, sets.table, settings, TagSet{});
    if (!compiled) {
        return std::unexpected(compiled.error());
    }
    return Json(*compiled);
}

struct RuleSetCase {
    const char* name;
    const char* rule;
    const char* expected;  // JSON array of condition objects, or nullptr
    const char* error = nullptr;
};

class RuleSetExpansionTest : public testing::TestWithParam<RuleSetCase> {};

// Sets: "two" (two plain rules), "empty", "tcp", "C" (one domain), "A" and "B" (both name
// "C"), "self" (names itself), "ring1" -> "ring2" -> "ring3" -> "ring1", "norules",
// "filtered" (only rules for other modes), "nested" (a logical rule naming "two").
const RuleSets& shared_sets() {
    static const RuleSets sets(Json{
        {"two", source(Json::parse(R"([{"ip_cidr":"10.0.0.0/8"},{"port":443}])"))},
        {"empty", source(Json::array())},
        {"tcp", source(Json::parse(R"([{"network":"tcp"}])"))},
        {"C", source(Json::parse(R"([{"domain":"c.example"}])"))},
        {"A", source(Json::parse(R"([{"rule_set":"C","network":"tcp"}])"))},
        {"B", source(Json::parse(R"([{"rule_set":["C"],"network":"udp"}])"))},
        {"self", source(Json::parse(R"([{"rule_set":"self"}])"))},
        {"ring1", source(Json::parse(R"([{"domain":"x.example"},{"rule_set":"ring2"}])"))},
        {"ring2", source(Json::parse(R"([{"rule_set":"ring3"}])"))},
        {"ring3", source(Json::parse(R"([{"type":"logical","rules":[{"rule_set":"ring1"}]}])"))},
        {"norules", Json{{"version", 3}, {"rules", Json::object()}}},
        {"filtered", source(Json::parse(R"([{"clash_mode":"direct","domain":"d.example"}])"))},
        {"nested", source(Json::parse(
                       R"([{"type":"logical","mode":"and","rules":[{"rule_set":"two"},
                           {"network":"udp"}]}])"))},
        {"badkey", source(Json::parse(R"([{"domain":"a.example","strategy":"x"}])"))},
    });
    return sets;
}

TEST_P(RuleSetExpansionTest, ExpandsNamedSets) {
    const RuleSetCase& c = GetParam();
    const auto result = compile(Json::parse(c.rule), shared_sets());
    testing_support::expect_json_or_message(result, c.expected, c.error);
}

const RuleSetCase kRuleSetCases[] = {
    {"OwnFieldsJoinEverySetRule", R"({"domain":"a.example","rule_set":"two"})",
     R"([{"domain":["full:a.example"],"ip":["10.0.0.0/8"]},
         {"domain":["full:a.example"],"port":"443"}])"},
    {"AlternativesTimesUnionLeftFirst",
     R"({"domain":"a.example","ip_cidr":"1.1.1.1","rule_set":"tcp"})",
     R"([{"domain":["full:a.example"],"network":"tcp"},{"ip":["1.1.1.1"],"network":"tcp"}])"},
    {"ConflictWithSetRule", R"({"network":"udp","rule_set":"tcp"})", nullptr,
     "Xray: AND двух разных условий network нельзя передать без изменения смысла"},
    {"SetsUnitedInListOrder", R"({"rule_set":["tcp","two"]})",
     R"([{"network":"tcp"},{"ip":["10.0.0.0/8"]},{"port":"443"}])"},
    {"SameSetTwiceIsExpandedTwice", R"({"rule_set":["tcp","tcp"]})",
     R"([{"network":"tcp"},{"network":"tcp"}])"},
    // From the third use on, a set's union is reused rather than compiled again.
    {"SetsNamedOftenKeepTheirOrder", R"({"rule_set":["A","B","A","tcp","B","tcp","tcp"]})",
     R"([{"network":"tcp","domain":["full:c.example"]},
         {"network":"udp","domain":["full:c.example"]},
         {"network":"tcp","domain":["full:c.example"]},{"network":"tcp"},
         {"network":"udp","domain":["full:c.example"]},{"network":"tcp"},{"network":"tcp"}])"},
    {"CycleFoundAfterReuse", R"({"rule_set":["tcp","tcp","tcp","ring1"]})", nullptr,
     "Xray: циклический rule_set"},
    {"SiblingsSharingASetAreNoCycle", R"({"rule_set":["A","B"]})",
     R"([{"network":"tcp","domain":["full:c.example"]},
         {"network":"udp","domain":["full:c.example"]}])"},
    {"EmptySetMatchesNothing", R"({"domain":"a.example","rule_set":"empty"})", "[]"},
    {"SetOfOtherModeRulesMatchesNothing", R"({"rule_set":"filtered"})", "[]"},
    {"EmptyRuleSetListIsNoCondition", R"({"network":"tcp","rule_set":[]})",
     R"([{"network":"tcp"}])"},
    {"LogicalInsideSet", R"({"rule_set":"nested"})",
     R"([{"ip":["10.0.0.0/8"],"network":"udp"},{"port":"443","network":"udp"}])"},
    {"SetNamingItself", R"({"rule_set":"self"})", nullptr, "Xray: циклический rule_set"},
    {"SetNamingItselfThroughOthers", R"({"rule_set":"ring2"})", nullptr,
     "Xray: циклический rule_set"},
    {"MissingSet", R"({"rule_set":["tcp","geosite-cn"]})", nullptr,
     "Xray: набор geosite-cn не подготовлен в source JSON; SRS не запускается как VPN-ядро"},
    {"SetWithoutRulesArray", R"({"rule_set":"norules"})", nullptr, "Xray: source-набор без rules"},
    {"SetRulesPassTheKeyCheck", R"({"rule_set":"badkey"})", nullptr,
     "Xray: правило: параметр strategy не поддерживается"},
    {"RuleSetOfWrongType", R"({"rule_set":7})", nullptr, "Xray: нужна строка или список строк"},
};

INSTANTIATE_TEST_SUITE_P(RuleSets, RuleSetExpansionTest, testing::ValuesIn(kRuleSetCases),
                         [](const testing::TestParamInfo<RuleSetCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// Route rules of one compilation share their state: a set reused by later rules gives each of
// them the same routing rules.
TEST(RuleSetExpansion, RouteRulesSharingTheirState) {
    RoutingTargets targets;
    targets.outbound_tags = {"proxy", "direct", "block"};
    CompileSettings settings;
    RuleCompileState state;
    Json routing_rules = Json::array();
    const Json rule = Json{{"rule_set", "two"}, {"outbound", "proxy"}};
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(compile_route_rule(rule, i, shared_sets().table, settings, targets,
                                       routing_rules, &state));
    }
    ASSERT_EQ(routing_rules.size(), 8u);
    for (std::size_t i = 0; i < 4; ++i) {
        const std::string tag = "vemla-rule-" + std::to_string(i) + "-";
        EXPECT_EQ(routing_rules[2 * i], (Json{{"ip", {"10.0.0.0/8"}},
                                              {"type", "field"},
                                              {"ruleTag", tag + "0"},
                                              {"outboundTag", "proxy~"}}));
        EXPECT_EQ(routing_rules[2 * i + 1], (Json{{"port", "443"},
                                                  {"type", "field"},
                                                  {"ruleTag", tag + "1"},
                                                  {"outboundTag", "proxy~"}}));
    }
}

TEST(RuleSetExpansion, UnionLimit) {
    Json rules = Json::array();
    for (std::size_t i = 0; i < kMaxConditionObjects / 2; ++i) {
        rules.push_back(Json{{"network", "tcp"}});
    }
    const RuleSets sets(Json{{"half", source(rules)}});
    const auto at_limit = compile(Json{{"rule_set", {"half", "half"}}}, sets);
    ASSERT_TRUE(at_limit.has_value()) << at_limit.error();
    EXPECT_EQ(at_limit->size(), kMaxConditionObjects);

    const auto above = compile(Json{{"rule_set", {"half", "half", "half"}}}, sets);
    ASSERT_FALSE(above.has_value());
    EXPECT_EQ(above.error(), "Xray: слишком много правил набора");
}

// The union limit is checked after each rule, so a faulty rule behind the rule that crossed
// it is never reached.
TEST(RuleSetExpansion, UnionLimitStopsBeforeLaterRules) {
    Json rules = Json::array();
    for (std::size_t i = 0; i <= kMaxConditionObjects; ++i) {
        rules.push_back(Json{{"network", "tcp"}});
    }
    rules.push_back(Json{{"ip_cidr", "not-an-address"}});
    const RuleSets sets(Json{{"big", source(rules)}});
    const auto result = compile(Json{{"rule_set", "big"}}, sets);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: слишком много правил набора");
}

// Process rows have the same form as rule-set rows.
using ProcessCase = RuleSetCase;

class ProcessMatchTest : public testing::TestWithParam<ProcessCase> {};

TEST_P(ProcessMatchTest, TranslatesProcessFields) {
    const ProcessCase& c = GetParam();
    const auto result = compile(Json::parse(c.rule), RuleSets(Json::object()));
    testing_support::expect_json_or_message(result, c.expected, c.error);
}

// In the rules below a JSON "\\" is one backslash of the expression.
const ProcessCase kProcessCases[] = {
    {"NamesPathsThenRegexNamesUnchanged",
     R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app\\.exe$","process_path":"C:\\x\\y.exe",
         "process_name":["b.exe","B.exe"]})j",
     R"j([{"process":["b.exe","B.exe","C:\\x\\y.exe","app.exe"]}])j"},
    {"OnlySentinelMatchesNothing",
     R"j({"process_path_regex":["(?i)^vemla-no-excluded-process\\\\never\\\\matches$"],
         "domain":"a.example"})j",
     "[]"},
    {"SentinelBesideAnEntry",
     R"j({"process_path_regex":["(?i)^vemla-no-excluded-process\\\\never\\\\matches$",
                               "(?i)(?:^|[\\\\/])app\\.exe$"]})j",
     R"j([{"process":["app.exe"]}])j"},
    {"EmptyRegexListMatchesNothing", R"j({"process_path_regex":[],"network":"tcp"})j", "[]"},
    {"NullRegexMatchesNothing", R"j({"process_path_regex":null,"network":"tcp"})j", "[]"},
    {"NamesKeepTheRuleBesideOnlySentinel",
     R"j({"process_name":"a.exe",
         "process_path_regex":"(?i)^vemla-no-excluded-process\\\\never\\\\matches$"})j",
     R"j([{"process":["a.exe"]}])j"},
    {"EmptyNameListsAddNothing", R"j({"process_name":[],"process_path":null,"network":"tcp"})j",
     R"j([{"network":"tcp"}])j"},
    {"UpperCaseExeKept", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])Setup\\.EXE$"})j",
     R"j([{"process":["Setup.EXE"]}])j"},
    {"EveryLiteralEscape",
     R"j({"process_path_regex":
         "(?i)(?:^|[\\\\/])my app\\(1\\)\\+\\[2\\]\\{3\\}\\|\\^\\$-Ж\\.exe$"})j",
     R"j([{"process":["my app(1)+[2]{3}|^$-Ж.exe"]}])j"},
    {"UnescapedDot", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app.exe$"})j", nullptr,
     "Xray: произвольная маска процесса не поддерживается"},
    {"UnescapedStar", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])*\\.exe$"})j", nullptr,
     "Xray: произвольная маска процесса не поддерживается"},
    {"DigitClass", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app\\d\\.exe$"})j", nullptr,
     "Xray: неподдерживаемая маска процесса"},
    {"EscapedStar", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app\\*\\.exe$"})j", nullptr,
     "Xray: неподдерживаемая маска процесса"},
    {"EscapedQuestionMark", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app\\?\\.exe$"})j", nullptr,
     "Xray: неподдерживаемая маска процесса"},
    {"TrailingBackslash", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app\\.exe\\$"})j", nullptr,
     "Xray: оборванное экранирование имени процесса"},
    {"EscapedBackslashInName", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])dir\\\\app\\.exe$"})j",
     nullptr, "Xray: нужен basename .exe в исключении"},
    {"SlashInName", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])dir/app\\.exe$"})j", nullptr,
     "Xray: нужен basename .exe в исключении"},
    // ".exe" alone is a file name that ends in .exe and holds no separator.
    {"BareExeIsAName", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])\\.exe$"})j",
     R"j([{"process":[".exe"]}])j"},
    {"NotAnExe", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app\\.com$"})j", nullptr,
     "Xray: нужен basename .exe в исключении"},
    {"EmptyName", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])$"})j", nullptr,
     "Xray: нужен basename .exe в исключении"},
    {"OnlyThePrefix", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])"})j", nullptr,
     "Xray: произвольный process_path_regex не поддерживается; используй точное имя .exe"},
    {"NoFinalDollar", R"j({"process_path_regex":"(?i)(?:^|[\\\\/])app\\.exe"})j", nullptr,
     "Xray: произвольный process_path_regex не поддерживается; используй точное имя .exe"},
    {"OtherPrefix", R"j({"process_path_regex":"(?:^|[\\\\/])app\\.exe$"})j", nullptr,
     "Xray: произвольный process_path_regex не поддерживается; используй точное имя .exe"},
    {"PrefixWithOneBackslash", R"j({"process_path_regex":"(?i)(?:^|[\\/])app\\.exe$"})j", nullptr,
     "Xray: произвольный process_path_regex не поддерживается; используй точное имя .exe"},
    {"SentinelWithOneBackslash",
     R"j({"process_path_regex":"(?i)^vemla-no-excluded-process\\never\\matches$"})j", nullptr,
     "Xray: произвольный process_path_regex не поддерживается; используй точное имя .exe"},
    {"RegexOfWrongType", R"j({"process_path_regex":{}})j", nullptr,
     "Xray: нужна строка или список строк"},
};

INSTANTIATE_TEST_SUITE_P(Processes, ProcessMatchTest, testing::ValuesIn(kProcessCases),
                         [](const testing::TestParamInfo<ProcessCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// Sets that name each other around a long ring must fail on the cycle, not on the stack.
TEST(RuleSetsHostile, LongRing) {
    constexpr int kSets = 200;
    Json documents = Json::object();
    for (int i = 0; i < kSets; ++i) {
        documents["s" + std::to_string(i)] =
            source(Json::array({Json{{"rule_set", "s" + std::to_string((i + 1) % kSets)}}}));
    }
    const auto result = compile(Json{{"rule_set", "s0"}}, RuleSets(std::move(documents)));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: циклический rule_set");
}

// The deepest nesting a request can carry: as many sets as a rules map may hold, each naming
// the next from the bottom of four logical levels.
TEST(RuleSetsHostile, DeepestChainOfNestedSets) {
    constexpr int kSets = 256;
    Json documents = Json::object();
    for (int i = 0; i < kSets; ++i) {
        Json rule = i + 1 < kSets ? Json{{"rule_set", "s" + std::to_string(i + 1)}}
                                  : Json{{"network", "tcp"}};
        for (int level = 0; level < 4; ++level) {
            rule = Json{{"type", "logical"}, {"rules", Json::array({std::move(rule)})}};
        }
        documents["s" + std::to_string(i)] = source(Json::array({std::move(rule)}));
    }
    const auto result = compile(Json{{"rule_set", "s0"}}, RuleSets(std::move(documents)));
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, Json::parse(R"([{"network":"tcp"}])"));
}

// `rule` inside `levels` logical rules.
Json inside_logical(Json rule, int levels) {
    for (int level = 0; level < levels; ++level) {
        rule = Json{{"type", "logical"}, {"rules", Json::array({std::move(rule)})}};
    }
    return rule;
}

Result<ConditionList> compile_with_depth_limit(const Json& rule, const RuleSets& sets,
                                               std::size_t depth_limit) {
    CompileSettings settings;
    RuleCompileState state;
    state.depth_limit = depth_limit;
    RuleContext context{sets.table, settings, state};
    return compile_rule(rule, context, TagSet{});
}

// The deepest nesting validation lets through: a route rule four logical levels above its rule
// set reference, then as many rule sources as a request can name (the rules map and the built-in
// ones), each reaching the next four logical levels down, and the last ending in an empty rule
// one level deeper still. The compiler's own bound lies above it, so no validated request meets
// the refusal.
TEST(RuleDepth, DeepestValidatedNestingStaysWithinTheBound) {
    constexpr std::size_t kSources =
        helper_protocol::kMaxRuleSources + std::size(helper_protocol::kBuiltInRuleSources);
    Json documents = Json::object();
    for (std::size_t i = 0; i < kSources; ++i) {
        Json innermost = i + 1 < kSources ? Json{{"rule_set", "s" + std::to_string(i + 1)}}
                                          : inside_logical(Json::object(), 1);
        Json document = source(Json::array({inside_logical(std::move(innermost), 4)}));
        const auto validated = helper_protocol::validate_rule_source(document);
        ASSERT_TRUE(validated.has_value()) << i << ": " << validated.error();
        // One logical level more and validation refuses the document.
        Json deeper = source(Json::array({inside_logical(document["rules"][0], 1)}));
        ASSERT_FALSE(helper_protocol::validate_rule_source(deeper).has_value()) << i;
        documents["s" + std::to_string(i)] = std::move(document);
    }
    Json route_rule = inside_logical(Json{{"rule_set", "s0"}}, 4);
    const Json configuration{{"route", {{"rules", Json::array({route_rule})}}}};
    ASSERT_TRUE(helper_protocol::check_value_limits(configuration, 0).has_value());
    const RuleSets sets(std::move(documents));

    // Five levels in the route rule and in every source, six in the last one.
    const std::size_t deepest = 5 * kSources + 6;
    const auto at_depth = compile_with_depth_limit(route_rule, sets, deepest);
    ASSERT_TRUE(at_depth.has_value()) << at_depth.error();
    EXPECT_EQ(Json(*at_depth), Json::parse("[{}]")) << "the empty rule at the bottom matches all";
    const auto one_less = compile_with_depth_limit(route_rule, sets, deepest - 1);
    ASSERT_FALSE(one_less.has_value());
    EXPECT_EQ(one_less.error(), "Xray: правила вложены слишком глубоко");
    EXPECT_LT(deepest, kMaxRuleDepth);
}

// Past the bound the compilation is refused with its own message; up to it the recursion runs
// on the thread's stack. A chain of sets that each name the next nests one level per set.
TEST(RuleDepth, RefusedPastTheBound) {
    for (const std::size_t levels : {kMaxRuleDepth, kMaxRuleDepth + 1}) {
        Json documents = Json::object();
        const std::size_t sets = levels - 1;  // the rule naming the first set is a level
        for (std::size_t i = 0; i < sets; ++i) {
            documents["s" + std::to_string(i)] =
                source(Json::array({i + 1 < sets ? Json{{"rule_set", "s" + std::to_string(i + 1)}}
                                                 : Json{{"network", "tcp"}}}));
        }
        const auto result = compile(Json{{"rule_set", "s0"}}, RuleSets(std::move(documents)));
        if (levels == kMaxRuleDepth) {
            ASSERT_TRUE(result.has_value()) << result.error();
            EXPECT_EQ(*result, Json::parse(R"([{"network":"tcp"}])"));
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), "Xray: правила вложены слишком глубоко");
        }
    }
}

// Every set names the next one many times, and the sets at the bottom match nothing: walked
// reference by reference this is 50^200 expansions, each producing nothing.
TEST(RuleSetsHostile, SharedSetsProducingNothing) {
    constexpr int kSets = 200;
    Json documents = Json::object();
    for (int i = 0; i < kSets; ++i) {
        Json names = Json::array();
        for (int k = 0; k < 50; ++k) {
            names.push_back(i + 1 < kSets ? "s" + std::to_string(i + 1) : "bottom");
        }
        documents["s" + std::to_string(i)] =
            source(Json::array({Json{{"network", "tcp"}, {"rule_set", names}}}));
    }
    documents["bottom"] = source(Json::array({Json{{"clash_mode", "global"}}}));
    const auto result = compile(Json{{"rule_set", "s0"}}, RuleSets(std::move(documents)));
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_TRUE(result->empty());
}

// The same with one object at the bottom, kept at one object by "and" at every level.
TEST(RuleSetsHostile, SharedSetsUnderAnd) {
    constexpr int kSets = 100;
    Json documents = Json::object();
    for (int i = 0; i < kSets; ++i) {
        const std::string next = i + 1 < kSets ? "s" + std::to_string(i + 1) : "bottom";
        Json branches = Json::array();
        for (int k = 0; k < 20; ++k) {
            branches.push_back(Json{{"rule_set", next}});
        }
        documents["s" + std::to_string(i)] =
            source(Json::array({Json{{"type", "logical"}, {"rules", branches}}}));
    }
    documents["bottom"] = source(Json::array({Json{{"network", "tcp"}}}));
    const auto result = compile(Json{{"rule_set", "s0"}}, RuleSets(std::move(documents)));
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(*result, Json::parse(R"([{"network":"tcp"}])"));
}

Json big_domain_set() {
    Json domains = Json::array();
    for (int i = 0; i < 100000; ++i) {
        domains.push_back("site" + std::to_string(i) + ".example");
    }
    return source(Json::array({Json{{"domain_suffix", std::move(domains)}}}));
}

// One set of 100000 domains named from an "or" of thousands of branches: few objects, but
// each a copy of the whole list. It must stop on the size of what it copies.
TEST(RuleSetsHostile, LargeSetCopiedManyTimes) {
    Json branches = Json::array();
    for (int i = 0; i < 20000; ++i) {
        branches.push_back(Json{{"rule_set", "big"}});
    }
    const auto result = compile(Json{{"type", "logical"}, {"mode", "or"}, {"rules", branches}},
                                RuleSets(Json{{"big", big_domain_set()}}));
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error(), "Xray: слишком много правил");
}

// Many route rules each naming the large set: bounded across the rules when they share the
// compilation state.
TEST(RuleSetsHostile, LargeSetNamedByManyRouteRules) {
    const RuleSets sets(Json{{"big", big_domain_set()}});
    RoutingTargets targets;
    targets.outbound_tags = {"proxy", "direct", "block"};
    CompileSettings settings;
    RuleCompileState state;
    Json routing_rules = Json::array();
    const Json rule = Json{{"rule_set", "big"}, {"outbound", "proxy"}};
    Check last;
    std::size_t index = 0;
    for (; index < 1000 && last; ++index) {
        last =
            compile_route_rule(rule, index, sets.table, settings, targets, routing_rules, &state);
    }
    ASSERT_FALSE(last.has_value());
    EXPECT_EQ(last.error(), "Xray: слишком много правил");
    EXPECT_GT(index, 5u) << "a few copies of a large set are legitimate";
}

}  // namespace
}  // namespace vemla::xray_native
