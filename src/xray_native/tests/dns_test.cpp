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
    {"udp_disable_cache_copied_whatever_its_type",
     R"({"servers":[{"type":"udp","server":"8.8.8.8","server_port":53,"disable_cache":"x"}]})",
     "rule",
     "[" SERVER(R"("8.8.8.8")", 0, R"(,"port":53,"disableCache":"x")") "]",
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
    {"unselected_servers_address_and_port_are_not_checked",
     R"({"servers":[{"type":"udp","tag":"a","server":"localhost","server_port":0},
         {"type":"https","tag":"b","server":"1.1.1.1","path":"q","server_port":0},
         {"type":"tcp","tag":"c","server":"9.9.9.9"}],"final":"c"})",
     "rule",
     "[" SERVER(R"("tcp://9.9.9.9")", 2, "") "]",
     {{"vemla-dns-query-2", "direct"}},
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
    {"unsupported_type_before_its_address",
     R"({"servers":[{"type":"quic","server":"quic+local://x"}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS quic не поддерживается"},
    {"address_named_by_its_position_among_all_servers",
     R"({"servers":[{"type":"udp","tag":"a","server":"1.1.1.1"},{"type":"local","tag":"b"},
         {"type":"tcp","tag":"c","server":"a@b"}],"final":"c"})",
     "rule",
     nullptr,
     {},
     "Xray: DNS-сервер 2: server должен быть IP-адресом или именем хоста"},
    {"address_before_port",
     R"({"servers":[{"type":"udp","server":"localhost","server_port":0}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS-сервер 0: server должен быть IP-адресом или именем хоста"},
    {"https_address_before_port_and_path",
     R"({"servers":[{"type":"local"},{"type":"https","server":"fakedns","server_port":0,"path":"q"}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS-сервер 1: server должен быть IP-адресом или именем хоста"},
    {"https_port_before_path",
     R"({"servers":[{"type":"https","server":"1.1.1.1","server_port":0,"path":"q"}]})",
     "rule",
     nullptr,
     {},
     "Xray: server_port должен быть 1..65535"},
    {"https_path_named_by_its_position",
     R"({"servers":[{"type":"local"},{"type":"local"},{"type":"https","server":"1.1.1.1","path":"q"}]})",
     "rule",
     nullptr,
     {},
     "Xray: DNS-сервер 2: path должен начинаться с /"},
};
INSTANTIATE_TEST_SUITE_P(Refusals, TranslateDns, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<DnsCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

// One server of `type` with the given members, at position 2 of the list: the two before it are
// not selected, and their addresses would be refused if they were looked at.
Result<DnsTranslation> translate_one(const std::string& type, Json members) {
    members["type"] = type;
    members["tag"] = "chosen";
    Json section = Json::parse(R"({"servers":[{"type":"udp","tag":"a","server":"localhost"},
        {"type":"local","tag":"b"}],"final":"chosen"})");
    section["servers"].push_back(std::move(members));
    return translate_dns(Json{{"dns", std::move(section)}}, "rule");
}

// The one server kept at position 2, or nullptr once the failure to keep it is reported. Rows are
// checked through it so that one failing row does not hide the others.
const Json* kept_server(const Result<DnsTranslation>& result) {
    if (!result.has_value()) {
        ADD_FAILURE() << result.error();
        return nullptr;
    }
    const Json& servers = result->dns["servers"];
    if (servers.size() != 1 || servers[0].value("tag", "") != "vemla-dns-query-2") {
        ADD_FAILURE() << to_compact_json(servers);
        return nullptr;
    }
    return &servers[0];
}

void expect_refused(const Result<DnsTranslation>& result, std::string_view error) {
    ASSERT_FALSE(result.has_value()) << to_compact_json(result->dns);
    EXPECT_EQ(result.error(), error);
}

const char* const kNotHost = "Xray: DNS-сервер 2: server должен быть IP-адресом или именем хоста";
const char* const kBadPort = "Xray: server_port должен быть 1..65535";

// The address the engine gets for `host`, by type.
struct AcceptedHost {
    const char* name;
    std::string host;
    std::string udp;
    std::string tcp;
    std::string https;
};

