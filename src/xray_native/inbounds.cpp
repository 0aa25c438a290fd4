#include "xray_native/inbounds.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

#include "xray_native/messages.h"

namespace vemla::xray_native {
namespace {

constexpr std::size_t kMinSecretBytes = 32;
constexpr std::size_t kMaxSecretBytes = 256;
constexpr std::uint32_t kMinTunMtu = 576;
constexpr std::uint32_t kMaxTunMtu = 65535;

bool is_ascii_alphanumeric(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// The API password is the only thing between a local process and the engine's control API.
bool is_safe_secret(const Json* secret) {
    if (secret == nullptr || !secret->is_string()) {
        return false;
    }
    const std::string& text = secret->get_ref<const std::string&>();
    if (text.size() < kMinSecretBytes || text.size() > kMaxSecretBytes) {
        return false;
    }
    for (char c : text) {
        if (!is_ascii_alphanumeric(c)) {
            return false;
        }
    }
    return true;
}

const Json* first_inbound_where(const Json& ir, std::string_view key, std::string_view value) {
    const Json* inbounds = find_member(ir, "inbounds");
    if (inbounds == nullptr || !inbounds->is_array()) {
        return nullptr;
    }
    for (const Json& inbound : *inbounds) {
        if (is_text(find_member(inbound, key), value)) {
            return &inbound;
        }
    }
    return nullptr;
}

bool all_cidrs(const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        if (entry.find('/') == std::string::npos || !is_ip_or_cidr(entry)) {
            return false;
        }
    }
    return true;
}

}  // namespace

Result<CompileSettings> extract_compile_settings(const Json& ir, const Json& rules_map) {
    const Json* clash_api = nullptr;
    if (const Json* experimental = find_member(ir, "experimental")) {
        clash_api = find_member(*experimental, "clash_api");
    }
    const Json* secret = clash_api != nullptr ? find_member(*clash_api, "secret") : nullptr;
    if (!is_safe_secret(secret)) {
        return fail(messages::kUnsafeApiSecret);
    }

    CompileSettings settings;
    settings.api_secret = secret->get<std::string>();
    settings.rule_sources = &rules_map;
    settings.probe_url = kDefaultProbeUrl;
    if (const Json* mode = find_member(*clash_api, "default_mode"); mode && mode->is_string()) {
        settings.mode = mode->get<std::string>();
    }

    if (const Json* tun = first_inbound_where(ir, "type", "tun")) {
        settings.tun_enabled = true;
        settings.interface_name = text_or(*tun, "interface_name", settings.interface_name);
        if (const Json* mtu = find_member(*tun, "mtu"); mtu && is_non_negative_integer(*mtu)) {
            const auto value = mtu->get<std::uint64_t>();
            if (value > std::numeric_limits<std::uint32_t>::max()) {
                return fail(messages::kBadMtu);
            }
            settings.mtu = static_cast<std::uint32_t>(value);
        }
        if (tun->contains("address")) {
            auto address = string_or_list(*tun, "address");
            if (!address) {
                return failure_of(address);
            }
            settings.tun_address = address->to_vector();
        }
    }

    if (const Json* mixed = first_inbound_where(ir, "tag", "mixed-in")) {
        const Json* port = find_member(*mixed, "listen_port");
        if (port == nullptr || !is_non_negative_integer(*port)) {
            return fail(messages::kMixedWithoutPort);
        }
        const auto value = port->get<std::uint64_t>();
        if (value > std::numeric_limits<std::uint16_t>::max()) {
            return fail(messages::kBadMixedPort);
        }
        settings.mixed_port = static_cast<std::uint16_t>(value);
    }
    return settings;
}

Check check_compile_settings(const CompileSettings& settings) {
    if (settings.api_user.empty() || settings.api_secret.size() < kMinSecretBytes) {
        return fail(messages::kWeakApiCredentials);
    }
    if (settings.api_port == 0 || settings.mixed_port == 0 ||
        settings.api_port == settings.mixed_port) {
        return fail(messages::kBadLocalPorts);
    }
    if (settings.tun_enabled) {
        if (settings.interface_name.empty() || settings.mtu < kMinTunMtu ||
            settings.mtu > kMaxTunMtu || settings.tun_address.empty() || settings.tun_dns.empty() ||
            settings.tun_routes.empty()) {
            return fail(messages::kBadTunSettings);
        }
        bool dns_ok = true;
        for (const std::string& dns : settings.tun_dns) {
            dns_ok = dns_ok && is_ip_address(dns);
        }
        if (!all_cidrs(settings.tun_address) || !all_cidrs(settings.tun_routes) || !dns_ok) {
            return fail(messages::kBadTunAddress);
        }
    }
    return {};
}

Json sniffing_object() {
    return Json{{"enabled", true},
                {"destOverride", Json::array({"http", "tls", "quic"})},
                {"routeOnly", true}};
}

namespace {

// The tags and ports taken so far; every inbound needs its own.
struct Listeners {
    std::unordered_set<std::string> tags;
    std::unordered_set<std::uint64_t> ports;
};

Json api_inbound(const CompileSettings& settings) {
    Json account{{"user", settings.api_user}, {"pass", settings.api_secret}};
    return Json{{"tag", "vemla-api-in"},
                {"listen", "127.0.0.1"},
                {"port", settings.api_port},
                {"protocol", "http"},
                {"settings", {{"accounts", Json::array({std::move(account)})}}}};
}

Json tun_inbound(const CompileSettings& settings) {
    Json tun_settings{{"name", settings.interface_name},
                      {"desc", "Vemla"},
                      {"mtu", settings.mtu},
                      {"gateway", string_array(settings.tun_address)},
                      {"dns", string_array(settings.tun_dns)},
                      {"autoSystemRoutingTable", string_array(settings.tun_routes)},
                      {"autoOutboundsInterface", "auto"},
                      {"autoSystemWfpBlockLeak", Json::array({"dns", "misconfigtun"})}};
    return Json{{"tag", "tun-in"},
                {"protocol", "tun"},
                {"settings", std::move(tun_settings)},
                {"sniffing", sniffing_object()}};
}

Json mixed_inbound(const CompileSettings& settings) {
    return Json{{"tag", "mixed-in"},
                {"listen", "127.0.0.1"},
                {"port", settings.mixed_port},
                {"protocol", "socks"},
                {"settings", {{"auth", "noauth"}, {"udp", true}}},
                {"sniffing", sniffing_object()}};
}

// The listen port of an additional inbound: 1 to 65535.
std::optional<std::uint64_t> listen_port(const Json& inbound) {
    const Json* port = find_member(inbound, "listen_port");
    if (port == nullptr || !is_non_negative_integer(*port)) {
        return std::nullopt;
    }
    const auto value = port->get<std::uint64_t>();
    if (value == 0 || value > std::numeric_limits<std::uint16_t>::max()) {
        return std::nullopt;
    }
    return value;
}

// An additional loopback proxy of the configuration, or nothing for the inbounds the service
// builds itself (TUN, and `mixed-in`, which an untagged inbound is taken for).
Result<std::optional<Json>> additional_inbound(const Json& inbound, Listeners& listeners) {
    const std::string type = text_or(inbound, "type", "");
    if (type == "tun") {
        return std::nullopt;
    }
    if (type != "mixed" && type != "socks" && type != "http") {
        return fail(messages::unsupported_inbound(type));
    }
    std::string tag = text_or(inbound, "tag", "mixed-in");
    if (tag == "mixed-in") {
        return std::nullopt;
    }
    std::string listen = text_or(inbound, "listen", "127.0.0.1");
    if (!is_ip_address(listen) || !is_loopback(listen)) {
        return fail(messages::kInboundNotLoopback);
    }
    const auto port = listen_port(inbound);
    if (!port) {
        return fail(messages::kInboundWithoutPort);
    }
    if (!listeners.tags.insert(tag).second || !listeners.ports.insert(*port).second) {
        return fail(messages::kRepeatedInbound);
    }
    return Json{{"tag", std::move(tag)},
                {"listen", std::move(listen)},
                {"port", *port},
                {"protocol", type == "http" ? "http" : "socks"},
                {"settings", {{"udp", true}}},
                {"sniffing", sniffing_object()}};
}

}  // namespace

Result<Json> build_inbounds(const Json& ir, const CompileSettings& settings) {
    Json inbounds = Json::array({api_inbound(settings)});
    Listeners listeners{{"vemla-api-in", "mixed-in"}, {settings.api_port, settings.mixed_port}};
    if (settings.tun_enabled) {
        inbounds.push_back(tun_inbound(settings));
        listeners.tags.insert("tun-in");
    }
    inbounds.push_back(mixed_inbound(settings));
    for (const Json& inbound : array_or_empty(find_member(ir, "inbounds"))) {
        auto added = additional_inbound(inbound, listeners);
        if (!added) {
            return failure_of(added);
        }
        if (*added) {
            inbounds.push_back(std::move(**added));
        }
    }
    return inbounds;
}

}  // namespace vemla::xray_native
