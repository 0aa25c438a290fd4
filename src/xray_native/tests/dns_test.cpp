#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "xray_native/dns.h"

namespace vemla::xray_native {
namespace {

using Routes = std::vector<std::pair<std::string, std::string>>;

struct DnsCase {
    const char* name;
    const char* dns;  // the IR's dns member, or nullptr for an IR without one
    const char* mode;
    const char* servers;  // the expected dns.servers, or nullptr when `error` is expected
    Routes routes;
    const char* error;
};

class TranslateDns : public testing::TestWithParam<DnsCase> {};

TEST_P(TranslateDns, SelectsAndTranslatesServers) {
    const DnsCase& c = GetParam();
    Json ir = Json::object();
    if (c.dns != nullptr) {
        ir["dns"] = Json::parse(c.dns);
    }
    const auto result = translate_dns(ir, c.mode);
    if (c.servers == nullptr) {
        ASSERT_FALSE(result.has_value()) << to_compact_json(result->dns);
        EXPECT_EQ(result.error(), c.error);
        return;
    }
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->dns["servers"], Json::parse(c.servers));
    Routes routes;
    for (const DnsRoute& route : result->routes) {
        routes.emplace_back(route.inbound_tag, route.target);
    }
    EXPECT_EQ(routes, c.routes);
}

// The fields every upstream server object carries besides its address and tag.
#define SERVER(address, n, extra)                                                      \
    R"({"address":)" address R"(,"tag":"vemla-dns-query-)" #n R"(","timeoutMs":5000,)" \
    R"("expectedIPs":["*"],"queryStrategy":"UseIP")" extra "}"

const DnsCase kServers[] = {
    {"no_dns_section", nullptr, "rule", R"(["localhost"])", {}, nullptr},
    {"udp_with_port",
     R"({"servers":[{"type":"udp","tag":"u","server":"8.8.8.8","server_port":5353}]})",
     "rule",
     "[" SERVER(R"("8.8.8.8")", 0, R"(,"port":5353)") "]",
     {{"vemla-dns-query-0", "direct"}},
     nullptr},
    {"udp_port_copied_whatever_its_type",
     R"({"servers":[{"type":"udp","server":"8.8.8.8","server_port":"53","disable_cache":"x"}]})",
     "rule",
     "[" SERVER(R"("8.8.8.8")", 0, R"(,"port":"53","disableCache":"x")") "]",
     {{"vemla-dns-query-0", "direct"}},
     nullptr},
    {"tcp",
     R"({"servers":[{"type":"tcp","server":"1.1.1.1","detour":"proxy","disable_cache":true}]})",
     "rule",
     "[" SERVER(R"("tcp://1.1.1.1")", 0, R"(,"disableCache":true)") "]",
     {{"vemla-dns-query-0", "proxy"}},
     nullptr},
    {"https_ipv6_defaults",
     R"({"servers":[{"type":"https","server":"2001:db8::1"}]})",
     "rule",
     "[" SERVER(R"("https://[2001:db8::1]:443/dns-query")", 0, "") "]",
     {{"vemla-dns-query-0", "direct"}},
     nullptr},
    {"https_port_and_path_never_port_member",
     R"({"servers":[{"type":"https","server":"dns.example","server_port":8443,"path":"/q","detour":"proxy"}]})",
     "rule",
     "[" SERVER(R"("https://dns.example:8443/q")", 0, "") "]",
     {{"vemla-dns-query-0", "proxy"}},
     nullptr},
    {"https_odd_port_and_empty_path",
     R"({"servers":[{"type":"https","server":"1.1.1.1","server_port":"8443","path":""}]})",
     "rule",
     "[" SERVER(R"("https://1.1.1.1:443/dns-query")", 0, "") "]",
     {{"vemla-dns-query-0", "direct"}},
     nullptr},
    {"direct_mode_overrides_detour",
     R"({"servers":[{"type":"udp","server":"8.8.8.8","detour":"proxy"}]})",
     "direct",
     "[" SERVER(R"("8.8.8.8")", 0, "") "]",
     {{"vemla-dns-query-0", "direct"}},
     nullptr},
    {"non_string_detour",
     R"({"servers":[{"type":"udp","server":"8.8.8.8","detour":5}]})",
     "global",
     "[" SERVER(R"("8.8.8.8")", 0, "") "]",
     {{"vemla-dns-query-0", "direct"}},
     nullptr},
    {"local_is_a_bare_string_without_route",
     R"({"servers":[{"type":"local","tag":"l"},{"type":"udp","server":"9.9.9.9"}],"disable_cache":true})",
     "rule",
     R"(["localhost",)" SERVER(R"("9.9.9.9")", 1, "") "]",
     {{"vemla-dns-query-1", "direct"}},
     nullptr},
    {"final_keeps_one_server_with_its_position",
     R"({"servers":[{"type":"local","tag":"local"},{"type":"udp","tag":"x","server":"1.1.1.1"},
         {"type":"https","tag":"remote","server":"1.1.1.1","detour":"proxy"}],"final":"remote"})",
     "rule",
     "[" SERVER(R"("https://1.1.1.1:443/dns-query")", 2, "") "]",
     {{"vemla-dns-query-2", "proxy"}},
     nullptr},
    {"final_not_string_keeps_all",
     R"({"servers":[{"type":"local"},{"type":"udp","server":"1.1.1.1"}],"final":1})",
     "rule",
     R"(["localhost",)" SERVER(R"("1.1.1.1")", 1, "") "]",
     {{"vemla-dns-query-1", "direct"}},
     nullptr},
    {"evaluate_rules_win_over_final",
     R"({"servers":[{"type":"udp","tag":"a","server":"1.1.1.1"},{"type":"local","tag":"b"},
         {"type":"tcp","tag":"c","server":"8.8.8.8","detour":"proxy"}],
         "rules":[{"action":"evaluate","query_type":["A","AAAA"],"server":"c"},
                  {"action":"respond","query_type":["A","AAAA"],"server":"a"},
                  {"action":"evaluate","query_type":["A","AAAA"],"server":"b"}],
         "final":"a"})",
     "rule",
     R"(["localhost",)" SERVER(R"("tcp://8.8.8.8")", 2, "") "]",
     {{"vemla-dns-query-2", "proxy"}},
     nullptr},
    {"unselected_servers_are_not_checked",
     R"({"servers":[{"type":"quic","tag":"q"},{"type":"udp","tag":"r","server":"1.1.1.1"}],"final":"r"})",
     "rule",
     "[" SERVER(R"("1.1.1.1")", 1, "") "]",
     {{"vemla-dns-query-1", "direct"}},
     nullptr},
    {"direct_mode_rule_accepted",
     R"({"servers":[{"type":"local","tag":"local"}],
         "rules":[{"clash_mode":"direct","action":"route","server":"local"}],
         "timeout":"5s","strategy":"ipv4_only","independent_cache":true,"reverse_mapping":true})",
     "rule",
     R"(["localhost"])",
     {},
     nullptr},
};
INSTANTIATE_TEST_SUITE_P(Servers, TranslateDns, testing::ValuesIn(kServers),
                         [](const testing::TestParamInfo<DnsCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

const char* const kPolicy = "Xray: пользовательская DNS policy не переводится автоматически";

const DnsCase kRefusals[] = {
    {"section_not_object", R"([])", "rule", nullptr, {}, "Xray: DNS должен быть объектом"},
    {"section_unknown_key",
     R"({"servers":[],"fakeip":{}})",
     "rule",
     nullptr,
     {},
     "Xray: DNS: параметр fakeip не поддерживается"},
    {"servers_missing", R"({})", "rule", nullptr, {}, "Xray: dns.servers должен быть списком"},
    {"server_not_object",
     R"({"servers":["1.1.1.1"]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS server должен быть объектом"},
    {"server_unknown_key",
     R"({"servers":[{"type":"udp","server":"1.1.1.1","tls":{}}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS server: параметр tls не поддерживается"},
    {"server_without_type",
     R"({"servers":[{"tag":"a"}]})",
     "rule",
     nullptr,
     {},
     "Xray: не задан type"},
    {"type_checked_before_selection",
     R"({"servers":[{"type":""}],"final":"x"})",
     "rule",
     nullptr,
     {},
     "Xray: не задан type"},
    {"server_without_address",
     R"({"servers":[{"type":"udp","server":""}]})",
     "rule",
     nullptr,
     {},
     "Xray: не задан server"},
    {"quic",
     R"({"servers":[{"type":"quic","server":"dns.example"}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS quic не поддерживается"},
    {"h3",
     R"({"servers":[{"type":"h3","server":"dns.example"}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS h3 не поддерживается"},
    {"tls",
     R"({"servers":[{"type":"tls","server":"dns.example"}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS tls не поддерживается"},
    {"nothing_selected",
     R"({"servers":[{"type":"local","tag":"a"}],"final":"b"})",
     "rule",
     nullptr,
     {},
     "Xray: не осталось DNS-серверов"},
    {"empty_servers", R"({"servers":[]})", "rule", nullptr, {}, "Xray: не осталось DNS-серверов"},
    {"evaluate_reversed_query",
     R"({"servers":[{"type":"local","tag":"remote"}],
         "rules":[{"action":"evaluate","query_type":["AAAA","A"],"server":"remote"}]})",
     "rule",
     nullptr,
     {},
     kPolicy},
    {"evaluate_single_query",
     R"({"servers":[{"type":"local","tag":"remote"}],
         "rules":[{"action":"evaluate","query_type":"A","server":"remote"}]})",
     "rule",
     nullptr,
     {},
     kPolicy},
    {"direct_rule_unknown_server",
     R"({"servers":[{"type":"local","tag":"local"}],
         "rules":[{"clash_mode":"direct","action":"route","server":"other"}]})",
     "rule",
     nullptr,
     {},
     kPolicy},
    {"direct_rule_wrong_mode",
     R"({"servers":[{"type":"local","tag":"local"}],
         "rules":[{"clash_mode":"Direct","action":"route","server":"local"}]})",
     "rule",
     nullptr,
     {},
     kPolicy},
    {"reject_rule",
     R"({"servers":[{"type":"local","tag":"local"}],"rules":[{"action":"reject"}]})",
     "rule",
     nullptr,
     {},
     kPolicy},
    {"rule_set_route",
     R"({"servers":[{"type":"local","tag":"l"}],"rules":[{"rule_set":["geosite-ru"],"server":"l","action":"route"}]})",
     "rule",
     nullptr,
     {},
     kPolicy},
    {"non_object_rule",
     R"({"servers":[{"type":"local","tag":"l"}],"rules":[1]})",
     "rule",
     nullptr,
     {},
     kPolicy},
};
INSTANTIATE_TEST_SUITE_P(Refusals, TranslateDns, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<DnsCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

TEST(TranslateDnsObject, CarriesTheFixedMembersAndTheCacheSwitch) {
    const Json ir = Json::parse(R"({"dns":{"servers":[{"type":"local"}],"disable_cache":true}})");
    const auto result = translate_dns(ir, "rule");
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(result->dns, Json::parse(R"({"servers":["localhost"],"queryStrategy":"UseIP",
        "enableParallelQuery":true,"disableCache":true,"useSystemHosts":true})"));
    const auto defaults = translate_dns(Json::object(), "rule");
    ASSERT_TRUE(defaults.has_value());
    EXPECT_EQ(defaults->dns["disableCache"], false);
    const auto odd = translate_dns(
        Json::parse(R"({"dns":{"servers":[{"type":"local"}],"disable_cache":"yes"}})"), "rule");
    ASSERT_TRUE(odd.has_value());
    EXPECT_EQ(odd->dns["disableCache"], false);
}

}  // namespace
}  // namespace vemla::xray_native
