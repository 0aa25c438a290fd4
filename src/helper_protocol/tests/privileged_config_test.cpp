#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "helper_protocol/validation.h"
#include "json/result_test_support.h"
#include "test_documents.h"

namespace vemla::helper_protocol {
namespace {

using testing_support::pad_to_size;
using testing_support::valid_config;
using testing_support::valid_rules;

const std::filesystem::path kInstallDir(u8"C:\\Program Files\\VemlaHelper");
const std::filesystem::path kDataDir(u8"C:\\ProgramData\\VemlaHelper");

std::expected<Json, std::string> validate(Json config, const Json& rules) {
    return validate_privileged_config(std::move(config), rules, kInstallDir, kDataDir);
}

// A rule four logical levels below a top-level route rule, carrying `leaf` as its only member.
Json deeply_logical_rule(Json leaf) {
    Json rule = std::move(leaf);
    for (int i = 0; i < 4; ++i) {
        rule = Json{{"type", "logical"}, {"mode", "and"}, {"rules", Json::array({rule})}};
    }
    rule["outbound"] = "direct";
    return rule;
}

const char* const kPin = "47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=";

struct ConfigCase {
    const char* name;
    std::function<void(Json& config, Json& rules)> change;
    const char* error;  // nullptr: accepted
};

class PrivilegedConfig : public testing::TestWithParam<ConfigCase> {};

TEST_P(PrivilegedConfig, AcceptsOrRefusesWithTheFirstMessage) {
    Json config = valid_config();
    Json rules = valid_rules();
    GetParam().change(config, rules);
    const auto result = validate(std::move(config), rules);
    testing_support::expect_accepted_or_refused(result, GetParam().error);
}

#define CASE(name, error, ...)     \
    ConfigCase {                   \
        name,                      \
            [](Json& c, Json& r) { \
                (void)c;           \
                (void)r;           \
                __VA_ARGS__;       \
            },                     \
            error                  \
    }

INSTANTIATE_TEST_SUITE_P(
    SingleFaults, PrivilegedConfig,
    testing::Values(
        CASE("valid", nullptr, {}),
        CASE("config_not_object", "Expected an object", c = Json::array()),
        CASE("config_null", "Expected an object", c = Json()),
        CASE("unknown_root_key", "Unsupported privileged option: zz", c["zz"] = 1),
        CASE("two_unknown_keys_report_first_in_byte_order", "Unsupported privileged option: Zebra",
             c["b_extra"] = 1, c["Zebra"] = 1),
        CASE("value_13_levels_deep", "Configuration is too deeply nested",
             c["route"]["rules"][0]["x"] = Json::parse("[[[[[[[[[[1]]]]]]]]]]")),
        CASE("logical_depth_11_string_passes", nullptr,
             c["route"]["rules"].push_back(deeply_logical_rule(Json{{"network", "tcp"}}))),
        CASE("logical_depth_11_array_fails", "Configuration is too deeply nested",
             c["route"]["rules"].push_back(deeply_logical_rule(Json{{"domain", {"x.example"}}}))),
        CASE("rules_absent", "rules must be a tag/document object", r = Json()),
        CASE("rules_array", "rules must be a tag/document object", r = Json::array()),
        CASE("rule_tag_81_bytes", "Invalid rule tag", r[std::string(81, 'a')] = r["ads"],
             r.erase("ads")),
        CASE("rule_tag_with_dot", "Invalid rule tag", r["a.b"] = r["ads"]),
        CASE("rule_source_fault_passes_through", "Unsupported rule source version",
             r["ads"]["version"] = 9),
        CASE("log_unknown_key", "Unsupported privileged option: output",
             c["log"]["output"] = "x.log"),
        CASE("log_not_object", "Expected an object", c["log"] = "x"),
        CASE("log_absent_is_added", nullptr, c.erase("log")),
        CASE("inbounds_absent", "Missing inbounds", c.erase("inbounds")),
        CASE("inbounds_object", "Missing inbounds", c["inbounds"] = Json::object()),
        CASE("inbounds_empty", "Exactly one Vemla TUN is required", c["inbounds"] = Json::array()),
        CASE("inbound_not_object", "Expected an object", c["inbounds"].push_back(1)),
        CASE("inbound_unknown_key", "Unsupported privileged option: udp_timeout",
             c["inbounds"][0]["udp_timeout"] = 1),
        CASE("inbound_type_socks", "Unsupported privileged inbound",
             c["inbounds"][0]["type"] = "socks"),
        CASE("inbound_type_missing", "Unsupported privileged inbound",
             c["inbounds"][0].erase("type")),
        CASE("two_tun", "Exactly one Vemla TUN is required",
             c["inbounds"].push_back(Json{{"type", "tun"}})),
        CASE("mtu_575", "Invalid TUN MTU", c["inbounds"][0]["mtu"] = 575u),
        CASE("mtu_576", nullptr, c["inbounds"][0]["mtu"] = 576u),
        CASE("mtu_9000", nullptr, c["inbounds"][0]["mtu"] = 9000u),
        CASE("mtu_9001", "Invalid TUN MTU", c["inbounds"][0]["mtu"] = 9001u),
        CASE("mixed_port_1024", nullptr,
             c["inbounds"].push_back(Json::parse(
                 R"({"type":"mixed","tag":"m","listen":"127.0.0.1","listen_port":1024})"))),
        CASE("mixed_port_65535", nullptr,
             c["inbounds"].push_back(
                 Json::parse(R"({"type":"mixed","listen":"127.0.0.1","listen_port":65535})"))),
        CASE("mixed_port_1023", "Only unprivileged loopback listeners are allowed",
             c["inbounds"].push_back(
                 Json::parse(R"({"type":"mixed","listen":"127.0.0.1","listen_port":1023})"))),
        CASE("mixed_port_65536", "Only unprivileged loopback listeners are allowed",
             c["inbounds"].push_back(
                 Json::parse(R"({"type":"mixed","listen":"127.0.0.1","listen_port":65536})"))),
        CASE("mixed_port_as_float", "Only unprivileged loopback listeners are allowed",
             c["inbounds"].push_back(
                 Json::parse(R"({"type":"mixed","listen":"127.0.0.1","listen_port":2080.0})"))),
        CASE("mixed_host_name", "Only unprivileged loopback listeners are allowed",
             c["inbounds"].push_back(
                 Json::parse(R"({"type":"mixed","listen":"localhost","listen_port":2080})"))),
        CASE("mixed_all_interfaces", "Only unprivileged loopback listeners are allowed",
             c["inbounds"].push_back(
                 Json::parse(R"({"type":"mixed","listen":"0.0.0.0","listen_port":2080})"))),
        CASE("outbounds_absent", "Missing outbounds", c.erase("outbounds")),
        CASE("outbounds_empty", nullptr, c["outbounds"] = Json::array()),
        CASE("outbound_type_unknown", "Unsupported outbound type",
             c["outbounds"][0]["type"] = "wireguard"),
        CASE("outbound_type_missing", "Unsupported outbound type", c["outbounds"][0].erase("type")),
        CASE("outbound_unknown_key", "Unsupported privileged option: detour",
             c["outbounds"][0]["detour"] = "x"),
        CASE("urltest_idle_30s", nullptr,
             c["outbounds"].push_back(Json::parse(R"({"type":"urltest","idle_timeout":"30s"})"))),
        CASE("selector_idle_30s", "URLTest idle timeout must be a duration string",
             c["outbounds"].push_back(Json::parse(R"({"type":"selector","idle_timeout":"30s"})"))),
        CASE("urltest_idle_number", "URLTest idle timeout must be a duration string",
             c["outbounds"].push_back(Json::parse(R"({"type":"urltest","idle_timeout":30})"))),
        CASE("urltest_idle_s30", "URLTest idle timeout must be a duration string",
             c["outbounds"].push_back(Json::parse(R"({"type":"urltest","idle_timeout":"s30"})"))),
        CASE("obfs_unknown_key", "Unsupported privileged option: mode",
             c["outbounds"][0]["obfs"] = Json{{"mode", 1}}),
        CASE("outbound_resolver_unknown_key", "Unsupported privileged option: detour",
             c["outbounds"][0]["domain_resolver"] = Json{{"detour", 1}}),
        CASE("vemla_xray_without_encryption", "VLESS encryption must be text",
             c["outbounds"][0]["vemla_xray"] = Json::object()),
        CASE("vemla_xray_encryption_number", "VLESS encryption must be text",
             c["outbounds"][0]["vemla_xray"] = Json{{"encryption", 1}}),
        CASE("vemla_xray_unknown_key", "Unsupported privileged option: flow",
             c["outbounds"][0]["vemla_xray"] = Json{{"flow", "x"}}),
        CASE("transport_type_quic", "Unsupported transport",
             c["outbounds"][0]["transport"] = Json{{"type", "quic"}}),
        CASE("transport_unknown_key", "Unsupported privileged option: early_data",
             c["outbounds"][0]["transport"] = Json{{"type", "ws"}, {"early_data", 1}}),
        CASE("transport_headers_array", "Headers must be object",
             c["outbounds"][0]["transport"] = Json{{"type", "ws"}, {"headers", Json::array()}}),
        CASE("transport_header_number", "Header must be text",
             c["outbounds"][0]["transport"] = Json{{"type", "ws"}, {"headers", {{"X", 1}}}}),
        CASE("xhttp_extra_unknown_key", "Unsupported privileged option: downloadSettings",
             c["outbounds"][0]["transport"] = Json{{"type", "xhttp"},
                                                   {"extra", {{"downloadSettings", 1}}}}),
        CASE("xhttp_xmux_unknown_key", "Unsupported privileged option: concurrency",
             c["outbounds"][0]["transport"] = Json{{"type", "xhttp"},
                                                   {"extra", {{"xmux", {{"concurrency", 1}}}}}}),
        CASE("xhttp_headers_string", "XHTTP headers must be object",
             c["outbounds"][0]["transport"] = Json{{"type", "xhttp"},
                                                   {"extra", {{"headers", "x"}}}}),
        CASE("xhttp_header_bool", "XHTTP header must be text",
             c["outbounds"][0]["transport"] = Json{{"type", "xhttp"},
                                                   {"extra", {{"headers", {{"X", true}}}}}}),
        CASE("tls_unknown_key", "Unsupported privileged option: ech",
             c["outbounds"][0]["tls"] = Json{{"ech", 1}}),
        CASE("utls_unknown_key", "Unsupported privileged option: x",
             c["outbounds"][0]["tls"] = Json{{"utls", {{"x", 1}}}}),
        CASE("reality_unknown_key", "Unsupported privileged option: x",
             c["outbounds"][0]["tls"] = Json{{"reality", {{"x", 1}}}}),
        CASE("pins_not_array", "Certificate pins must be an array",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256", kPin}}),
        CASE("pins_empty", "Invalid certificate pin policy",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256", Json::array()}}),
        CASE("pins_8", nullptr,
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256",
                                              Json::array_t(8, Json(kPin))}}),
        CASE("pins_9", "Invalid certificate pin policy",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256",
                                              Json::array_t(9, Json(kPin))}}),
        CASE("pins_with_insecure_false", nullptr,
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256", {kPin}},
                                             {"insecure", false}}),
        CASE("pins_with_insecure_true", "Invalid certificate pin policy",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256", {kPin}},
                                             {"insecure", true}}),
        CASE("pins_with_insecure_text", "Invalid certificate pin policy",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256", {kPin}},
                                             {"insecure", "false"}}),
        CASE("pin_number", "Certificate pin must be text",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256", {1}}}),
        CASE("pin_double_padding", "Invalid SHA-256 public key pin",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256",
                                              {"47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuF=="}}}),
        CASE("pin_low_bits_set", "Invalid SHA-256 public key pin",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256",
                                              {"47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFV="}}}),
        CASE("pin_url_alphabet", "Invalid SHA-256 public key pin",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256",
                                              {"47DEQpj8HBSa-_TImW-5JCeuQeRkm5NMpJWZG3hSuFU="}}}),
        CASE("pin_43_characters", "Invalid SHA-256 public key pin",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256",
                                              {"47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU"}}}),
        CASE("pins_checked_in_order", "Certificate pin must be text",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256", {kPin, 7, "x"}}}),
        CASE("dns_absent", "Expected an object", c.erase("dns")),
        CASE("dns_unknown_key", "Unsupported privileged option: fakeip",
             c["dns"]["fakeip"] = Json::object()),
        CASE("dns_servers_absent", "Missing DNS servers", c["dns"].erase("servers")),
        CASE("dns_server_type_quic", "Unsupported DNS server",
             c["dns"]["servers"][0]["type"] = "quic"),
        CASE("dns_server_unknown_key", "Unsupported privileged option: address",
             c["dns"]["servers"][0]["address"] = "1.1.1.1"),
        CASE("dns_server_tls_checked", "Certificate pins must be an array",
             c["dns"]["servers"][0]["tls"] = Json{{"certificate_public_key_sha256", "x"}}),
        CASE("dns_server_resolver_checked", "Unsupported privileged option: x",
             c["dns"]["servers"][0]["domain_resolver"] = Json{{"x", 1}}),
        CASE("dns_rule_unknown_key", "Unsupported privileged option: ip_cidr",
             c["dns"]["rules"] = Json::parse(R"([{"ip_cidr":["1.1.1.1"]}])")),
        CASE("dns_rules_not_array_not_inspected", nullptr, c["dns"]["rules"] = "anything"),
        CASE("route_absent", "Expected an object", c.erase("route")),
        CASE("route_unknown_key", "Unsupported privileged option: geoip", c["route"]["geoip"] = 1),
        CASE("route_resolver_checked", "Expected an object",
             c["route"]["default_domain_resolver"] = "local"),
        CASE("route_rules_absent", "Missing route rules", c["route"].erase("rules")),
        CASE("route_rule_unknown_key", "Unsupported privileged option: geosite",
             c["route"]["rules"][0]["geosite"] = "x"),
        CASE("route_rule_action_unknown", "Unsupported route action",
             c["route"]["rules"][0]["action"] = "bypass"),
        CASE("route_rule_action_number", "Unsupported route action",
             c["route"]["rules"][0]["action"] = 1),
        CASE("route_rule_nested_not_array", "rules must be array",
             c["route"]["rules"][0]["rules"] = Json::object()),
        CASE("route_rule_nested_action_checked", "Unsupported route action",
             c["route"]["rules"][0]["rules"] = Json::parse(R"([{"action":"drop"}])")),
        CASE("rule_sets_absent", "Missing rule sets", c["route"].erase("rule_set")),
        CASE("rule_set_unknown_key", "Unsupported privileged option: sha256",
             c["route"]["rule_set"][0]["sha256"] = "x"),
        CASE("rule_set_tag_number", "Missing rule tag", c["route"]["rule_set"][0]["tag"] = 1),
        CASE("rule_set_tag_invalid", "Invalid or duplicate rule tag",
             c["route"]["rule_set"][0]["tag"] = "a b"),
        CASE("rule_set_tag_duplicate", "Invalid or duplicate rule tag",
             c["route"]["rule_set"].push_back(c["route"]["rule_set"][0])),
        CASE("rule_set_built_in", nullptr,
             c["route"]["rule_set"].push_back(Json{{"tag", "geosite-ru"}})),
        CASE("rule_set_unknown_source", "Missing safe rule source: geosite-cn",
             c["route"]["rule_set"].push_back(Json{{"tag", "geosite-cn"}})),
        CASE("rule_source_unreferenced", "Unreferenced rule source", r["extra"] = r["ads"]),
        CASE("experimental_absent", "Expected an object", c.erase("experimental")),
        CASE("clash_api_absent", "Expected an object", c["experimental"].erase("clash_api")),
        CASE("clash_api_unknown_key", "Unsupported privileged option: external_ui",
             c["experimental"]["clash_api"]["external_ui"] = "x"),
        CASE("controller_other_port", "Authenticated loopback API required",
             c["experimental"]["clash_api"]["external_controller"] = "127.0.0.1:9090"),
        CASE("secret_23_bytes", "Authenticated loopback API required",
             c["experimental"]["clash_api"]["secret"] = std::string(23, 's')),
        CASE("secret_24_bytes", nullptr,
             c["experimental"]["clash_api"]["secret"] = std::string(24, 's')),
        CASE("secret_absent", "Authenticated loopback API required",
             c["experimental"]["clash_api"].erase("secret"))),
    [](const auto& case_info) { return std::string(case_info.param.name); });

