#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json/result_test_support.h"
#include "xray_native/compiler.h"
#include "xray_native/inbounds.h"

namespace vemla::xray_native {
namespace {

const char* const kSecret = "c2b7e0a94f1d4e6b8a3c5d7f9e1b2a4c";

// An IR holding `members` (parsed) plus the API secret the settings need.
Json make_ir(const char* members) {
    Json ir = Json::parse(members);
    ir["experimental"]["clash_api"]["secret"] = kSecret;
    return ir;
}

// What the service does: settings from the IR and rules map, then the compilation.
Result<Json> compile(const Json& ir, const Json& rules = Json::object()) {
    auto settings = extract_compile_settings(ir, rules);
    if (!settings) {
        return std::unexpected(settings.error());
    }
    return compile_xray_document(ir, *settings);
}

std::vector<std::string> tags_of(const Json& list, const char* key) {
    std::vector<std::string> tags;
    for (const Json& item : list) {
        tags.push_back(item[key].get<std::string>());
    }
    return tags;
}

using Tags = std::vector<std::string>;

TEST(CompileDocument, MinimalConfigurationHasTheWholeFixedShape) {
    const auto refused = compile(make_ir(R"({"outbounds":[]})"));
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "Xray: правило ссылается на отсутствующий выход proxy");

    const auto document = compile(make_ir(R"({"outbounds":[],"route":{"final":"direct"}})"));
    ASSERT_TRUE(document.has_value()) << document.error();
    const Json expected = Json::parse(R"({
      "api":{"tag":"vemla-api","services":["StatsService","RoutingService"]},
      "dns":{"servers":["localhost"],"queryStrategy":"UseIP","enableParallelQuery":true,
             "disableCache":false,"useSystemHosts":true},
      "inbounds":[
        {"tag":"vemla-api-in","listen":"127.0.0.1","port":18970,"protocol":"http",
         "settings":{"accounts":[{"user":"vemla","pass":"c2b7e0a94f1d4e6b8a3c5d7f9e1b2a4c"}]}},
        {"tag":"mixed-in","listen":"127.0.0.1","port":2080,"protocol":"socks",
         "settings":{"auth":"noauth","udp":true},
         "sniffing":{"enabled":true,"destOverride":["http","tls","quic"],"routeOnly":true}}],
      "log":{"loglevel":"warning","access":"none"},
      "outbounds":[
        {"tag":"direct~","protocol":"freedom","settings":{},
         "streamSettings":{"network":"tcp","security":"none"}},
        {"tag":"block~","protocol":"blackhole","settings":{}},
        {"tag":"vemla-dns","protocol":"dns","settings":{"nonIPQuery":"skip"}}],
      "policy":{"system":{"statsInboundUplink":true,"statsInboundDownlink":true,
                          "statsOutboundUplink":true,"statsOutboundDownlink":true}},
      "routing":{"domainStrategy":"IPOnDemand","balancers":[],"rules":[
        {"type":"field","ruleTag":"vemla-api-only","inboundTag":["vemla-api-in"],
         "outboundTag":"vemla-api"},
        {"type":"field","network":"tcp,udp","ruleTag":"vemla-final","outboundTag":"direct~"}]},
      "stats":{}})");
    EXPECT_EQ(*document, expected);
    EXPECT_FALSE(document->contains("observatory"));
}

