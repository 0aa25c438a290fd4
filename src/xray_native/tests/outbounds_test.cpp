#include <gtest/gtest.h>

#include <string>

#include "expect_result.h"
#include "xray_native/outbounds.h"

namespace vemla::xray_native {
namespace {

struct OutboundCase {
    const char* name;
    const char* outbound;
    const char* expected;  // the Xray outbound, or nullptr when `error` is expected
    const char* error;
};

class TranslateOutbound : public testing::TestWithParam<OutboundCase> {};

TEST_P(TranslateOutbound, TranslatesOrRefuses) {
    const OutboundCase& c = GetParam();
    const auto outbound = translate_outbound(Json::parse(c.outbound), CompileSettings{});
    testing_support::expect_json_or_message(outbound, c.expected, c.error);
}

const OutboundCase kBuiltInKinds[] = {
    {"direct", R"({"type":"direct","tag":"direct"})",
     R"({"tag":"direct~","protocol":"freedom","settings":{},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"direct_ignores_server", R"({"type":"direct","tag":"d","server":"x","server_port":0})",
     R"({"tag":"d~","protocol":"freedom","settings":{},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"direct_reads_stream_members", R"({"type":"direct","tag":"d","transport":{"type":"quic"}})",
     nullptr, "Xray 26.9.30: транспорт quic не поддерживается (старый HTTP/H2 удалён из ядра)"},
    {"block", R"({"type":"block","tag":"block"})",
     R"({"tag":"block~","protocol":"blackhole","settings":{}})", nullptr},
    {"dns_without_server", R"({"type":"dns","tag":"dns-out"})",
     R"({"tag":"dns-out~","protocol":"dns","settings":{}})", nullptr},
    {"block_ignores_stream_members", R"({"type":"block","tag":"b","transport":{"type":"quic"}})",
     R"({"tag":"b~","protocol":"blackhole","settings":{}})", nullptr},
};
INSTANTIATE_TEST_SUITE_P(BuiltIn, TranslateOutbound, testing::ValuesIn(kBuiltInKinds),
                         [](const testing::TestParamInfo<OutboundCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

const OutboundCase kProtocols[] = {
    {"vless_reality_flow",
     R"({"type":"vless","tag":"proxy","server":"nl.example","server_port":443,"uuid":"U",
         "flow":"xtls-rprx-vision","packet_encoding":"xudp","network":"tcp",
         "domain_resolver":{"server":"local"},
         "tls":{"enabled":true,"server_name":"s","reality":{"enabled":true,"public_key":"K","short_id":"1"}}})",
     R"({"tag":"proxy~","protocol":"vless",
         "settings":{"vnext":[{"address":"nl.example","port":443,
             "users":[{"id":"U","encryption":"none","flow":"xtls-rprx-vision"}]}]},
         "streamSettings":{"network":"tcp","security":"reality","realitySettings":{"serverName":"s",
             "publicKey":"K","shortId":"1","fingerprint":"chrome"}}})",
     nullptr},
    {"vless_flow_on_raw", R"({"type":"vless","tag":"v","server":"h","server_port":1,"uuid":"U",
         "flow":"xtls-rprx-vision","transport":{"type":"raw"}})",
     R"({"tag":"v~","protocol":"vless","settings":{"vnext":[{"address":"h","port":1,
         "users":[{"id":"U","encryption":"none","flow":"xtls-rprx-vision"}]}]},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"vless_flow_on_ws", R"({"type":"vless","tag":"v","server":"h","server_port":1,"uuid":"U",
         "flow":"xtls-rprx-vision","transport":{"type":"ws"}})",
     nullptr, "Xray: VLESS flow допускается только на TCP"},
    {"vless_flow_checked_before_transport_type",
     R"({"type":"vless","tag":"v","server":"h","server_port":1,"uuid":"U",
         "flow":"x","transport":{"type":"quic"}})",
     nullptr, "Xray: VLESS flow допускается только на TCP"},
    {"vless_empty_flow_any_transport",
     R"({"type":"vless","tag":"v","server":"h","server_port":1,"uuid":"U","flow":"",
         "transport":{"type":"xhttp"},"vemla_xray":{"encryption":""}})",
     R"({"tag":"v~","protocol":"vless","settings":{"vnext":[{"address":"h","port":1,
         "users":[{"id":"U","encryption":""}]}]},
         "streamSettings":{"network":"xhttp","security":"none",
             "xhttpSettings":{"path":"/","mode":"auto"}}})",
     nullptr},
    {"vless_encryption", R"({"type":"vless","tag":"v","server":"h","server_port":1,"uuid":"U",
         "vemla_xray":{"encryption":"mlkem768x25519plus.native.0rtt.K"}})",
     R"({"tag":"v~","protocol":"vless","settings":{"vnext":[{"address":"h","port":1,
         "users":[{"id":"U","encryption":"mlkem768x25519plus.native.0rtt.K"}]}]},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"vless_packet_encoding_packetaddr",
     R"({"type":"vless","tag":"v","server":"h","server_port":1,"uuid":"U","packet_encoding":"packetaddr"})",
     nullptr, "Xray: VLESS packet_encoding packetaddr не поддерживается"},
    {"vless_highest_port_empty_packet_encoding",
     R"({"type":"vless","tag":"v","server":"h","server_port":65535,"uuid":"U","packet_encoding":""})",
     R"({"tag":"v~","protocol":"vless","settings":{"vnext":[{"address":"h","port":65535,
         "users":[{"id":"U","encryption":"none"}]}]},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"vless_packet_encoding_not_string",
     R"({"type":"vless","tag":"v","server":"h","server_port":1,"uuid":"U","packet_encoding":1})",
     R"({"tag":"v~","protocol":"vless","settings":{"vnext":[{"address":"h","port":1,
         "users":[{"id":"U","encryption":"none"}]}]},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"vless_no_uuid", R"({"type":"vless","tag":"v","server":"h","server_port":1})", nullptr,
     "Xray: не задан uuid"},
    {"vmess_defaults", R"({"type":"vmess","tag":"m","server":"h","server_port":2,"uuid":"U"})",
     R"({"tag":"m~","protocol":"vmess","settings":{"vnext":[{"address":"h","port":2,
         "users":[{"id":"U","alterId":0,"security":"auto"}]}]},"streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"vmess_alter_id_negative",
     R"({"type":"vmess","tag":"m","server":"h","server_port":2,"uuid":"U","alter_id":-1,"security":""})",
     R"({"tag":"m~","protocol":"vmess","settings":{"vnext":[{"address":"h","port":2,
         "users":[{"id":"U","alterId":0,"security":""}]}]},"streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"vmess_alter_id_fraction",
     R"({"type":"vmess","tag":"m","server":"h","server_port":2,"uuid":"U","alter_id":1.5})",
     R"({"tag":"m~","protocol":"vmess","settings":{"vnext":[{"address":"h","port":2,
         "users":[{"id":"U","alterId":0,"security":"auto"}]}]},"streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"vmess_ws_tls",
     R"({"type":"vmess","tag":"m","server":"h","server_port":443,"uuid":"U","alter_id":4,
         "security":"aes-128-gcm","flow":"ignored-on-vmess",
         "transport":{"type":"ws","path":"/ray"},"tls":{"enabled":true,"server_name":"h"}})",
     R"({"tag":"m~","protocol":"vmess","settings":{"vnext":[{"address":"h","port":443,
         "users":[{"id":"U","alterId":4,"security":"aes-128-gcm"}]}]},
         "streamSettings":{"network":"ws","security":"tls","wsSettings":{"path":"/ray"},
             "tlsSettings":{"serverName":"h","allowInsecure":false,"fingerprint":"chrome"}}})",
     nullptr},
    {"trojan",
     R"({"type":"trojan","tag":"t","server":"h","server_port":443,"password":"p","uuid":"x"})",
     R"({"tag":"t~","protocol":"trojan","settings":{"servers":[{"address":"h","port":443,"password":"p"}]},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"trojan_no_password", R"({"type":"trojan","tag":"t","server":"h","server_port":443})", nullptr,
     "Xray: не задан password"},
    {"shadowsocks_2022",
     R"({"type":"shadowsocks","tag":"ss","server":"203.0.113.7","server_port":8388,
         "method":"2022-blake3-aes-128-gcm","password":"8JCsPssfgS8tiRwiMlhARg=="})",
     R"({"tag":"ss~","protocol":"shadowsocks","settings":{"servers":[{"address":"203.0.113.7",
         "port":8388,"method":"2022-blake3-aes-128-gcm","password":"8JCsPssfgS8tiRwiMlhARg=="}]},
         "streamSettings":{"network":"tcp","security":"none"}})",
     nullptr},
    {"shadowsocks_method_before_password",
     R"({"type":"shadowsocks","tag":"ss","server":"h","server_port":1})", nullptr,
     "Xray: не задан method"},
    {"shadowsocks_no_password",
     R"({"type":"shadowsocks","tag":"ss","server":"h","server_port":1,"method":"m","password":""})",
     nullptr, "Xray: не задан password"},
    {"stream_message_passes_through",
     R"({"type":"trojan","tag":"t","server":"h","server_port":1,"password":"p","tls":{"certificate_public_key_sha256":["x"]}})",
     nullptr, "Xray: SPKI pin sing-box нельзя молча заменить проверкой сертификата"},
};
INSTANTIATE_TEST_SUITE_P(Protocols, TranslateOutbound, testing::ValuesIn(kProtocols),
                         [](const testing::TestParamInfo<OutboundCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

const OutboundCase kRefusals[] = {
    {"not_object", R"("proxy")", nullptr, "Xray: outbound должен быть объектом"},
    {"unknown_key_first_in_order", R"({"type":"vless","tag":"v","zz":1,"mux":{}})", nullptr,
     "Xray: outbound: параметр mux не поддерживается"},
    {"unknown_key_before_dial_key", R"({"bind_interface":"e","detour":"x"})", nullptr,
     "Xray: outbound: параметр detour не поддерживается"},
    {"bind_interface_null", R"({"type":"direct","tag":"d","bind_interface":null})", nullptr,
     "Xray: outbound bind_interface требует отдельного перевода"},
    {"dial_keys_in_fixed_order",
     R"({"type":"direct","tag":"d","udp_fragment":true,"connect_timeout":"5s"})", nullptr,
     "Xray: outbound connect_timeout требует отдельного перевода"},
    {"tcp_fast_open", R"({"type":"direct","tag":"d","tcp_fast_open":false})", nullptr,
     "Xray: outbound tcp_fast_open требует отдельного перевода"},
    {"tcp_multi_path", R"({"tcp_multi_path":false})", nullptr,
     "Xray: outbound tcp_multi_path требует отдельного перевода"},
    {"dial_key_before_tag", R"({"type":"direct","udp_fragment":true})", nullptr,
     "Xray: outbound udp_fragment требует отдельного перевода"},
    {"no_tag", R"({"type":"direct"})", nullptr, "Xray: не задан tag"},
    {"reserved_tag", R"({"type":"direct","tag":"vemla-api"})", nullptr,
     "Xray: недопустимый или зарезервированный tag"},
    {"tag_before_type", R"({"tag":"a~b"})", nullptr,
     "Xray: недопустимый или зарезервированный tag"},
    {"no_type", R"({"tag":"x"})", nullptr, "Xray: не задан type"},
    {"empty_type", R"({"tag":"x","type":""})", nullptr, "Xray: не задан type"},
    {"vless_no_server_before_port", R"({"type":"vless","tag":"v"})", nullptr,
     "Xray: не задан server"},
    {"port_0", R"({"type":"vless","tag":"v","server":"h","server_port":0})", nullptr,
     "Xray: server_port должен быть 1..65535"},
    {"port_65536", R"({"type":"vless","tag":"v","server":"h","server_port":65536})", nullptr,
     "Xray: server_port должен быть 1..65535"},
    {"port_negative", R"({"type":"vless","tag":"v","server":"h","server_port":-1})", nullptr,
     "Xray: server_port должен быть 1..65535"},
    {"port_fraction", R"({"type":"vless","tag":"v","server":"h","server_port":443.5})", nullptr,
     "Xray: server_port должен быть 1..65535"},
    {"port_float_integral", R"({"type":"vless","tag":"v","server":"h","server_port":443.0})",
     nullptr, "Xray: server_port должен быть 1..65535"},
    {"port_string", R"({"type":"vless","tag":"v","server":"h","server_port":"443"})", nullptr,
     "Xray: server_port должен быть 1..65535"},
    {"port_missing", R"({"type":"vless","tag":"v","server":"h"})", nullptr,
     "Xray: server_port должен быть 1..65535"},
    {"hysteria2", R"({"type":"hysteria2","tag":"h","server":"h","server_port":443,"password":"p"})",
     nullptr, "Xray-only: протокол hysteria2 не поддерживается этим компилятором"},
    {"tuic_port_first", R"({"type":"tuic","tag":"h","server":"h","uuid":"U"})", nullptr,
     "Xray: server_port должен быть 1..65535"},
    {"type_case_sensitive", R"({"type":"VLESS","tag":"v","server":"h","server_port":1,"uuid":"U"})",
     nullptr, "Xray-only: протокол VLESS не поддерживается этим компилятором"},
    {"selector_is_not_an_outbound", R"({"type":"selector","tag":"s","server":"h","server_port":1})",
     nullptr, "Xray-only: протокол selector не поддерживается этим компилятором"},
};
INSTANTIATE_TEST_SUITE_P(Refusals, TranslateOutbound, testing::ValuesIn(kRefusals),
                         [](const testing::TestParamInfo<OutboundCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

TEST(TranslateOutboundNumbers, PortsAreUnsignedIntegers) {
    const auto outbound = translate_outbound(
        Json::parse(R"({"type":"trojan","tag":"t","server":"h","server_port":443,"password":"p"})"),
        CompileSettings{});
    ASSERT_TRUE(outbound.has_value());
    EXPECT_TRUE((*outbound)["settings"]["servers"][0]["port"].is_number_unsigned());
    EXPECT_EQ(to_compact_json(*outbound),
              R"({"protocol":"trojan","settings":{"servers":[{"address":"h","password":"p",)"
              R"("port":443}]},"streamSettings":{"network":"tcp","security":"none"},"tag":"t~"})");
}

}  // namespace
}  // namespace vemla::xray_native