// Each case carries two faults; the one earlier in the order of checks is the one reported.
INSTANTIATE_TEST_SUITE_P(
    CheckOrder, PrivilegedConfig,
    testing::Values(
        CASE("depth_before_unknown_root_key", "Configuration is too deeply nested", c["zz"] = 1,
             c["route"]["rules"][0]["x"] = Json::parse("[[[[[[[[[[1]]]]]]]]]]")),
        CASE("string_limit_before_unknown_root_key", "Invalid or oversized string", c["zz"] = 1,
             c["outbounds"][0]["tag"] = std::string(8193, 't')),
        CASE("unknown_root_key_before_rules_map", "Unsupported privileged option: zz", c["zz"] = 1,
             r = Json()),
        CASE("rules_map_before_log", "rules must be a tag/document object", c["log"]["x"] = 1,
             r = Json::array()),
        CASE("rule_tag_before_its_document", "Invalid rule tag", r["a b"] = Json::object()),
        CASE("rule_source_before_log", "Unsupported rule source version", c["log"]["x"] = 1,
             r["ads"]["version"] = 0),
        CASE("log_before_inbounds", "Unsupported privileged option: x", c["log"]["x"] = 1,
             c.erase("inbounds")),
        CASE("tun_count_before_outbounds", "Exactly one Vemla TUN is required",
             c["inbounds"].push_back(Json{{"type", "tun"}}), c.erase("outbounds")),
        CASE("inbounds_in_order", "Only unprivileged loopback listeners are allowed",
             c["inbounds"].insert(
                 c["inbounds"].begin(),
                 Json::parse(R"({"type":"mixed","listen":"::1","listen_port":2080})")),
             c["inbounds"][1]["mtu"] = 100u),
        CASE("outbounds_before_dns", "Unsupported outbound type", c["outbounds"][0]["type"] = "x",
             c.erase("dns")),
        CASE("outbound_keys_before_type", "Unsupported privileged option: y",
             c["outbounds"][0]["type"] = "x", c["outbounds"][0]["y"] = 1),
        CASE("outbound_tls_before_transport", "Unsupported privileged option: x",
             c["outbounds"][0]["tls"] = Json{{"x", 1}},
             c["outbounds"][0]["transport"] = Json{{"type", "quic"}}),
        CASE("dns_before_route", "Missing DNS servers", c["dns"]["servers"] = 1, c.erase("route")),
        CASE("route_rules_before_rule_sets", "Unsupported route action",
             c["route"]["rules"][0]["action"] = "x", c["route"].erase("rule_set")),
        CASE("missing_source_before_unreferenced", "Missing safe rule source: other",
             r["extra"] = r["ads"], c["route"]["rule_set"][0]["tag"] = "other"),
        CASE("unreferenced_before_control_api", "Unreferenced rule source", r["extra"] = r["ads"],
             c.erase("experimental")),
        CASE("pin_count_before_insecure", "Invalid certificate pin policy",
             c["outbounds"][0]["tls"] = Json{{"certificate_public_key_sha256",
                                              Json::array_t(9, Json(kPin))},
                                             {"insecure", true}})),
    [](const auto& case_info) { return std::string(case_info.param.name); });