TEST(CompileDocument, ListsKeepTheirOrder) {
    const Json ir = make_ir(R"({
      "dns":{"servers":[{"type":"udp","tag":"a","server":"1.1.1.1","detour":"auto"},
                        {"type":"local","tag":"l"},
                        {"type":"https","tag":"b","server":"8.8.8.8","detour":"p2"}]},
      "inbounds":[{"type":"tun"},{"type":"socks","tag":"extra","listen_port":1080}],
      "outbounds":[
        {"type":"trojan","tag":"p2","server":"h","server_port":1,"password":"x"},
        {"type":"urltest","tag":"auto","outbounds":["p2","p1"]},
        {"type":"direct","tag":"direct"},
        {"type":"selector","tag":"Sel","outbounds":["auto"]},
        {"type":"trojan","tag":"p1","server":"h","server_port":2,"password":"x"}],
      "route":{"rules":[{"action":"sniff"},{"domain":"a.example","ip_cidr":"10.0.0.0/8","outbound":"p1"},
                        {"action":"reject","port":[25]}],
               "final":"auto"}})");
    const auto document = compile(ir);
    ASSERT_TRUE(document.has_value()) << document.error();
    EXPECT_EQ(tags_of((*document)["outbounds"], "tag"),
              (Tags{"p2~", "direct~", "p1~", "block~", "vemla-dns"}));
    EXPECT_EQ(tags_of((*document)["inbounds"], "tag"),
              (Tags{"vemla-api-in", "tun-in", "mixed-in", "extra"}));
    EXPECT_EQ(tags_of((*document)["routing"]["balancers"], "tag"), (Tags{"Sel", "auto"}));
    const Json& rules = (*document)["routing"]["rules"];
    EXPECT_EQ(tags_of(rules, "ruleTag"),
              (Tags{"vemla-api-only", "vemla-dns-route-0", "vemla-dns-route-1", "vemla-rule-1-0",
                    "vemla-rule-1-1", "vemla-rule-2-0", "vemla-final"}));
    // DNS routes carry the server's query tag and resolve its detour like any target.
    EXPECT_EQ(rules[1], Json::parse(R"({"type":"field","ruleTag":"vemla-dns-route-0",
        "inboundTag":["vemla-dns-query-0"],"balancerTag":"auto"})"));
    EXPECT_EQ(rules[2], Json::parse(R"({"type":"field","ruleTag":"vemla-dns-route-1",
        "inboundTag":["vemla-dns-query-2"],"outboundTag":"p2~"})"));
    EXPECT_EQ(rules[5]["outboundTag"], "block~");
    EXPECT_EQ(rules[6]["balancerTag"], "auto");
    EXPECT_EQ((*document)["observatory"], Json::parse(R"({"subjectSelector":["p2~","p1~"],
        "probeURL":"https://www.gstatic.com/generate_204","probeInterval":"30s",
        "enableConcurrency":true})"));
}