const std::string kLabel63(63, 'a');
// 63 + 1 + 63 + 1 + 63 + 1 + 61 = 253 bytes.
const std::string kName253 =
    kLabel63 + "." + std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(61, 'd');

TEST(TranslateDnsAddress, AcceptsIpLiteralsAndHostNamesForEveryType) {
    const AcceptedHost cases[] = {
        {"ipv4", "1.1.1.1", "1.1.1.1", "tcp://1.1.1.1", "https://1.1.1.1:443/dns-query"},
        {"ipv6", "2606:4700::1111", "2606:4700::1111", "tcp://2606:4700::1111",
         "https://[2606:4700::1111]:443/dns-query"},
        {"ipv6_with_dotted_tail", "::ffff:1.2.3.4", "::ffff:1.2.3.4", "tcp://::ffff:1.2.3.4",
         "https://[::ffff:1.2.3.4]:443/dns-query"},
        {"name", "dns.google", "dns.google", "tcp://dns.google",
         "https://dns.google:443/dns-query"},
        {"inner_hyphen", "a-b.example", "a-b.example", "tcp://a-b.example",
         "https://a-b.example:443/dns-query"},
        {"case_kept", "DNS.Google", "DNS.Google", "tcp://DNS.Google",
         "https://DNS.Google:443/dns-query"},
        {"single_label", "resolver", "resolver", "tcp://resolver",
         "https://resolver:443/dns-query"},
        {"digits_beside_letters", "1dot1.8.8", "1dot1.8.8", "tcp://1dot1.8.8",
         "https://1dot1.8.8:443/dns-query"},
        {"reserved_word_as_a_label", "localhost.fakedns.example", "localhost.fakedns.example",
         "tcp://localhost.fakedns.example", "https://localhost.fakedns.example:443/dns-query"},
        {"label_of_63_bytes", kLabel63 + ".example", kLabel63 + ".example",
         "tcp://" + kLabel63 + ".example", "https://" + kLabel63 + ".example:443/dns-query"},
        {"name_of_253_bytes", kName253, kName253, "tcp://" + kName253,
         "https://" + kName253 + ":443/dns-query"},
    };
    for (const AcceptedHost& c : cases) {
        for (const auto& [type, address] :
             {std::pair{"udp", c.udp}, std::pair{"tcp", c.tcp}, std::pair{"https", c.https}}) {
            SCOPED_TRACE(std::string(c.name) + " as " + type);
            const auto result = translate_one(type, Json{{"server", c.host}});
            if (const Json* server = kept_server(result)) {
                EXPECT_EQ((*server)["address"], address);
            }
        }
    }
}

// Texts the engine would read as another resolver, a scheme, a path, user information, a port
// or a zone, and names that are not names: none reaches the document.
TEST(TranslateDnsAddress, RefusesEverythingElseForEveryType) {
    struct Case {
        const char* name;
        std::string host;
    };
    const Case cases[] = {
        {"https_local_scheme", "https+local://1.1.1.1/dns-query"},
        {"tcp_local_scheme", "tcp+local://1.1.1.1"},
        {"quic_local_scheme", "quic+local://x"},
        {"tcp_scheme", "tcp://1.1.1.1"},
        {"localhost", "localhost"},
        {"localhost_any_case", "LocalHost"},
        {"fakedns", "fakedns"},
        {"fakedns_any_case", "FakeDNS"},
        {"path", "1.1.1.1/x"},
        {"port", "1.1.1.1:53"},
        {"user_information", "a@b"},
        {"query", "dns.google?x"},
        {"fragment", "dns.google#x"},
        {"empty_inner_label", "a..b"},
        {"leading_dot", ".a.b"},
        {"trailing_dot", "a.b."},
        {"lone_dot", "."},
        {"leading_hyphen", "-a.b"},
        {"trailing_hyphen", "a-.b"},
        {"underscore", "a_b.example"},
        {"space", "dns google"},
        {"leading_space", " 1.1.1.1"},
        {"line_feed", "dns.google\n"},
        {"non_ascii", "\xd0\xb4\xd0\xbd\xd1\x81.example"},
        {"three_numbers", "1.1.1"},
        {"octet_too_large", "999.1.1.1"},
        {"leading_zero_octet", "01.1.1.1"},
        {"five_numbers", "1.1.1.1.1"},
        {"one_number", "16843009"},
        {"bracketed_ipv6", "[::1]"},
        {"ipv6_zone", "fe80::1%eth0"},
        {"bad_ipv6", "1::2::3"},
        {"label_of_64_bytes", std::string(64, 'a') + ".example"},
        {"name_of_254_bytes", kName253 + "d"},
    };
    for (const Case& c : cases) {
        for (const char* type : {"udp", "tcp", "https"}) {
            SCOPED_TRACE(std::string(c.name) + " as " + type);
            expect_refused(translate_one(type, Json{{"server", c.host}}), kNotHost);
        }
    }
}