#undef CASE

TEST(PrivilegedConfigForms, CanonicalLogTunAndRuleSetEntries) {
    Json config = valid_config();
    config["inbounds"][0] = Json::parse(R"({"type":"tun","tag":"mine","interface_name":"evil",
        "address":["10.0.0.1/8"],"mtu":1400,"sniff":true,"auto_route":false,"stack":"system"})");
    config["inbounds"].push_back(Json::parse(
        R"({"type":"mixed","tag":"mixed-in","listen":"127.0.0.1","listen_port":2080,"sniff":true})"));
    config["route"]["rule_set"].push_back(Json{{"tag", "geoip-ru"}, {"type", "remote"}});
    const auto result = validate(config, valid_rules());
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(to_compact_json((*result)["log"]), R"({"level":"warn","timestamp":true})");
    EXPECT_EQ(
        to_compact_json((*result)["inbounds"]),
        R"([{"address":["172.19.0.1/30"],"auto_route":true,"interface_name":"VemlaVPN",)"
        R"("mtu":1400,"stack":"mixed","strict_route":true,"tag":"tun-in","type":"tun"},)"
        R"({"listen":"127.0.0.1","listen_port":2080,"sniff":true,"tag":"mixed-in","type":"mixed"}])");
    EXPECT_EQ(to_compact_json((*result)["route"]["rule_set"]),
              R"([{"format":"source","path":"C:\\ProgramData\\VemlaHelper\\rule-ads.json",)"
              R"("tag":"ads","type":"local"},)"
              R"({"format":"source","path":"C:\\Program Files\\VemlaHelper\\rules\\geoip-ru.json",)"
              R"("tag":"geoip-ru","type":"local"}])");
    // What the helper does not decide comes back as sent.
    EXPECT_EQ(result->at("outbounds"), config["outbounds"]);
    EXPECT_EQ(result->at("dns"), config["dns"]);
    EXPECT_EQ(result->at("route")["rules"], config["route"]["rules"]);
    EXPECT_EQ(result->at("experimental"), config["experimental"]);
}