TEST(CompileDocument, OutboundTagsAndBuiltIns) {
    struct Case {
        std::string name;
        Json ir;
        Tags outbounds;  // expected Xray outbound tags, or empty when `error` is expected
        std::string error;
    };
    auto ir_with_outbounds = [](Json outbounds) {
        Json ir = make_ir(R"({"route":{"final":"direct"}})");
        ir["outbounds"] = std::move(outbounds);
        return ir;
    };
    auto direct = [](std::string tag) { return Json{{"type", "direct"}, {"tag", std::move(tag)}}; };
    const std::string reserved = "Xray: недопустимый или зарезервированный tag";
    const Case cases[] = {
        {"own_direct_replaces_built_in",
         ir_with_outbounds(Json::array({direct("direct")})),
         {"direct~", "block~", "vemla-dns"},
         ""},
        {"own_block_replaces_built_in",
         ir_with_outbounds(Json::parse(R"([{"type":"block","tag":"block"}])")),
         {"block~", "direct~", "vemla-dns"},
         ""},
        {"tag_128_bytes",
         ir_with_outbounds(Json::array({direct(std::string(128, 'x'))})),
         {std::string(128, 'x') + "~", "direct~", "block~", "vemla-dns"},
         ""},
        {"tag_129_bytes",
         ir_with_outbounds(Json::array({direct(std::string(129, 'x'))})),
         {},
         reserved},
        {"reserved_query_tag",
         ir_with_outbounds(Json::array({direct("vemla-dns-query-1")})),
         {},
         reserved},
        {"reserved_api_tag", ir_with_outbounds(Json::array({direct("vemla-api")})), {}, reserved},
        {"final_and_tun_in_are_free",
         ir_with_outbounds(Json::array({direct("vemla-final"), direct("tun-in")})),
         {"vemla-final~", "tun-in~", "direct~", "block~", "vemla-dns"},
         ""},
        {"duplicate",
         ir_with_outbounds(Json::array({direct("a"), direct("a")})),
         {},
         "Xray: повторный tag a"},
        {"duplicate_with_group",
         ir_with_outbounds(Json::parse(
             R"([{"type":"direct","tag":"a"},{"type":"selector","tag":"a","outbounds":["a"]}])")),
         {},
         "Xray: повторный tag a"},
        {"tag_read_before_anything_else",
         ir_with_outbounds(Json::array({"proxy"})),
         {},
         "Xray: не задан tag"},
        {"group_unknown_key",
         ir_with_outbounds(Json::parse(
             R"([{"type":"direct","tag":"a"},{"type":"urltest","tag":"u","outbounds":["a"],"foo":1}])")),
         {},
         "Xray: группа серверов: параметр foo не поддерживается"},
        {"group_ignored_keys",
         ir_with_outbounds(Json::parse(R"([{"type":"direct","tag":"a"},
             {"type":"urltest","tag":"u","outbounds":["a"],"tolerance":50,"idle_timeout":"30m",
              "interrupt_exist_connections":true}])")),
         {"a~", "direct~", "block~", "vemla-dns"},
         ""},
        {"outbound_message_passes_through",
         ir_with_outbounds(
             Json::parse(R"([{"type":"hysteria2","tag":"h","server":"s","server_port":1}])")),
         {},
         "Xray-only: протокол hysteria2 не поддерживается этим компилятором"},
        {"outbounds_missing",
         make_ir(R"({"route":{"final":"direct"}})"),
         {},
         "Xray: outbounds должен быть списком"},
        {"outbounds_object",
         ir_with_outbounds(Json::object()),
         {},
         "Xray: outbounds должен быть списком"},
    };
    for (const Case& c : cases) {
        const auto document = compile(c.ir);
        if (c.error.empty()) {
            ASSERT_TRUE(document.has_value()) << c.name << ": " << document.error();
            EXPECT_EQ(tags_of((*document)["outbounds"], "tag"), c.outbounds) << c.name;
        } else {
            ASSERT_FALSE(document.has_value()) << c.name;
            EXPECT_EQ(document.error(), c.error) << c.name;
        }
    }
}

TEST(CompileDocument, TopLevelModeAndSettingsAreCheckedFirst) {
    const Json rules = Json::object();
    const Json ir = make_ir(R"({"outbounds":[],"route":{"final":"direct"}})");
    const auto extracted = extract_compile_settings(ir, rules);
    ASSERT_TRUE(extracted.has_value()) << extracted.error();
    const CompileSettings settings = *extracted;

    EXPECT_TRUE(refused_with(compile_xray_document(Json::array(), settings),
                             "Xray: конфигурация должен быть объектом"));
    Json unknown = ir;
    unknown["endpoints"] = Json::array();
    unknown["certificate"] = Json::object();
    EXPECT_TRUE(refused_with(compile_xray_document(unknown, settings),
                             "Xray: конфигурация: параметр certificate не поддерживается"));

    CompileSettings bad_mode = settings;
    bad_mode.mode = "Rule";
    bad_mode.api_port = 0;  // the mode is checked before the settings
    EXPECT_TRUE(refused_with(compile_xray_document(ir, bad_mode),
                             "Xray: режим должен быть rule, global или direct"));

    CompileSettings bad_ports = settings;
    bad_ports.api_port = bad_ports.mixed_port;
    Json no_outbounds = ir;
    no_outbounds.erase("outbounds");  // the settings are checked before the outbounds
    EXPECT_TRUE(refused_with(compile_xray_document(no_outbounds, bad_ports),
                             "Xray: локальные порты должны быть ненулевыми и разными"));

    CompileSettings no_sources = settings;
    no_sources.rule_sources = nullptr;
    EXPECT_TRUE(refused_with(compile_xray_document(ir, no_sources),
                             "Xray: rule_sources должен быть объектом"));
    const Json array_sources = Json::array();
    no_sources.rule_sources = &array_sources;
    EXPECT_TRUE(refused_with(compile_xray_document(ir, no_sources),
                             "Xray: rule_sources должен быть объектом"));

    for (const char* mode : {"rule", "global", "direct"}) {
        CompileSettings ok = settings;
        ok.mode = mode;
        EXPECT_TRUE(compile_xray_document(ir, ok).has_value()) << mode;
    }
}

