#include <gtest/gtest.h>

#include <string>

#include "xray_native/stream_settings.h"

namespace vemla::xray_native {
namespace {

struct StreamCase {
    const char* name;
    const char* outbound;  // the IR outbound (only its transport, tls and vemla_xray matter)
    const char* expected;  // the streamSettings object, or nullptr when `error` is expected
    const char* error;
};

class StreamSettings : public testing::TestWithParam<StreamCase> {};

TEST_P(StreamSettings, TranslatesOrRefuses) {
    const StreamCase& c = GetParam();
    const auto stream = build_stream_settings(Json::parse(c.outbound), CompileSettings{});
    if (c.expected != nullptr) {
        ASSERT_TRUE(stream.has_value()) << stream.error();
        EXPECT_EQ(*stream, Json::parse(c.expected));
    } else {
        ASSERT_FALSE(stream.has_value()) << to_compact_json(*stream);
        EXPECT_EQ(stream.error(), c.error);
    }
}

const StreamCase kTransports[] = {
    {"nothing", R"({})", R"({"network":"tcp","security":"none"})", nullptr},
    {"not_an_object", R"([1])", R"({"network":"tcp","security":"none"})", nullptr},
    {"nulls_are_absent", R"({"transport":null,"tls":null})",
     R"({"network":"tcp","security":"none"})", nullptr},
    {"tcp_ignores_the_rest", R"({"transport":{"type":"tcp","path":"/x","host":"h"}})",
     R"({"network":"tcp","security":"none"})", nullptr},
    {"raw", R"({"transport":{"type":"raw"}})", R"({"network":"tcp","security":"none"})", nullptr},
    {"ws_default_path", R"({"transport":{"type":"ws"}})",
     R"({"network":"ws","security":"none","wsSettings":{"path":"/"}})", nullptr},
    {"ws_empty_path", R"({"transport":{"type":"ws","path":""}})",
     R"({"network":"ws","security":"none","wsSettings":{"path":"/"}})", nullptr},
    {"ws_headers_copied",
     R"({"transport":{"type":"ws","path":"/ray","headers":{"Host":"a","X":"1"}}})",
     R"({"network":"ws","security":"none","wsSettings":{"path":"/ray","headers":{"Host":"a","X":"1"}}})",
     nullptr},
    {"ws_host_wins_over_header",
     R"({"transport":{"type":"ws","host":"b","headers":{"Host":"a","X":"1"}}})",
     R"({"network":"ws","security":"none","wsSettings":{"path":"/","headers":{"Host":"b","X":"1"}}})",
     nullptr},
    {"ws_host_without_headers", R"({"transport":{"type":"ws","host":"b"}})",
     R"({"network":"ws","security":"none","wsSettings":{"path":"/","headers":{"Host":"b"}}})",
     nullptr},
    {"ws_headers_not_object", R"({"transport":{"type":"ws","headers":["a"]}})", nullptr,
     "Xray: WS headers должен быть объектом"},
    {"grpc", R"({"transport":{"type":"grpc","service_name":"Tun","path":"/x","mode":"multi"}})",
     R"({"network":"grpc","security":"none","grpcSettings":{"serviceName":"Tun"}})", nullptr},
    {"grpc_no_service", R"({"transport":{"type":"grpc"}})",
     R"({"network":"grpc","security":"none","grpcSettings":{"serviceName":""}})", nullptr},
    {"grpc_idle_timeout_null", R"({"transport":{"type":"grpc","idle_timeout":null}})", nullptr,
     "Xray: нестандартные gRPC таймеры sing-box не переводятся"},
    {"grpc_ping_timeout", R"({"transport":{"type":"grpc","ping_timeout":"15s"}})", nullptr,
     "Xray: нестандартные gRPC таймеры sing-box не переводятся"},
    {"grpc_permit", R"({"transport":{"type":"grpc","permit_without_stream":false}})", nullptr,
     "Xray: нестандартные gRPC таймеры sing-box не переводятся"},
    {"xhttp_defaults", R"({"transport":{"type":"xhttp","headers":{"X":"ignored"}}})",
     R"({"network":"xhttp","security":"none","xhttpSettings":{"path":"/","mode":"auto"}})",
     nullptr},
    {"xhttp_full",
     R"({"transport":{"type":"xhttp","path":"/up","mode":"packet-up","host":"cdn.example",
         "extra":{"xPaddingBytes":"100-1000","headers":{"X":"1"},"xmux":{"maxConcurrency":"16-32"}}}})",
     R"({"network":"xhttp","security":"none","xhttpSettings":{"path":"/up","mode":"packet-up",
         "host":"cdn.example","extra":{"xPaddingBytes":"100-1000","headers":{"X":"1"},
         "xmux":{"maxConcurrency":"16-32"}}}})",
     nullptr},
    {"xhttp_extra_unknown", R"({"transport":{"type":"xhttp","extra":{"downloadSettings":{}}}})",
     nullptr, "Xray: XHTTP extra: параметр downloadSettings не поддерживается"},
    {"xhttp_extra_not_object", R"({"transport":{"type":"xhttp","extra":"x"}})", nullptr,
     "Xray: XHTTP extra должен быть объектом"},
    {"xhttp_xmux_unknown", R"({"transport":{"type":"xhttp","extra":{"xmux":{"foo":1}}}})", nullptr,
     "Xray: XHTTP xmux: параметр foo не поддерживается"},
    {"httpupgrade_empty_path_kept", R"({"transport":{"type":"httpupgrade","path":"","host":"h"}})",
     R"({"network":"httpupgrade","security":"none","httpupgradeSettings":{"path":"","host":"h"}})",
     nullptr},
    {"httpupgrade_defaults", R"({"transport":{"type":"httpupgrade","host":["h"]}})",
     R"({"network":"httpupgrade","security":"none","httpupgradeSettings":{"path":"/","host":""}})",
     nullptr},
    {"http_removed", R"({"transport":{"type":"http"}})", nullptr,
     "Xray 26.9.30: транспорт http не поддерживается (старый HTTP/H2 удалён из ядра)"},
    {"quic_removed", R"({"transport":{"type":"quic"}})", nullptr,
     "Xray 26.9.30: транспорт quic не поддерживается (старый HTTP/H2 удалён из ядра)"},
    {"transport_case_sensitive", R"({"transport":{"type":"WS"}})", nullptr,
     "Xray 26.9.30: транспорт WS не поддерживается (старый HTTP/H2 удалён из ядра)"},
    {"transport_no_type", R"({"transport":{"path":"/"}})", nullptr, "Xray: не задан type"},
    {"transport_empty_type", R"({"transport":{"type":""}})", nullptr, "Xray: не задан type"},
    {"transport_unknown_key_first", R"({"transport":{"type":"bogus","zzz":1}})", nullptr,
     "Xray: transport: параметр zzz не поддерживается"},
    {"transport_not_object", R"({"transport":"ws"})", nullptr,
     "Xray: transport должен быть объектом"},
};
INSTANTIATE_TEST_SUITE_P(Transports, StreamSettings, testing::ValuesIn(kTransports),
                         [](const testing::TestParamInfo<StreamCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

const StreamCase kSecurity[] = {
    {"tls_defaults", R"({"tls":{"enabled":true}})",
     R"({"network":"tcp","security":"tls",
         "tlsSettings":{"serverName":"","allowInsecure":false,"fingerprint":"chrome"}})",
     nullptr},
    {"tls_full",
     R"({"tls":{"enabled":true,"server_name":"a.example","insecure":true,"alpn":["h2"],
         "min_version":"1.2","max_version":"1.3"}})",
     R"({"network":"tcp","security":"tls","tlsSettings":{"serverName":"a.example",
         "allowInsecure":true,"fingerprint":"chrome","alpn":["h2"],"minVersion":"1.2",
         "maxVersion":"1.3"}})",
     nullptr},
    {"tls_insecure_must_be_true", R"({"tls":{"enabled":true,"insecure":"yes"}})",
     R"({"network":"tcp","security":"tls",
         "tlsSettings":{"serverName":"","allowInsecure":false,"fingerprint":"chrome"}})",
     nullptr},
    {"utls_fingerprint_even_when_disabled",
     R"({"tls":{"enabled":true,"utls":{"enabled":false,"fingerprint":"firefox"}}})",
     R"({"network":"tcp","security":"tls",
         "tlsSettings":{"serverName":"","allowInsecure":false,"fingerprint":"firefox"}})",
     nullptr},
    {"utls_empty_fingerprint", R"({"tls":{"enabled":true,"utls":{"fingerprint":""}}})",
     R"({"network":"tcp","security":"tls",
         "tlsSettings":{"serverName":"","allowInsecure":false,"fingerprint":"chrome"}})",
     nullptr},
    {"utls_null", R"({"tls":{"enabled":true,"utls":null}})", nullptr,
     "Xray: uTLS должен быть объектом"},
    {"utls_unknown", R"({"tls":{"enabled":true,"utls":{"x":1}}})", nullptr,
     "Xray: uTLS: параметр x не поддерживается"},
    {"tls_disabled", R"({"tls":{"enabled":false,"server_name":"a.example"}})",
     R"({"network":"tcp","security":"none"})", nullptr},
    {"tls_enabled_not_boolean", R"({"tls":{"enabled":"true"}})",
     R"({"network":"tcp","security":"none"})", nullptr},
    {"pin_refused_even_disabled", R"({"tls":{"enabled":false,"certificate_public_key_sha256":[]}})",
     nullptr, "Xray: SPKI pin sing-box нельзя молча заменить проверкой сертификата"},
    {"tls_unknown", R"({"tls":{"enabled":true,"ech":{}}})", nullptr,
     "Xray: TLS: параметр ech не поддерживается"},
    {"tls_not_object", R"({"tls":true})", nullptr, "Xray: TLS должен быть объектом"},
    {"reality_on_tcp",
     R"({"tls":{"enabled":true,"server_name":"www.microsoft.com","insecure":true,"alpn":["h2"],
         "utls":{"fingerprint":"safari"},"reality":{"enabled":true,"public_key":"K","short_id":"ab"}}})",
     R"({"network":"tcp","security":"reality","realitySettings":{"serverName":"www.microsoft.com",
         "publicKey":"K","shortId":"ab","fingerprint":"safari"}})",
     nullptr},
    {"reality_whatever_tls_enabled_says",
     R"({"tls":{"enabled":false,"server_name":"s","reality":{"enabled":true,"public_key":"K"}}})",
     R"({"network":"tcp","security":"reality","realitySettings":{"serverName":"s",
         "publicKey":"K","shortId":"","fingerprint":"chrome"}})",
     nullptr},
    {"reality_on_grpc",
     R"({"transport":{"type":"grpc","service_name":"g"},
         "tls":{"server_name":"s","reality":{"enabled":true,"public_key":"K"}}})",
     R"({"network":"grpc","security":"reality","grpcSettings":{"serviceName":"g"},
         "realitySettings":{"serverName":"s","publicKey":"K","shortId":"","fingerprint":"chrome"}})",
     nullptr},
    {"reality_on_xhttp",
     R"({"transport":{"type":"xhttp"},
         "tls":{"server_name":"s","reality":{"enabled":true,"public_key":"K"}}})",
     R"({"network":"xhttp","security":"reality","xhttpSettings":{"path":"/","mode":"auto"},
         "realitySettings":{"serverName":"s","publicKey":"K","shortId":"","fingerprint":"chrome"}})",
     nullptr},
    {"reality_on_ws",
     R"({"transport":{"type":"ws"},"tls":{"server_name":"s","reality":{"enabled":true,"public_key":"K"}}})",
     nullptr, "Xray: REALITY поддерживает только TCP, gRPC и XHTTP"},
    {"reality_on_httpupgrade",
     R"({"transport":{"type":"httpupgrade"},
         "tls":{"server_name":"s","reality":{"enabled":true,"public_key":"K"}}})",
     nullptr, "Xray: REALITY поддерживает только TCP, gRPC и XHTTP"},
    {"reality_without_server_name", R"({"tls":{"reality":{"enabled":true,"public_key":"K"}}})",
     nullptr, "Xray: не задан server_name"},
    {"reality_without_public_key", R"({"tls":{"server_name":"s","reality":{"enabled":true}}})",
     nullptr, "Xray: не задан public_key"},
    {"reality_unknown_key", R"({"tls":{"reality":{"enabled":true,"max_time_difference":"1m"}}})",
     nullptr, "Xray: REALITY: параметр max_time_difference не поддерживается"},
    {"reality_disabled_not_read",
     R"({"tls":{"enabled":true,"reality":{"enabled":false,"anything":1}}})",
     R"({"network":"tcp","security":"tls",
         "tlsSettings":{"serverName":"","allowInsecure":false,"fingerprint":"chrome"}})",
     nullptr},
    {"reality_not_object_ignored", R"({"tls":{"enabled":true,"reality":true}})",
     R"({"network":"tcp","security":"tls",
         "tlsSettings":{"serverName":"","allowInsecure":false,"fingerprint":"chrome"}})",
     nullptr},
    {"extras_encryption_only", R"({"vemla_xray":{"encryption":"none"}})",
     R"({"network":"tcp","security":"none"})", nullptr},
    {"extras_null", R"({"vemla_xray":null})", nullptr, "Xray: vemla_xray должен быть объектом"},
    {"extras_finalmask", R"({"vemla_xray":{"finalmask":null}})", nullptr,
     "Xray: FinalMask пока не поддерживается безопасным компилятором"},
    {"extras_unknown", R"({"vemla_xray":{"mux":{}}})", nullptr,
     "Xray: vemla_xray: параметр mux не поддерживается"},
    {"transport_checked_before_tls",
     R"({"transport":{"type":"h2"},"tls":{"certificate_public_key_sha256":[]}})", nullptr,
     "Xray 26.9.30: транспорт h2 не поддерживается (старый HTTP/H2 удалён из ядра)"},
};
INSTANTIATE_TEST_SUITE_P(Security, StreamSettings, testing::ValuesIn(kSecurity),
                         [](const testing::TestParamInfo<StreamCase>& case_info) {
                             return std::string(case_info.param.name);
                         });

}  // namespace
}  // namespace vemla::xray_native