TEST(PrivilegedConfigForms, ClientSourceUnderBuiltInTagUsesTheRuleDirectory) {
    Json config = valid_config();
    Json rules = valid_rules();
    rules["geosite-ru"] = rules["ads"];
    config["route"]["rule_set"].push_back(Json{{"tag", "geosite-ru"}});
    const auto result = validate(config, rules);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ((*result)["route"]["rule_set"][1]["path"],
              "C:\\ProgramData\\VemlaHelper\\rule-geosite-ru.json");
}

TEST(PrivilegedConfigForms, NonIntegerMtuBecomes1500) {
    for (const char* mtu : {R"("9000")", "1500.0", "-1", "null", "true"}) {
        Json config = valid_config();
        config["inbounds"][0]["mtu"] = Json::parse(mtu);
        const auto result = validate(config, valid_rules());
        ASSERT_TRUE(result.has_value()) << mtu << ": " << result.error();
        const Json& out = (*result)["inbounds"][0]["mtu"];
        EXPECT_TRUE(out.is_number_unsigned()) << mtu;
        EXPECT_EQ(out.get<std::uint64_t>(), 1500u) << mtu;
    }
}

TEST(PrivilegedConfigForms, MissingMtuBecomes1500AndNonAsciiDirectoriesRenderAsUtf8) {
    Json config = valid_config();
    config["inbounds"][0].erase("mtu");
    const std::filesystem::path data(u8"D:\\Данные\\VemlaHelper");
    const auto result = validate_privileged_config(config, valid_rules(), kInstallDir, data);
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ((*result)["inbounds"][0]["mtu"], 1500u);
    EXPECT_EQ((*result)["route"]["rule_set"][0]["path"],
              "D:\\\xd0\x94\xd0\xb0\xd0\xbd\xd0\xbd\xd1\x8b\xd0\xb5\\VemlaHelper\\rule-ads.json");
}