// Each case has a fault in two steps; the earlier step's message is the one returned.
TEST(CompileDocument, FirstFailureFollowsTheOrderOfTheSteps) {
    struct Case {
        const char* name;
        const char* members;
        const char* error;
    };
    const Case cases[] = {
        {"outbounds_before_groups",
         R"({"outbounds":[{"type":"urltest","tag":"A","outbounds":["A"]},
                          {"type":"tuic","tag":"t","server":"h","server_port":1}]})",
         "Xray-only: протокол tuic не поддерживается этим компилятором"},
        {"groups_before_inbounds",
         R"({"outbounds":[{"type":"urltest","tag":"A","outbounds":["A"]}],
             "inbounds":[{"type":"socks","tag":"s","listen":"0.0.0.0","listen_port":1}]})",
         "Xray: циклическая группа серверов"},
        {"inbounds_before_dns",
         R"({"outbounds":[],"inbounds":[{"type":"socks","tag":"s","listen":"0.0.0.0","listen_port":1}],
             "dns":{"servers":[{"type":"quic","server":"h"}]}})",
         "Xray: дополнительные входы должны слушать loopback"},
        {"dns_before_rule_sets",
         R"({"outbounds":[],"dns":{"servers":[{"type":"quic","server":"h"}]},
             "route":{"rule_set":[{"type":"inline"}]}})",
         "Xray: DNS quic не поддерживается"},
        {"dns_routes_before_rule_sets",
         R"({"outbounds":[],"dns":{"servers":[{"type":"udp","server":"h","detour":"gone"}]},
             "route":{"rule_set":[{"type":"inline"}]}})",
         "Xray: правило ссылается на отсутствующий выход gone"},
        {"rule_sets_before_rules",
         R"({"outbounds":[],"route":{"rule_set":[{"type":"inline"}],"rules":[{"action":"resolve"}]}})",
         "Xray: не задан tag"},
        {"rules_in_order",
         R"({"outbounds":[],"route":{"rules":[{"outbound":"gone"},{"action":"resolve"}]}})",
         "Xray: правило ссылается на отсутствующий выход gone"},
        {"rules_before_final",
         R"({"outbounds":[],"route":{"rules":[{"action":"resolve"}],"final":"gone"}})",
         "Xray: действие маршрута resolve не поддерживается"},
    };
    for (const Case& c : cases) {
        const auto document = compile(make_ir(c.members));
        ASSERT_FALSE(document.has_value()) << c.name;
        EXPECT_EQ(document.error(), c.error) << c.name;
    }
}

TEST(CompileDocument, FinalRuleTarget) {
    struct Case {
        const char* route;
        const char* expected_member;  // of the final rule, or nullptr for the error
        const char* error;
    };
    const Case cases[] = {
        {R"({"final":"proxy"})", R"({"outboundTag":"proxy~"})", nullptr},
        {R"({"final":7})", R"({"outboundTag":"proxy~"})", nullptr},
        {R"({})", R"({"outboundTag":"proxy~"})", nullptr},
        {R"({"final":"group"})", R"({"balancerTag":"group"})", nullptr},
        {R"({"final":"block"})", R"({"outboundTag":"block~"})", nullptr},
        {R"({"final":"vemla-dns"})", R"({"outboundTag":"vemla-dns"})", nullptr},
        {R"({"final":"nowhere"})", nullptr,
         "Xray: правило ссылается на отсутствующий выход nowhere"},
    };
    for (const Case& c : cases) {
        Json ir = make_ir(R"({"outbounds":[
            {"type":"trojan","tag":"proxy","server":"h","server_port":1,"password":"x"},
            {"type":"selector","tag":"group","outbounds":["proxy"]}]})");
        ir["route"] = Json::parse(c.route);
        const auto document = compile(ir);
        if (c.expected_member == nullptr) {
            ASSERT_FALSE(document.has_value()) << c.route;
            EXPECT_EQ(document.error(), c.error);
            continue;
        }
        ASSERT_TRUE(document.has_value()) << c.route << ": " << document.error();
        Json expected =
            Json::parse(R"({"type":"field","network":"tcp,udp","ruleTag":"vemla-final"})");
        expected.update(Json::parse(c.expected_member));
        EXPECT_EQ((*document)["routing"]["rules"].back(), expected) << c.route;
    }
}

