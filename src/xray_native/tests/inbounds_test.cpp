#include <gtest/gtest.h>

#include <string>

#include "xray_native/inbounds.h"

namespace vemla::xray_native {
namespace {

const std::string kSecret = "c2b7e0a94f1d4e6b8a3c5d7f9e1b2a4c";  // 32 letters and digits

Json ir_with(Json inbounds, std::string secret = kSecret) {
    return Json{{"inbounds", std::move(inbounds)},
                {"outbounds", Json::array()},
                {"experimental", {{"clash_api", {{"secret", std::move(secret)}}}}}};
}

// Extraction then the checks, as a compilation sees them.
Result<CompileSettings> settings_for(const Json& ir, const Json& rules) {
    auto settings = extract_compile_settings(ir, rules);
    if (!settings) {
        return settings;
    }
    if (auto checked = check_compile_settings(*settings); !checked) {
        return std::unexpected(checked.error());
    }
    return settings;
}

TEST(ExtractCompileSettings, SecretMustBeLongRandomAlphanumericText) {
    const std::string refused = "Xray: IR не содержит безопасный случайный API secret";
    const Json rules = Json::object();
    struct Case {
        std::string name;
        Json ir;
        bool ok;
    };
    const Case cases[] = {
        {"32_bytes", ir_with(Json::array(), std::string(32, 'a')), true},
        {"256_bytes", ir_with(Json::array(), std::string(256, 'Z')), true},
        {"31_bytes", ir_with(Json::array(), std::string(31, 'a')), false},
        {"257_bytes", ir_with(Json::array(), std::string(257, '7')), false},
        {"dash", ir_with(Json::array(), std::string(16, 'a') + "-" + std::string(16, 'a')), false},
        {"non_ascii_letter", ir_with(Json::array(), std::string(31, 'a') + "ж"), false},
        {"number", Json{{"experimental", {{"clash_api", {{"secret", 12345}}}}}}, false},
        {"no_clash_api", Json{{"experimental", Json::object()}}, false},
        {"no_experimental", Json::object(), false},
        {"ir_not_object", Json::array(), false},
    };
    for (const Case& c : cases) {
        const auto settings = extract_compile_settings(c.ir, rules);
        if (c.ok) {
            ASSERT_TRUE(settings.has_value()) << c.name << ": " << settings.error();
        } else {
            ASSERT_FALSE(settings.has_value()) << c.name;
            EXPECT_EQ(settings.error(), refused) << c.name;
        }
    }
}

TEST(ExtractCompileSettings, DefaultsBorrowTheRulesMapAndReadTheMode) {
    const Json rules = Json{{"corp", {{"rules", Json::array()}}}};
    Json ir = ir_with(Json::array());
    const auto defaults = extract_compile_settings(ir, rules);
    ASSERT_TRUE(defaults.has_value()) << defaults.error();
    EXPECT_EQ(defaults->rule_sources, &rules);
    EXPECT_EQ(defaults->api_secret, kSecret);
    EXPECT_EQ(defaults->api_user, "vemla");
    EXPECT_EQ(defaults->mode, "rule");
    EXPECT_EQ(defaults->probe_url, kDefaultProbeUrl);
    EXPECT_EQ(defaults->probe_interval, "30s");
    EXPECT_EQ(defaults->api_port, 18970);
    EXPECT_EQ(defaults->mixed_port, 2080);
    EXPECT_FALSE(defaults->tun_enabled);

    for (const auto& [mode, expected] : {std::pair{Json("Global"), "Global"},  // checked later
                                         std::pair{Json(1), "rule"}}) {
        ir["experimental"]["clash_api"]["default_mode"] = mode;
        const auto settings = extract_compile_settings(ir, rules);
        ASSERT_TRUE(settings.has_value()) << settings.error();
        EXPECT_EQ(settings->mode, expected) << mode;
    }
}

TEST(ExtractCompileSettings, TunAndMixedInbounds) {
    const Json rules = Json::object();
    struct Case {
        std::string name;
        const char* inbounds;
        std::string error;  // of extraction plus checks; empty: accepted
    };
    const std::string incomplete = "Xray: неполная или неверная настройка TUN";
    const std::string bad_cidr = "Xray: неверный адрес/CIDR TUN";
    const std::string ports = "Xray: локальные порты должны быть ненулевыми и разными";
    const Case cases[] = {
        {"no_tun", R"([])", ""},
        {"tun_defaults", R"([{"type":"tun"}])", ""},
        {"mtu_575", R"([{"type":"tun","mtu":575}])", incomplete},
        {"mtu_576", R"([{"type":"tun","mtu":576}])", ""},
        {"mtu_65535", R"([{"type":"tun","mtu":65535}])", ""},
        {"mtu_65536", R"([{"type":"tun","mtu":65536}])", incomplete},
        {"mtu_above_u32", R"([{"type":"tun","mtu":4294967296}])", "Xray: неверный MTU"},
        {"mtu_u32_max", R"([{"type":"tun","mtu":4294967295}])", incomplete},
        {"mtu_string_ignored", R"([{"type":"tun","mtu":"100"}])", ""},
        {"mtu_negative_ignored", R"([{"type":"tun","mtu":-1}])", ""},
        {"mtu_fraction_ignored", R"([{"type":"tun","mtu":1400.0}])", ""},
        {"address_without_prefix", R"([{"type":"tun","address":"172.19.0.1"}])", bad_cidr},
        {"address_ipv6", R"([{"type":"tun","address":["fdfe::1/126"]}])", ""},
        {"address_prefix_33", R"([{"type":"tun","address":"10.0.0.1/33"}])", bad_cidr},
        {"address_null", R"([{"type":"tun","address":null}])", incomplete},
        {"address_empty_list", R"([{"type":"tun","address":[]}])", incomplete},
        {"address_number", R"([{"type":"tun","address":5}])",
         "Xray: нужна строка или список строк"},
        {"address_list_of_number", R"([{"type":"tun","address":[5]}])", "Xray: нужен список строк"},
        {"empty_name", R"([{"type":"tun","interface_name":""}])", incomplete},
        {"second_tun_ignored", R"([{"type":"tun"},{"type":"tun","mtu":1}])", ""},
        {"mixed_port_0", R"([{"tag":"mixed-in","listen_port":0}])", ports},
        {"mixed_port_api", R"([{"tag":"mixed-in","listen_port":18970}])", ports},
        {"mixed_port_65536", R"([{"tag":"mixed-in","listen_port":65536}])",
         "Xray: неверный mixed port"},
        {"mixed_port_missing", R"([{"tag":"mixed-in"}])", "Xray: mixed-in без listen_port"},
        {"mixed_port_string", R"([{"tag":"mixed-in","listen_port":"2080"}])",
         "Xray: mixed-in без listen_port"},
        {"mixed_port_negative", R"([{"tag":"mixed-in","listen_port":-1}])",
         "Xray: mixed-in без listen_port"},
        {"mixed_type_not_looked_at", R"([{"type":"http","tag":"mixed-in","listen_port":3000}])",
         ""},
    };
    for (const Case& c : cases) {
        const auto settings = settings_for(ir_with(Json::parse(c.inbounds)), rules);
        if (c.error.empty()) {
            EXPECT_TRUE(settings.has_value()) << c.name << ": " << settings.error();
        } else {
            ASSERT_FALSE(settings.has_value()) << c.name;
            EXPECT_EQ(settings.error(), c.error) << c.name;
        }
    }

    const auto tun =
        settings_for(ir_with(Json::parse(R"([{"type":"mixed","tag":"mixed-in","listen_port":3000},
            {"type":"tun","interface_name":"tun0","mtu":1400,"address":["172.18.0.1/30","fdfe::1/126"]}])")),
                     rules);
    ASSERT_TRUE(tun.has_value()) << tun.error();
    EXPECT_TRUE(tun->tun_enabled);
    EXPECT_EQ(tun->interface_name, "tun0");
    EXPECT_EQ(tun->mtu, 1400u);
    EXPECT_EQ(tun->tun_address, (std::vector<std::string>{"172.18.0.1/30", "fdfe::1/126"}));
    EXPECT_EQ(tun->mixed_port, 3000);
}

TEST(CheckCompileSettings, RefusesWeakCredentialsPortsAndTunFields) {
    CompileSettings base;
    base.api_secret = kSecret;
    base.tun_enabled = true;
    struct Case {
        std::string name;
        void (*change)(CompileSettings&);
        std::string error;
    };
    const Case cases[] = {
        {"valid", [](CompileSettings&) {}, ""},
        {"empty_user", [](CompileSettings& s) { s.api_user.clear(); },
         "Xray: нужны API user и случайный пароль не короче 32 символов"},
        {"short_secret", [](CompileSettings& s) { s.api_secret.pop_back(); },
         "Xray: нужны API user и случайный пароль не короче 32 символов"},
        {"api_port_0", [](CompileSettings& s) { s.api_port = 0; },
         "Xray: локальные порты должны быть ненулевыми и разными"},
        {"same_ports", [](CompileSettings& s) { s.mixed_port = s.api_port; },
         "Xray: локальные порты должны быть ненулевыми и разными"},
        {"empty_dns", [](CompileSettings& s) { s.tun_dns.clear(); },
         "Xray: неполная или неверная настройка TUN"},
        {"empty_routes", [](CompileSettings& s) { s.tun_routes.clear(); },
         "Xray: неполная или неверная настройка TUN"},
        {"dns_is_cidr", [](CompileSettings& s) { s.tun_dns = {"172.19.0.2/32"}; },
         "Xray: неверный адрес/CIDR TUN"},
        {"route_without_prefix", [](CompileSettings& s) { s.tun_routes = {"0.0.0.0"}; },
         "Xray: неверный адрес/CIDR TUN"},
        {"tun_off_skips_tun_checks",
         [](CompileSettings& s) {
             s.tun_enabled = false;
             s.mtu = 1;
             s.tun_address.clear();
         },
         ""},
    };
    for (const Case& c : cases) {
        CompileSettings settings = base;
        c.change(settings);
        const auto checked = check_compile_settings(settings);
        if (c.error.empty()) {
            EXPECT_TRUE(checked.has_value()) << c.name << ": " << checked.error();
        } else {
            ASSERT_FALSE(checked.has_value()) << c.name;
            EXPECT_EQ(checked.error(), c.error) << c.name;
        }
    }
}

TEST(BuildInbounds, ServiceInboundsComeFirstInTheirFixedForm) {
    const Json rules = Json::object();
    const Json ir = ir_with(Json::parse(R"([{"type":"tun","interface_name":"tun0","mtu":1400}])"));
    auto settings = extract_compile_settings(ir, rules);
    ASSERT_TRUE(settings.has_value());
    const auto inbounds = build_inbounds(ir, *settings);
    ASSERT_TRUE(inbounds.has_value()) << inbounds.error();
    const Json sniffing =
        Json::parse(R"({"enabled":true,"destOverride":["http","tls","quic"],"routeOnly":true})");
    const Json expected = Json::array({
        Json{{"tag", "vemla-api-in"},
             {"listen", "127.0.0.1"},
             {"port", 18970},
             {"protocol", "http"},
             {"settings", {{"accounts", Json::array({{{"user", "vemla"}, {"pass", kSecret}}})}}}},
        Json{{"tag", "tun-in"},
             {"protocol", "tun"},
             {"settings", Json::parse(R"({"name":"tun0","desc":"Vemla","mtu":1400,
                 "gateway":["172.19.0.1/30"],"dns":["172.19.0.2"],
                 "autoSystemRoutingTable":["0.0.0.0/0"],"autoOutboundsInterface":"auto",
                 "autoSystemWfpBlockLeak":["dns","misconfigtun"]})")},
             {"sniffing", sniffing}},
        Json{{"tag", "mixed-in"},
             {"listen", "127.0.0.1"},
             {"port", 2080},
             {"protocol", "socks"},
             {"settings", {{"auth", "noauth"}, {"udp", true}}},
             {"sniffing", sniffing}},
    });
    EXPECT_EQ(*inbounds, expected);
    // Numbers the engine reads as ports and sizes are unsigned in the document.
    EXPECT_TRUE((*inbounds)[0]["port"].is_number_unsigned());
    EXPECT_TRUE((*inbounds)[1]["settings"]["mtu"].is_number_unsigned());

    settings->tun_enabled = false;
    const auto without_tun = build_inbounds(ir, *settings);
    ASSERT_TRUE(without_tun.has_value());
    ASSERT_EQ(without_tun->size(), 2u);
    EXPECT_EQ((*without_tun)[1]["tag"], "mixed-in");
}

TEST(BuildInbounds, AdditionalInboundsStayOnLoopbackWithUniqueTagsAndPorts) {
    const Json rules = Json::object();
    struct Case {
        std::string name;
        const char* inbounds;
        const char* added;  // the inbounds appended after the service's own, or nullptr
        std::string error;
    };
    const std::string loopback = "Xray: дополнительные входы должны слушать loopback";
    const std::string no_port = "Xray: дополнительный вход без порта";
    const std::string repeated = "Xray: повторный tag или port входа";
    const Case cases[] = {
        {"socks_127_0_0_2",
         R"([{"type":"socks","tag":"s","listen":"127.0.0.2","listen_port":1080}])",
         R"([{"tag":"s","listen":"127.0.0.2","port":1080,"protocol":"socks","settings":{"udp":true}}])",
         ""},
        {"http_ipv6_loopback", R"([{"type":"http","tag":"h","listen":"::1","listen_port":8080}])",
         R"([{"tag":"h","listen":"::1","port":8080,"protocol":"http","settings":{"udp":true}}])",
         ""},
        {"mixed_default_listen", R"([{"type":"mixed","tag":"m","listen_port":1081}])",
         R"([{"tag":"m","listen":"127.0.0.1","port":1081,"protocol":"socks","settings":{"udp":true}}])",
         ""},
        {"untagged_skipped", R"([{"type":"socks","listen":"0.0.0.0"}])", "[]", ""},
        {"tun_skipped", R"([{"type":"tun"},{"type":"tun","listen":"0.0.0.0"}])", "[]", ""},
        {"any_address", R"([{"type":"socks","tag":"s","listen":"0.0.0.0","listen_port":1}])",
         nullptr, loopback},
        {"hostname", R"([{"type":"socks","tag":"s","listen":"localhost","listen_port":1}])",
         nullptr, loopback},
        {"mapped_loopback",
         R"([{"type":"socks","tag":"s","listen":"::ffff:127.0.0.1","listen_port":1}])", nullptr,
         loopback},
        {"port_missing", R"([{"type":"socks","tag":"s"}])", nullptr, no_port},
        {"port_0", R"([{"type":"socks","tag":"s","listen_port":0}])", nullptr, no_port},
        {"port_65536", R"([{"type":"socks","tag":"s","listen_port":65536}])", nullptr, no_port},
        {"port_float", R"([{"type":"socks","tag":"s","listen_port":1080.0}])", nullptr, no_port},
        {"port_of_mixed_in", R"([{"type":"socks","tag":"s","listen_port":2080}])", nullptr,
         repeated},
        {"port_of_api", R"([{"type":"socks","tag":"s","listen_port":18970}])", nullptr, repeated},
        {"tag_of_api", R"([{"type":"socks","tag":"vemla-api-in","listen_port":1}])", nullptr,
         repeated},
        {"two_same_tag",
         R"([{"type":"socks","tag":"s","listen_port":1},{"type":"http","tag":"s","listen_port":2}])",
         nullptr, repeated},
        {"two_same_port",
         R"([{"type":"socks","tag":"a","listen_port":1},{"type":"http","tag":"b","listen_port":1}])",
         nullptr, repeated},
        {"vmess_inbound", R"([{"type":"vmess","tag":"v","listen_port":1}])", nullptr,
         "Xray: вход vmess не поддерживается"},
        {"no_type", R"([{"tag":"v","listen_port":1}])", nullptr, "Xray: вход  не поддерживается"},
        {"type_checked_before_tag", R"([{"type":"redirect"}])", nullptr,
         "Xray: вход redirect не поддерживается"},
    };
    for (const Case& c : cases) {
        const Json ir = ir_with(Json::parse(c.inbounds));
        const auto settings = extract_compile_settings(ir, rules);
        ASSERT_TRUE(settings.has_value()) << c.name;
        const auto inbounds = build_inbounds(ir, *settings);
        if (c.error.empty()) {
            ASSERT_TRUE(inbounds.has_value()) << c.name << ": " << inbounds.error();
            Json added = Json::parse(c.added);
            for (Json& inbound : added) {
                inbound["sniffing"] = sniffing_object();
            }
            const std::size_t service = settings->tun_enabled ? 3 : 2;
            ASSERT_EQ(inbounds->size(), service + added.size()) << c.name;
            for (std::size_t k = 0; k < added.size(); ++k) {
                EXPECT_EQ((*inbounds)[service + k], added[k]) << c.name;
            }
        } else {
            ASSERT_FALSE(inbounds.has_value()) << c.name;
            EXPECT_EQ(inbounds.error(), c.error) << c.name;
        }
    }
}

}  // namespace
}  // namespace vemla::xray_native
