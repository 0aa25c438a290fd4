#include "xray_native/outbounds.h"

#include <cstdint>

#include "xray_native/stream_settings.h"

namespace vemla::xray_native {
namespace {

// Dial options that change how the connection leaves the machine; each needs a translation of
// its own, so none is carried over quietly.
constexpr std::string_view kDialKeys[] = {"connect_timeout", "tcp_fast_open", "tcp_multi_path",
                                          "udp_fragment", "bind_interface"};

Result<std::uint64_t> read_server_port(const Json& outbound) {
    const Json* port = member_or_null(outbound, "server_port");
    if (port == nullptr || !is_non_negative_integer(*port) || port->get<std::uint64_t>() == 0 ||
        port->get<std::uint64_t>() > 65535) {
        return std::unexpected("Xray: server_port должен быть 1..65535");
    }
    return port->get<std::uint64_t>();
}

std::string transport_type(const Json& outbound) {
    const Json* transport = member_or_null(outbound, "transport");
    const Json* type = transport != nullptr ? member_or_null(*transport, "type") : nullptr;
    return type != nullptr && type->is_string() ? type->get<std::string>() : "tcp";
}

Result<Json> vless_user(const Json& outbound) {
    auto uuid = read_required_text(outbound, "uuid");
    if (!uuid) {
        return std::unexpected(std::move(uuid.error()));
    }
    std::string encryption = "none";
    if (const Json* extras = member_or_null(outbound, "vemla_xray")) {
        if (const Json* value = member_or_null(*extras, "encryption");
            value && value->is_string()) {
            encryption = value->get<std::string>();
        }
    }
    Json user{{"id", std::move(*uuid)}, {"encryption", std::move(encryption)}};
    if (const Json* flow = member_or_null(outbound, "flow");
        flow != nullptr && flow->is_string() && !flow->get_ref<const std::string&>().empty()) {
        const std::string transport = transport_type(outbound);
        if (transport != "tcp" && transport != "raw") {
            return std::unexpected("Xray: VLESS flow допускается только на TCP");
        }
        user["flow"] = *flow;
    }
    if (const Json* encoding = member_or_null(outbound, "packet_encoding");
        encoding != nullptr && encoding->is_string()) {
        const std::string& value = encoding->get_ref<const std::string&>();
        if (!value.empty() && value != "xudp") {
            return std::unexpected("Xray: VLESS packet_encoding " + value + " не поддерживается");
        }
    }
    return user;
}

Result<Json> vmess_user(const Json& outbound) {
    auto uuid = read_required_text(outbound, "uuid");
    if (!uuid) {
        return std::unexpected(std::move(uuid.error()));
    }
    std::uint64_t alter_id = 0;
    if (const Json* value = member_or_null(outbound, "alter_id");
        value != nullptr && is_non_negative_integer(*value)) {
        alter_id = value->get<std::uint64_t>();
    }
    std::string security = "auto";
    if (const Json* value = member_or_null(outbound, "security"); value && value->is_string()) {
        security = value->get<std::string>();
    }
    return Json{{"id", std::move(*uuid)}, {"alterId", alter_id}, {"security", std::move(security)}};
}

Result<Json> protocol_settings(const std::string& type, const Json& outbound, std::string server,
                               std::uint64_t port) {
    if (type == "shadowsocks") {
        auto method = read_required_text(outbound, "method");
        if (!method) {
            return std::unexpected(std::move(method.error()));
        }
        auto password = read_required_text(outbound, "password");
        if (!password) {
            return std::unexpected(std::move(password.error()));
        }
        return Json{{"servers", Json::array({Json{{"address", std::move(server)},
                                                  {"port", port},
                                                  {"method", std::move(*method)},
                                                  {"password", std::move(*password)}}})}};
    }
    if (type == "trojan") {
        auto password = read_required_text(outbound, "password");
        if (!password) {
            return std::unexpected(std::move(password.error()));
        }
        return Json{{"servers", Json::array({Json{{"address", std::move(server)},
                                                  {"port", port},
                                                  {"password", std::move(*password)}}})}};
    }
    Result<Json> user = std::unexpected(std::string());
    if (type == "vmess") {
        user = vmess_user(outbound);
    } else if (type == "vless") {
        user = vless_user(outbound);
    } else {
        return std::unexpected("Xray-only: протокол " + type +
                               " не поддерживается этим компилятором");
    }
    if (!user) {
        return user;
    }
    return Json{{"vnext", Json::array({Json{{"address", std::move(server)},
                                            {"port", port},
                                            {"users", Json::array({std::move(*user)})}}})}};
}

}  // namespace

Result<Json> translate_outbound(const Json& ir_outbound, const CompileSettings& settings) {
    if (auto ok = check_keys(ir_outbound,
                             {"type",
                              "tag",
                              "server",
                              "server_port",
                              "uuid",
                              "password",
                              "method",
                              "flow",
                              "security",
                              "alter_id",
                              "network",
                              "packet_encoding",
                              "tls",
                              "transport",
                              "vemla_xray",
                              "domain_resolver",
                              "connect_timeout",
                              "tcp_fast_open",
                              "tcp_multi_path",
                              "udp_fragment",
                              "bind_interface"},
                             "outbound");
        !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    for (std::string_view key : kDialKeys) {
        if (ir_outbound.contains(key)) {
            return std::unexpected("Xray: outbound " + std::string(key) +
                                   " требует отдельного перевода");
        }
    }
    auto tag = read_tag(ir_outbound);
    if (!tag) {
        return std::unexpected(std::move(tag.error()));
    }
    auto type = read_required_text(ir_outbound, "type");
    if (!type) {
        return std::unexpected(std::move(type.error()));
    }

    Json outbound{{"tag", *tag + "~"}, {"settings", Json::object()}};
    if (*type == "dns" || *type == "block" || *type == "direct") {
        outbound["protocol"] = *type == "dns" ? "dns" : *type == "block" ? "blackhole" : "freedom";
        if (*type == "direct") {
            auto stream = build_stream_settings(ir_outbound, settings);
            if (!stream) {
                return stream;
            }
            outbound["streamSettings"] = std::move(*stream);
        }
        return outbound;
    }

    auto server = read_required_text(ir_outbound, "server");
    if (!server) {
        return std::unexpected(std::move(server.error()));
    }
    const auto port = read_server_port(ir_outbound);
    if (!port) {
        return std::unexpected(port.error());
    }
    auto protocol = protocol_settings(*type, ir_outbound, std::move(*server), *port);
    if (!protocol) {
        return protocol;
    }
    auto stream = build_stream_settings(ir_outbound, settings);
    if (!stream) {
        return stream;
    }
    outbound["protocol"] = std::move(*type);
    outbound["settings"] = std::move(*protocol);
    outbound["streamSettings"] = std::move(*stream);
    return outbound;
}

}  // namespace vemla::xray_native