// Only the API inbound reaches the engine's API; nothing the configuration names may target it,
// and a DNS server's queries may not be handed back to the DNS handler.
TEST(CompileDocument, ConfigurationCannotTargetTheEngineHandlers) {
    struct Case {
        const char* name;
        const char* members;
        const char* error;  // nullptr: compiles
    };
    const Case cases[] = {
        {"final_to_api", R"({"route":{"final":"vemla-api"}})",
         "Xray: правило ссылается на отсутствующий выход vemla-api"},
        {"route_rule_to_api",
         R"({"route":{"final":"direct","rules":[{"inbound":"mixed-in","outbound":"vemla-api"}]}})",
         "Xray: правило ссылается на отсутствующий выход vemla-api"},
        {"rule_set_rule_to_api",
         R"({"route":{"final":"direct","rules":[{"rule_set":"s","outbound":"vemla-api"}],
             "rule_set":[{"type":"inline","tag":"s","rules":[{"domain":"a"},{"port":1}]}]}})",
         "Xray: правило ссылается на отсутствующий выход vemla-api"},
        {"dns_detour_to_api",
         R"({"route":{"final":"direct"},
             "dns":{"servers":[{"type":"udp","server":"1.1.1.1","detour":"vemla-api"}]}})",
         "Xray: правило ссылается на отсутствующий выход vemla-api"},
        {"dns_detour_to_dns_handler",
         R"({"route":{"final":"direct"},
             "dns":{"servers":[{"type":"udp","server":"1.1.1.1","detour":"vemla-dns"}]}})",
         "Xray: правило ссылается на отсутствующий выход vemla-dns"},
        {"rule_matching_nothing_routes_nothing",
         R"({"route":{"final":"direct","rules":[{"clash_mode":"global","outbound":"vemla-api"}]}})",
         nullptr},
        {"route_rule_to_dns_handler",
         R"({"route":{"final":"direct","rules":[{"port":53,"outbound":"vemla-dns"}]}})", nullptr},
        {"hijack_dns", R"({"route":{"final":"direct","rules":[{"action":"hijack-dns"}]}})",
         nullptr},
    };
    for (const Case& c : cases) {
        Json ir = make_ir(c.members);
        ir["outbounds"] = Json::array();
        const auto document = compile(ir);
        if (c.error == nullptr) {
            ASSERT_TRUE(document.has_value()) << c.name << ": " << document.error();
            for (const Json& rule : (*document)["routing"]["rules"]) {
                if (rule["ruleTag"] != "vemla-api-only") {
                    EXPECT_NE(rule.value("outboundTag", ""), "vemla-api") << c.name;
                }
            }
        } else {
            ASSERT_FALSE(document.has_value()) << c.name;
            EXPECT_EQ(document.error(), c.error) << c.name;
        }
    }
}