TEST(TranslateDnsPort, UdpAndTcpCopyOnlyAPort) {
    struct Case {
        const char* name;
        const char* port;  // JSON text
        bool accepted;
    };
    const Case cases[] = {
        {"lowest", "1", true},       {"highest", "65535", true},    {"usual", "53", true},
        {"zero", "0", false},        {"too_large", "65536", false}, {"text", R"("53")", false},
        {"floating", "53.0", false}, {"negative", "-53", false},    {"null", "null", false},
        {"boolean", "true", false},
    };
    for (const Case& c : cases) {
        for (const char* type : {"udp", "tcp"}) {
            SCOPED_TRACE(std::string(c.name) + " as " + type);
            const Json port = Json::parse(c.port);
            const auto result =
                translate_one(type, Json{{"server", "8.8.8.8"}, {"server_port", port}});
            if (!c.accepted) {
                expect_refused(result, kBadPort);
            } else if (const Json* server = kept_server(result)) {
                EXPECT_EQ(server->value("port", Json()), port);
            }
        }
    }
}

// An integer port goes into the URL and so must be a port; anything else leaves the default.
TEST(TranslateDnsPort, HttpsTakesAnIntegerPortOrTheDefault) {
    struct Case {
        const char* name;
        const char* port;     // JSON text
        const char* address;  // nullptr: refused
    };
    const Case cases[] = {
        {"lowest", "1", "https://1.1.1.1:1/dns-query"},
        {"highest", "65535", "https://1.1.1.1:65535/dns-query"},
        {"zero", "0", nullptr},
        {"too_large", "65536", nullptr},
        {"far_too_large", "70000", nullptr},
        {"text_leaves_the_default", R"("8443")", "https://1.1.1.1:443/dns-query"},
        {"floating_leaves_the_default", "8443.0", "https://1.1.1.1:443/dns-query"},
        {"negative_leaves_the_default", "-1", "https://1.1.1.1:443/dns-query"},
        {"null_leaves_the_default", "null", "https://1.1.1.1:443/dns-query"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result = translate_one(
            "https", Json{{"server", "1.1.1.1"}, {"server_port", Json::parse(c.port)}});
        if (c.address == nullptr) {
            expect_refused(result, kBadPort);
        } else if (const Json* server = kept_server(result)) {
            EXPECT_EQ((*server)["address"], c.address);
            EXPECT_FALSE(server->contains("port"));
        }
    }
}

TEST(TranslateDnsPath, HttpsPathMustBeAbsoluteWhenGiven) {
    struct Case {
        const char* name;
        const char* path;     // JSON text
        const char* address;  // nullptr: refused
    };
    const Case cases[] = {
        {"absolute", R"("/resolve")", "https://dns.google:443/resolve"},
        {"root", R"("/")", "https://dns.google:443/"},
        {"empty_leaves_the_default", R"("")", "https://dns.google:443/dns-query"},
        {"not_text_leaves_the_default", "5", "https://dns.google:443/dns-query"},
        {"relative", R"("dns-query")", nullptr},
        {"another_host", R"("@evil.example/dns-query")", nullptr},
        {"port", R"(":8443/dns-query")", nullptr},
        {"leading_space", R"(" /dns-query")", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto result =
            translate_one("https", Json{{"server", "dns.google"}, {"path", Json::parse(c.path)}});
        if (c.address == nullptr) {
            expect_refused(result, "Xray: DNS-сервер 2: path должен начинаться с /");
        } else if (const Json* server = kept_server(result)) {
            EXPECT_EQ((*server)["address"], c.address);
        }
    }
}

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
