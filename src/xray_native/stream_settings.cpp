#include "xray_native/stream_settings.h"

#include <utility>

#include "helper_protocol/config_keys.h"
#include "xray_native/messages.h"

namespace vemla::xray_native {
namespace {

using helper_protocol::kRealityKeys;
using helper_protocol::kTlsKeys;
using helper_protocol::kTransportExtraKeys;
using helper_protocol::kTransportKeys;
using helper_protocol::kUtlsKeys;
using helper_protocol::kXmuxKeys;

// sing-box's gRPC keepalive timers have no counterpart with the same meaning.
constexpr std::string_view kGrpcTimers[] = {"idle_timeout", "ping_timeout",
                                            "permit_without_stream"};

Check add_ws(const Json& transport, Json& stream) {
    Json ws{{"path", non_empty_text_or(transport, "path", "/")}};
    if (const Json* headers = find_member(transport, "headers")) {
        if (!headers->is_object()) {
            return fail(messages::kWsHeadersNotObject);
        }
        ws["headers"] = *headers;
    }
    if (const Json* host = find_member(transport, "host")) {
        ws["headers"]["Host"] = *host;
    }
    stream["network"] = "ws";
    stream["wsSettings"] = std::move(ws);
    return {};
}

Check add_grpc(const Json& transport, Json& stream) {
    for (std::string_view timer : kGrpcTimers) {
        if (transport.contains(timer)) {
            return fail(messages::kGrpcTimers);
        }
    }
    stream["network"] = "grpc";
    stream["grpcSettings"] = Json{{"serviceName", text_or(transport, "service_name", "")}};
    return {};
}

Check check_xhttp_extra(const Json& extra) {
    if (auto checked = check_keys(extra, kTransportExtraKeys, "XHTTP extra"); !checked) {
        return checked;
    }
    if (const Json* xmux = find_member(extra, "xmux")) {
        return check_keys(*xmux, kXmuxKeys, "XHTTP xmux");
    }
    return {};
}

Check add_xhttp(const Json& transport, Json& stream) {
    Json xhttp{{"path", non_empty_text_or(transport, "path", "/")},
               {"mode", non_empty_text_or(transport, "mode", "auto")}};
    if (const Json* host = find_member(transport, "host")) {
        xhttp["host"] = *host;
    }
    if (const Json* extra = find_member(transport, "extra")) {
        if (auto checked = check_xhttp_extra(*extra); !checked) {
            return checked;
        }
        xhttp["extra"] = *extra;
    }
    stream["network"] = "xhttp";
    stream["xhttpSettings"] = std::move(xhttp);
    return {};
}

Check add_httpupgrade(const Json& transport, Json& stream) {
    stream["network"] = "httpupgrade";
    stream["httpupgradeSettings"] =
        Json{{"path", text_or(transport, "path", "/")}, {"host", text_or(transport, "host", "")}};
    return {};
}

Check add_transport(const Json& transport, Json& stream) {
    if (auto checked = check_keys(transport, kTransportKeys, "transport"); !checked) {
        return checked;
    }
    auto type = read_required_text(transport, "type");
    if (!type) {
        return failure_of(type);
    }
    if (*type == "tcp" || *type == "raw") {
        return {};
    }
    if (*type == "ws") {
        return add_ws(transport, stream);
    }
    if (*type == "grpc") {
        return add_grpc(transport, stream);
    }
    if (*type == "xhttp") {
        return add_xhttp(transport, stream);
    }
    if (*type == "httpupgrade") {
        return add_httpupgrade(transport, stream);
    }
    return fail(messages::unsupported_transport(*type));
}

Check add_reality(const Json& tls, const Json& reality, std::string fingerprint, Json& stream) {
    if (auto checked = check_keys(reality, kRealityKeys, "REALITY"); !checked) {
        return checked;
    }
    const std::string& network = stream["network"].get_ref<const std::string&>();
    if (network != "tcp" && network != "grpc" && network != "xhttp") {
        return fail(messages::kRealityTransport);
    }
    auto server_name = read_required_text(tls, "server_name");
    if (!server_name) {
        return failure_of(server_name);
    }
    auto public_key = read_required_text(reality, "public_key");
    if (!public_key) {
        return failure_of(public_key);
    }
    stream["security"] = "reality";
    stream["realitySettings"] = Json{{"serverName", std::move(*server_name)},
                                     {"publicKey", std::move(*public_key)},
                                     {"shortId", text_or(reality, "short_id", "")},
                                     {"fingerprint", std::move(fingerprint)}};
    return {};
}

void add_tls(const Json& tls, std::string fingerprint, Json& stream) {
    Json settings{{"serverName", text_or(tls, "server_name", "")},
                  {"allowInsecure", is_true(find_member(tls, "insecure"))},
                  {"fingerprint", std::move(fingerprint)}};
    for (const auto& [from, to] :
         {std::pair{"alpn", "alpn"}, std::pair{"min_version", "minVersion"},
          std::pair{"max_version", "maxVersion"}}) {
        if (const Json* value = find_member(tls, from)) {
            settings[to] = *value;
        }
    }
    stream["security"] = "tls";
    stream["tlsSettings"] = std::move(settings);
}

Check add_security(const Json& tls, Json& stream) {
    if (auto checked = check_keys(tls, kTlsKeys, "TLS"); !checked) {
        return checked;
    }
    // A pinned key cannot become an ordinary certificate check without weakening it.
    if (tls.contains("certificate_public_key_sha256")) {
        return fail(messages::kPinnedKey);
    }
    std::string fingerprint = "chrome";
    if (const Json* utls = find_member(tls, "utls")) {
        if (auto checked = check_keys(*utls, kUtlsKeys, "uTLS"); !checked) {
            return checked;
        }
        fingerprint = non_empty_text_or(*utls, "fingerprint", "chrome");
    }
    const Json* reality = find_member(tls, "reality");
    if (reality != nullptr && is_true(find_member(*reality, "enabled"))) {
        return add_reality(tls, *reality, std::move(fingerprint), stream);
    }
    if (is_true(find_member(tls, "enabled"))) {
        add_tls(tls, std::move(fingerprint), stream);
    }
    return {};
}

Check check_extras(const Json& extras) {
    if (auto checked = check_keys(extras, {"encryption", "finalmask"}, "vemla_xray"); !checked) {
        return checked;
    }
    if (extras.contains("finalmask")) {
        return fail(messages::kFinalMask);
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
    if (const Json* transport = configured_member(ir_outbound, "transport")) {
        if (auto added = add_transport(*transport, stream); !added) {
            return failure_of(added);
        }
    }
    if (const Json* tls = configured_member(ir_outbound, "tls")) {
        if (auto added = add_security(*tls, stream); !added) {
            return failure_of(added);
        }
    }
    if (const Json* extras = find_member(ir_outbound, "vemla_xray")) {
        if (auto checked = check_extras(*extras); !checked) {
            return failure_of(checked);
        }
    }
    return stream;
}

}  // namespace vemla::xray_native