// Messages that quote the request quote at most 256 bytes of it, so that no refusal grows with
// the request.
TEST(CompileDocument, MessagesQuoteABoundedPartOfTheRequest) {
    const std::string huge(1 << 20, 'x');
    const std::string quoted = std::string(256, 'x') + "\u2026";
    struct Case {
        const char* name;
        Json ir;
        std::string error;
    };
    auto with_route = [](Json route) {
        Json ir = make_ir(R"({"outbounds":[]})");
        ir["route"] = std::move(route);
        return ir;
    };
    const Case cases[] = {
        {"configuration_key",
         [&] {
             Json ir = make_ir(R"({"outbounds":[]})");
             ir[huge] = 1;
             return ir;
         }(),
         "Xray: конфигурация: параметр " + quoted + " не поддерживается"},
        {"rule_target", with_route(Json{{"rules", {{{"outbound", huge}}}}}),
         "Xray: правило ссылается на отсутствующий выход " + quoted},
        {"final_target", with_route(Json{{"final", huge}}),
         "Xray: правило ссылается на отсутствующий выход " + quoted},
        {"action", with_route(Json{{"rules", {{{"action", huge}}}}}),
         "Xray: действие маршрута " + quoted + " не поддерживается"},
        {"rule_key", with_route(Json{{"rules", {{{huge, 1}, {"outbound", "direct"}}}}}),
         "Xray: правило: параметр " + quoted + " не поддерживается"},
        {"rule_set_tag",
         with_route(Json{{"rules", {{{"rule_set", huge}, {"outbound", "direct"}}}}}),
         "Xray: набор " + quoted +
             " не подготовлен в source JSON; SRS не запускается как VPN-ядро"},
    };
    for (const Case& c : cases) {
        const auto document = compile(c.ir);
        ASSERT_FALSE(document.has_value()) << c.name;
        EXPECT_EQ(document.error(), c.error) << c.name;
    }
}

TEST(CompileDocument, DnsRouteToUnknownDetourFails) {
    const auto document = compile(make_ir(R"({"outbounds":[],"route":{"final":"direct"},
        "dns":{"servers":[{"type":"udp","server":"1.1.1.1","detour":"gone"}]}})"));
    ASSERT_FALSE(document.has_value());
    EXPECT_EQ(document.error(), "Xray: правило ссылается на отсутствующий выход gone");
}

TEST(CompileDocument, InlineRuleSetsReplaceRulesMapDocuments) {
    const Json rules = Json::parse(R"({
        "corp":{"version":3,"rules":[{"domain":"from-map.example"}]},
        "ads":{"version":3,"rules":[{"domain":"ads.example"}]}})");
    Json ir = make_ir(R"({"outbounds":[],"route":{"final":"direct",
        "rules":[{"rule_set":["corp","ads"],"outbound":"block"}],
        "rule_set":[{"type":"inline","tag":"corp","rules":[{"domain_suffix":"inline.example"}]},
                    {"type":"local","tag":"ads","format":"source","path":"x.json"}]}})");
    const auto document = compile(ir, rules);
    ASSERT_TRUE(document.has_value()) << document.error();
    const Json& routing_rules = (*document)["routing"]["rules"];
    ASSERT_EQ(routing_rules.size(), 4u);
    EXPECT_EQ(routing_rules[1], Json::parse(R"({"type":"field","ruleTag":"vemla-rule-0-0",
        "domain":["domain:inline.example"],"outboundTag":"block~"})"));
    EXPECT_EQ(routing_rules[2]["domain"], Json::parse(R"(["full:ads.example"])"));

    // An inline set only in the configuration, and one without a tag.
    ir["route"]["rule_set"] = Json::parse(R"([{"type":"inline","tag":"only-inline","rules":[]}])");
    ir["route"]["rules"] = Json::parse(R"([{"rule_set":"only-inline","outbound":"block"}])");
    const auto empty_set = compile(ir, rules);
    ASSERT_TRUE(empty_set.has_value()) << empty_set.error();
    EXPECT_EQ((*empty_set)["routing"]["rules"].size(), 2u) << "an empty set matches nothing";

    ir["route"]["rule_set"] = Json::parse(R"([{"type":"inline","rules":[]}])");
    EXPECT_TRUE(refused_with(compile(ir, rules), "Xray: не задан tag"));
    ir["route"]["rule_set"] = Json::parse(R"([{"type":"inline","tag":"","rules":[]}])");
    EXPECT_TRUE(refused_with(compile(ir, rules), "Xray: не задан tag"));

    // A set that is neither in the rules map nor inline cannot be expanded.
    ir["route"]["rule_set"] = Json::parse(R"([{"type":"remote","tag":"remote-set"}])");
    ir["route"]["rules"] = Json::parse(R"([{"rule_set":"remote-set","outbound":"block"}])");
    EXPECT_EQ(compile(ir, rules).error(),
              "Xray: набор remote-set не подготовлен в source JSON; SRS не запускается как "
              "VPN-ядро");
}

