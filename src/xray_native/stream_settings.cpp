#include "xray_native/stream_settings.h"

namespace vemla::xray_native {
namespace {

// The member, unless it is absent or null: both mean "not configured".
const Json* configured(const Json& object, std::string_view key) {
    const Json* member = member_or_null(object, key);
    return member != nullptr && !member->is_null() ? member : nullptr;
}

std::string non_empty_text_or(const Json& object, std::string_view key, const char* fallback) {
    const Json* member = member_or_null(object, key);
    if (member != nullptr && member->is_string() &&
        !member->get_ref<const std::string&>().empty()) {
        return member->get<std::string>();
    }
    return fallback;
}

std::string text_or(const Json& object, std::string_view key, const char* fallback) {
    const Json* member = member_or_null(object, key);
    return member != nullptr && member->is_string() ? member->get<std::string>() : fallback;
}

Check add_transport(const Json& transport, Json& stream) {
    if (auto ok = check_keys(transport,
                             {"type", "path", "host", "headers", "service_name", "mode", "extra",
                              "idle_timeout", "ping_timeout", "permit_without_stream"},
                             "transport");
        !ok) {
        return ok;
    }
    auto type = read_required_text(transport, "type");
    if (!type) {
        return std::unexpected(std::move(type.error()));
    }
    if (*type == "tcp" || *type == "raw") {
        return {};
    }
    if (*type == "ws") {
        Json ws{{"path", non_empty_text_or(transport, "path", "/")}};
        if (const Json* headers = member_or_null(transport, "headers")) {
            if (!headers->is_object()) {
                return std::unexpected("Xray: WS headers должен быть объектом");
            }
            ws["headers"] = *headers;
        }
        if (const Json* host = member_or_null(transport, "host")) {
            ws["headers"]["Host"] = *host;
        }
        stream["network"] = "ws";
        stream["wsSettings"] = std::move(ws);
        return {};
    }
    if (*type == "grpc") {
        // sing-box's keepalive timers have no counterpart with the same meaning.
        for (const char* timer : {"idle_timeout", "ping_timeout", "permit_without_stream"}) {
            if (transport.contains(timer)) {
                return std::unexpected("Xray: нестандартные gRPC таймеры sing-box не переводятся");
            }
        }
        stream["network"] = "grpc";
        stream["grpcSettings"] = Json{{"serviceName", text_or(transport, "service_name", "")}};
        return {};
    }
    if (*type == "xhttp") {
        Json xhttp{{"path", non_empty_text_or(transport, "path", "/")},
                   {"mode", non_empty_text_or(transport, "mode", "auto")}};
        if (const Json* host = member_or_null(transport, "host")) {
            xhttp["host"] = *host;
        }
        if (const Json* extra = member_or_null(transport, "extra")) {
            if (auto ok =
                    check_keys(*extra,
                               {"noGRPCHeader", "noSSEHeader", "xPaddingBytes",
                                "scMaxEachPostBytes", "scMinPostsIntervalMs", "scMaxBufferedPosts",
                                "scStreamUpServerSecs", "xmux", "headers"},
                               "XHTTP extra");
                !ok) {
                return ok;
            }
            if (const Json* xmux = member_or_null(*extra, "xmux")) {
                if (auto ok =
                        check_keys(*xmux,
                                   {"maxConcurrency", "maxConnections", "cMaxReuseTimes",
                                    "hMaxRequestTimes", "hMaxReusableSecs", "hKeepAlivePeriod"},
                                   "XHTTP xmux");
                    !ok) {
                    return ok;
                }
            }
            xhttp["extra"] = *extra;
        }
        stream["network"] = "xhttp";
        stream["xhttpSettings"] = std::move(xhttp);
        return {};
    }
    if (*type == "httpupgrade") {
        stream["network"] = "httpupgrade";
        stream["httpupgradeSettings"] = Json{{"path", text_or(transport, "path", "/")},
                                             {"host", text_or(transport, "host", "")}};
        return {};
    }
    return std::unexpected("Xray 26.9.30: транспорт " + *type +
                           " не поддерживается (старый HTTP/H2 удалён из ядра)");
}

bool is_true(const Json* value) {
    return value != nullptr && value->is_boolean() && value->get<bool>();
}

Check add_security(const Json& tls, Json& stream) {
    if (auto ok = check_keys(tls,
                             {"enabled", "server_name", "insecure", "alpn", "min_version",
                              "max_version", "utls", "reality", "certificate_public_key_sha256"},
                             "TLS");
        !ok) {
        return ok;
    }
    // A pinned key cannot become an ordinary certificate check without weakening it.
    if (tls.contains("certificate_public_key_sha256")) {
        return std::unexpected(
            "Xray: SPKI pin sing-box нельзя молча заменить проверкой сертификата");
    }
    std::string fingerprint = "chrome";
    if (const Json* utls = member_or_null(tls, "utls")) {
        if (auto ok = check_keys(*utls, {"enabled", "fingerprint"}, "uTLS"); !ok) {
            return ok;
        }
        fingerprint = non_empty_text_or(*utls, "fingerprint", "chrome");
    }

    const Json* reality = member_or_null(tls, "reality");
    if (reality != nullptr && reality->is_object() &&
        is_true(member_or_null(*reality, "enabled"))) {
        if (auto ok = check_keys(*reality, {"enabled", "public_key", "short_id"}, "REALITY"); !ok) {
            return ok;
        }
        const std::string& network = stream["network"].get_ref<const std::string&>();
        if (network != "tcp" && network != "grpc" && network != "xhttp") {
            return std::unexpected("Xray: REALITY поддерживает только TCP, gRPC и XHTTP");
        }
        auto server_name = read_required_text(tls, "server_name");
        if (!server_name) {
            return std::unexpected(std::move(server_name.error()));
        }
        auto public_key = read_required_text(*reality, "public_key");
        if (!public_key) {
            return std::unexpected(std::move(public_key.error()));
        }
        stream["security"] = "reality";
        stream["realitySettings"] = Json{{"serverName", std::move(*server_name)},
                                         {"publicKey", std::move(*public_key)},
                                         {"shortId", text_or(*reality, "short_id", "")},
                                         {"fingerprint", std::move(fingerprint)}};
        return {};
    }

    if (is_true(member_or_null(tls, "enabled"))) {
        Json settings{{"serverName", text_or(tls, "server_name", "")},
                      {"allowInsecure", is_true(member_or_null(tls, "insecure"))},
                      {"fingerprint", std::move(fingerprint)}};
        for (const auto& [from, to] :
             {std::pair{"alpn", "alpn"}, std::pair{"min_version", "minVersion"},
              std::pair{"max_version", "maxVersion"}}) {
            if (const Json* value = member_or_null(tls, from)) {
                settings[to] = *value;
            }
        }
        stream["security"] = "tls";
        stream["tlsSettings"] = std::move(settings);
    }
    return {};
}

}  // namespace

Result<Json> build_stream_settings(const Json& ir_outbound, const CompileSettings& settings) {
    static_cast<void>(settings);  // every translator takes the same inputs; this one needs none
    Json stream{{"network", "tcp"}, {"security", "none"}};
    if (!ir_outbound.is_object()) {
        return stream;
    }
    if (const Json* transport = configured(ir_outbound, "transport")) {
        if (auto ok = add_transport(*transport, stream); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
    }
    if (const Json* tls = configured(ir_outbound, "tls")) {
        if (auto ok = add_security(*tls, stream); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
    }
    if (const Json* extras = member_or_null(ir_outbound, "vemla_xray")) {
        if (auto ok = check_keys(*extras, {"encryption", "finalmask"}, "vemla_xray"); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        if (extras->contains("finalmask")) {
            return std::unexpected(
                "Xray: FinalMask пока не поддерживается безопасным компилятором");
        }
    }
    return stream;
}

}  // namespace vemla::xray_native