// Rules maps sized around the 12 MiB and 256-entry limits.
class RulesMapLimits : public testing::Test {
protected:
    // Two documents that together serialise (as a map) to exactly `size` bytes.
    static Json map_of_size(std::size_t size) {
        Json rules = Json::object();
        rules["a"] = Json::parse(R"({"version":1,"rules":[{"domain":[]}]})");
        rules["b"] = Json::parse(R"({"version":1,"rules":[{"domain":[]}]})");
        Json& first = rules["a"]["rules"][0]["domain"];
        pad_to_size(rules, first, size / 2);
        pad_to_size(rules, rules["b"]["rules"][0]["domain"], size);
        return rules;
    }

    static Json config_naming(const Json& rules) {
        Json config = valid_config();
        config["route"]["rule_set"] = Json::array();
        for (const auto& item : rules.items()) {
            config["route"]["rule_set"].push_back(Json{{"tag", item.key()}});
        }
        return config;
    }
};

TEST_F(RulesMapLimits, TwelveMebibytesPassAndOneByteMoreFails) {
    const Json at_limit = map_of_size(12582912);
    ASSERT_EQ(compact_json_size(at_limit), 12582912u);
    const auto accepted = validate(config_naming(at_limit), at_limit);
    EXPECT_TRUE(accepted.has_value()) << accepted.error();

    const Json over = map_of_size(12582913);
    ASSERT_EQ(compact_json_size(over), 12582913u);
    EXPECT_TRUE(
        refused_with(validate(config_naming(over), over), "Combined rule sources exceed 12 MiB"));
}

TEST_F(RulesMapLimits, TwoHundredFiftySixSourcesPassTheCountAnd257Fail) {
    Json rules = Json::object();
    for (int i = 0; i < 257; ++i) {
        rules["s" + std::to_string(i)] = Json::parse(R"({"version":1,"rules":[]})");
    }
    EXPECT_TRUE(refused_with(validate(config_naming(rules), rules), "Too many rule sources"));
    rules.erase("s0");
    const auto accepted = validate(config_naming(rules), rules);
    EXPECT_TRUE(accepted.has_value()) << accepted.error();
}

}  // namespace
}  // namespace vemla::helper_protocol