TEST(CompileDocument, ObservatoryTakesTheLastUrlInTagOrder) {
    const Json ir = make_ir(R"({"outbounds":[
        {"type":"trojan","tag":"x","server":"h","server_port":1,"password":"p"},
        {"type":"trojan","tag":"y","server":"h","server_port":2,"password":"p"},
        {"type":"urltest","tag":"b","outbounds":["y","x"],"url":"https://b.example/204"},
        {"type":"urltest","tag":"a","outbounds":["x"],"url":"http://a.example/204","interval":"1m"}],
        "route":{"final":"a"}})");
    const auto document = compile(ir);
    ASSERT_TRUE(document.has_value()) << document.error();
    EXPECT_EQ((*document)["observatory"], Json::parse(R"({"subjectSelector":["x~","y~"],
        "probeURL":"https://b.example/204","probeInterval":"1m","enableConcurrency":true})"));
}

// A rule source of `count` rules, each matching its own domain.
Json many_rules_source(std::size_t count) {
    Json rules = Json::array();
    for (std::size_t i = 0; i < count; ++i) {
        rules.push_back(Json{{"domain", "d" + std::to_string(i) + ".example"}});
    }
    return Json{{"version", 3}, {"rules", std::move(rules)}};
}

TEST(CompileDocument, FiftyThousandRoutingRulesCompileAndOneMoreFails) {
    // The API rule is one of the 50000; the set supplies the rest.
    const Json ir = make_ir(R"({"outbounds":[],"route":{"final":"direct",
        "rules":[{"rule_set":"big","outbound":"direct"},{"outbound":"missing"}]}})");
    Json exact_ir = ir;
    exact_ir["route"]["rules"].erase(1);
    const Json exact = Json{{"big", many_rules_source(49999)}};
    const auto document = compile(exact_ir, exact);
    ASSERT_TRUE(document.has_value()) << document.error();
    const Json& rules = (*document)["routing"]["rules"];
    ASSERT_EQ(rules.size(), 50001u) << "50000 and the final rule";
    EXPECT_EQ(rules[50000 - 1]["ruleTag"], "vemla-rule-0-49998");

    // One more fails right after the rule that crossed the limit, before the next rule.
    const Json over = Json{{"big", many_rules_source(50000)}};
    const auto refused = compile(ir, over);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "Xray: скомпилировано больше 50000 правил");

    // With a DNS route the built-in rules take one more place.
    Json with_dns = exact_ir;
    with_dns["dns"] = Json::parse(R"({"servers":[{"type":"udp","server":"1.1.1.1"}]})");
    EXPECT_TRUE(refused_with(compile(with_dns, exact), "Xray: скомпилировано больше 50000 правил"));
}

TEST(CompileDocument, IdenticalInputGivesIdenticalBytes) {
    const Json rules =
        Json::parse(R"({"s":{"version":3,"rules":[{"domain":["a","b"]},{"ip_cidr":"1.1.1.1"}]}})");
    const Json ir = make_ir(R"({"outbounds":[
        {"type":"trojan","tag":"z","server":"h","server_port":1,"password":"p"},
        {"type":"trojan","tag":"y","server":"h","server_port":2,"password":"p"},
        {"type":"urltest","tag":"u2","outbounds":["z","y"]},
        {"type":"urltest","tag":"u1","outbounds":["y"]},
        {"type":"selector","tag":"s0","outbounds":["u2","u1"]}],
        "route":{"final":"s0","rules":[{"rule_set":"s","port":443,"outbound":"u1"}]}})");
    const auto first = compile(ir, rules);
    ASSERT_TRUE(first.has_value()) << first.error();
    const std::string bytes = to_compact_json(*first);
    for (int i = 0; i < 5; ++i) {
        const auto again = compile(ir, rules);
        ASSERT_TRUE(again.has_value()) << again.error();
        EXPECT_EQ(to_compact_json(*again), bytes);
    }
}

