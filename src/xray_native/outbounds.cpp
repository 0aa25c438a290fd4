#include "xray_native/outbounds.h"

#include <cstdint>

#include "xray_native/messages.h"
#include "xray_native/stream_settings.h"

namespace vemla::xray_native {
namespace {

// Dial options that change how the connection leaves the machine; each needs a translation of
// its own, so none is carried over quietly.
constexpr std::string_view kDialKeys[] = {"connect_timeout", "tcp_fast_open", "tcp_multi_path",
                                          "udp_fragment", "bind_interface"};

Result<std::uint64_t> read_server_port(const Json& outbound) {
    const Json* port = find_member(outbound, "server_port");
    if (port == nullptr || !is_non_negative_integer(*port) || port->get<std::uint64_t>() == 0 ||
        port->get<std::uint64_t>() > 65535) {
        return fail(messages::kBadServerPort);
    }
    return port->get<std::uint64_t>();
}

std::string transport_type(const Json& outbound) {
    const Json* transport = find_member(outbound, "transport");
    return transport != nullptr ? text_or(*transport, "type", "tcp") : "tcp";
}

Result<Json> vless_user(const Json& outbound) {
    auto uuid = read_required_text(outbound, "uuid");
    if (!uuid) {
        return failure_of(uuid);
    }
    const Json* extras = find_member(outbound, "vemla_xray");
    Json user{{"id", std::move(*uuid)},
              {"encryption", extras != nullptr ? text_or(*extras, "encryption", "none") : "none"}};
    if (const std::string* flow = as_text(find_member(outbound, "flow"));
        flow != nullptr && !flow->empty()) {
        const std::string transport = transport_type(outbound);
        if (transport != "tcp" && transport != "raw") {
            return fail(messages::kFlowNeedsTcp);
        }
        user["flow"] = *flow;
    }
    if (const std::string* encoding = as_text(find_member(outbound, "packet_encoding"));
        encoding != nullptr && !encoding->empty() && *encoding != "xudp") {
        return fail(messages::unsupported_packet_encoding(*encoding));
    }
    return user;
}

Result<Json> vmess_user(const Json& outbound) {
    auto uuid = read_required_text(outbound, "uuid");
    if (!uuid) {
        return failure_of(uuid);
    }
    std::uint64_t alter_id = 0;
    if (const Json* value = find_member(outbound, "alter_id");
        value != nullptr && is_non_negative_integer(*value)) {
        alter_id = value->get<std::uint64_t>();
    }
    return Json{{"id", std::move(*uuid)},
                {"alterId", alter_id},
                {"security", text_or(outbound, "security", "auto")}};
}

Result<Json> protocol_settings(const std::string& type, const Json& outbound, std::string server,
                               std::uint64_t port) {
    if (type == "shadowsocks") {
        auto method = read_required_text(outbound, "method");
        if (!method) {
            return failure_of(method);
        }
        auto password = read_required_text(outbound, "password");
        if (!password) {
            return failure_of(password);
        }
        return Json{{"servers", Json::array({Json{{"address", std::move(server)},
                                                  {"port", port},
                                                  {"method", std::move(*method)},
                                                  {"password", std::move(*password)}}})}};
    }
    if (type == "trojan") {
        auto password = read_required_text(outbound, "password");
        if (!password) {
            return failure_of(password);
        }
        return Json{{"servers", Json::array({Json{{"address", std::move(server)},
                                                  {"port", port},
                                                  {"password", std::move(*password)}}})}};
    }
    if (type != "vmess" && type != "vless") {
        return fail(messages::unsupported_protocol(type));
    }
    auto user = type == "vmess" ? vmess_user(outbound) : vless_user(outbound);
    if (!user) {
        return user;
    }
    return Json{{"vnext", Json::array({Json{{"address", std::move(server)},
                                            {"port", port},
                                            {"users", Json::array({std::move(*user)})}}})}};
}

}  // namespace

namespace {

const KeyList kOutboundKeys = {"type",
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
                               "bind_interface"};

// The keys an outbound may carry, and none of the dial options.
Check check_outbound_keys(const Json& ir_outbound) {
    if (auto checked = check_keys(ir_outbound, kOutboundKeys, "outbound"); !checked) {
        return checked;
    }
    for (std::string_view key : kDialKeys) {
        if (ir_outbound.contains(key)) {
            return fail(messages::untranslated_dial_option(key));
        }
    }
    return {};
}

// `direct`, `block` and `dns`: no server, and a stream only for `direct`.
Result<Json> built_in_outbound(const Json& ir_outbound, const std::string& type, Json outbound,
                               const CompileSettings& settings) {
    outbound["protocol"] = type == "dns" ? "dns" : type == "block" ? "blackhole" : "freedom";
    if (type == "direct") {
        auto stream = build_stream_settings(ir_outbound, settings);
        if (!stream) {
            return stream;
        }
        outbound["streamSettings"] = std::move(*stream);
    }
    return outbound;
}

Result<Json> proxy_outbound(const Json& ir_outbound, std::string type, Json outbound,
                            const CompileSettings& settings) {
    auto server = read_required_text(ir_outbound, "server");
    if (!server) {
        return failure_of(server);
    }
    auto port = read_server_port(ir_outbound);
    if (!port) {
        return failure_of(port);
    }
    auto protocol = protocol_settings(type, ir_outbound, std::move(*server), *port);
    if (!protocol) {
        return protocol;
    }
    auto stream = build_stream_settings(ir_outbound, settings);
    if (!stream) {
        return stream;
    }
    outbound["protocol"] = std::move(type);
    outbound["settings"] = std::move(*protocol);
    outbound["streamSettings"] = std::move(*stream);
    return outbound;
}

}  // namespace

Result<Json> translate_outbound(const Json& ir_outbound, const CompileSettings& settings) {
    if (auto checked = check_outbound_keys(ir_outbound); !checked) {
        return failure_of(checked);
    }
    auto tag = read_tag(ir_outbound);
    if (!tag) {
        return failure_of(tag);
    }
    auto type = read_required_text(ir_outbound, "type");
    if (!type) {
        return failure_of(type);
    }
    Json outbound{{"tag", *tag + "~"}, {"settings", Json::object()}};
    if (*type == "dns" || *type == "block" || *type == "direct") {
        return built_in_outbound(ir_outbound, *type, std::move(outbound), settings);
    }
    return proxy_outbound(ir_outbound, std::move(*type), std::move(outbound), settings);
}

}  // namespace vemla::xray_native