// Hostile requests end in their message, without running away in time or memory.
TEST(CompileDocumentHostile, EndsInItsMessage) {
    struct Case {
        std::string name;
        Json ir_members;
        Json rules;
        std::string error;  // empty: compiles
    };
    // "and" of 20 rules that each split into a domain and an IP alternative: 2^20 objects.
    Json and_rules = Json::array();
    for (int i = 0; i < 20; ++i) {
        and_rules.push_back(Json{{"domain", "a.example"}, {"ip_cidr", "10.0.0.0/8"}});
    }
    Json many_domains = Json::array();
    for (int i = 0; i < 100000; ++i) {
        many_domains.push_back("host" + std::to_string(i) + ".example");
    }
    const Json set_of_big_rule =
        Json{{"version", 3}, {"rules", Json::array({Json{{"domain_suffix", many_domains}}})}};
    Json many_references = Json::array();
    for (int i = 0; i < 50000; ++i) {
        many_references.push_back("big");
    }
    const Case cases[] = {
        {"rule_set_cycle_through_others",
         Json::parse(R"({"route":{"rules":[{"rule_set":"a","outbound":"direct"}]}})"),
         Json::parse(R"({"a":{"version":3,"rules":[{"rule_set":"b"}]},
                         "b":{"version":3,"rules":[{"domain":"x","rule_set":["c"]}]},
                         "c":{"version":3,"rules":[{"type":"logical","mode":"or","rules":[{"rule_set":"a"}]}]}})"),
         "Xray: циклический rule_set"},
        {"rule_set_names_itself",
         Json::parse(R"({"route":{"rules":[{"rule_set":"a","outbound":"direct"}]}})"),
         Json::parse(R"({"a":{"version":3,"rules":[{"rule_set":"a"}]}})"),
         "Xray: циклический rule_set"},
        {"group_cycle", Json::parse(R"({"outbounds":[{"type":"urltest","tag":"A","outbounds":["B"]},
                                      {"type":"urltest","tag":"B","outbounds":["A"]}]})"),
         Json::object(), "Xray: циклическая группа серверов"},
        {"and_product_explodes",
         Json{{"route",
               {{"rules", Json::array({Json{{"type", "logical"},
                                            {"mode", "and"},
                                            {"rules", and_rules},
                                            {"outbound", "direct"}}})}}}},
         Json::object(), "Xray: слишком сложное логическое правило"},
        {"set_of_100000_rules",
         Json::parse(R"({"route":{"rules":[{"rule_set":"big","outbound":"direct"}]}})"),
         Json{{"big", many_rules_source(100000)}}, "Xray: слишком много правил набора"},
        {"rule_of_100000_domains",
         Json{{"route",
               {{"rules", Json::array({Json{{"domain", many_domains}, {"outbound", "direct"}}})}}}},
         Json::object(), ""},
        {"big_rule_named_50000_times",
         Json{{"route",
               {{"rules",
                 Json::array({Json{{"rule_set", many_references}, {"outbound", "direct"}}})}}}},
         Json{{"big", set_of_big_rule}}, "Xray: слишком много правил"},
    };
    for (const Case& c : cases) {
        Json ir = make_ir(R"({"outbounds":[{"type":"direct","tag":"direct"}]})");
        for (const auto& [key, value] : c.ir_members.items()) {
            if (key == "outbounds") {
                for (const Json& outbound : value) {
                    ir["outbounds"].push_back(outbound);
                }
            } else {
                ir[key] = value;
            }
        }
        ir["route"]["final"] = "direct";
        const auto document = compile(ir, c.rules);
        if (c.error.empty()) {
            EXPECT_TRUE(document.has_value()) << c.name << ": " << document.error();
        } else {
            ASSERT_FALSE(document.has_value()) << c.name;
            EXPECT_EQ(document.error(), c.error) << c.name;
        }
    }
}

}  // namespace
}  // namespace vemla::xray_native
