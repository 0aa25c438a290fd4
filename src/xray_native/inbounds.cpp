#include "xray_native/inbounds.h"

#include <cstdint>
#include <limits>
#include <unordered_set>

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
    const Json* inbounds = member_or_null(ir, "inbounds");
    if (inbounds == nullptr || !inbounds->is_array()) {
        return nullptr;
    }
    for (const Json& inbound : *inbounds) {
        const Json* member = member_or_null(inbound, key);
        if (member != nullptr && member->is_string() &&
            member->get_ref<const std::string&>() == value) {
            return &inbound;
        }
    }
    return nullptr;
}

std::string string_member_or(const Json& object, std::string_view key, std::string fallback) {
    const Json* member = member_or_null(object, key);
    return member != nullptr && member->is_string() ? member->get<std::string>()
                                                    : std::move(fallback);
}

bool all_cidrs(const std::vector<std::string>& entries) {
    for (const std::string& entry : entries) {
        if (entry.find('/') == std::string::npos || !is_ip_or_cidr(entry)) {
            return false;
        }
    }
    return true;
}

Json string_array(const std::vector<std::string>& entries) {
    Json array = Json::array();
    for (const std::string& entry : entries) {
        array.push_back(entry);
    }
    return array;
}

}  // namespace

Result<CompileSettings> extract_compile_settings(const Json& ir, const Json& rules_map) {
    const Json* clash_api = nullptr;
    if (const Json* experimental = member_or_null(ir, "experimental")) {
        clash_api = member_or_null(*experimental, "clash_api");
    }
    const Json* secret = clash_api != nullptr ? member_or_null(*clash_api, "secret") : nullptr;
    if (!is_safe_secret(secret)) {
        return std::unexpected("Xray: IR не содержит безопасный случайный API secret");
    }

    CompileSettings settings;
    settings.api_secret = secret->get<std::string>();
    settings.rule_sources = &rules_map;
    settings.probe_url = kDefaultProbeUrl;
    if (const Json* mode = member_or_null(*clash_api, "default_mode"); mode && mode->is_string()) {
        settings.mode = mode->get<std::string>();
    }

    if (const Json* tun = first_inbound_where(ir, "type", "tun")) {
        settings.tun_enabled = true;
        settings.interface_name =
            string_member_or(*tun, "interface_name", std::move(settings.interface_name));
        if (const Json* mtu = member_or_null(*tun, "mtu"); mtu && is_non_negative_integer(*mtu)) {
            const auto value = mtu->get<std::uint64_t>();
            if (value > std::numeric_limits<std::uint32_t>::max()) {
                return std::unexpected("Xray: неверный MTU");
            }
            settings.mtu = static_cast<std::uint32_t>(value);
        }
        if (tun->contains("address")) {
            auto address = string_or_list(*tun, "address");
            if (!address) {
                return std::unexpected(std::move(address.error()));
            }
            settings.tun_address = std::move(*address);
        }
    }

    if (const Json* mixed = first_inbound_where(ir, "tag", "mixed-in")) {
        const Json* port = member_or_null(*mixed, "listen_port");
        if (port == nullptr || !is_non_negative_integer(*port)) {
            return std::unexpected("Xray: mixed-in без listen_port");
        }
        const auto value = port->get<std::uint64_t>();
        if (value > std::numeric_limits<std::uint16_t>::max()) {
            return std::unexpected("Xray: неверный mixed port");
        }
        settings.mixed_port = static_cast<std::uint16_t>(value);
    }
    return settings;
}

Check check_compile_settings(const CompileSettings& settings) {
    if (settings.api_user.empty() || settings.api_secret.size() < kMinSecretBytes) {
        return std::unexpected("Xray: нужны API user и случайный пароль не короче 32 символов");
    }
    if (settings.api_port == 0 || settings.mixed_port == 0 ||
        settings.api_port == settings.mixed_port) {
        return std::unexpected("Xray: локальные порты должны быть ненулевыми и разными");
    }
    if (settings.tun_enabled) {
        if (settings.interface_name.empty() || settings.mtu < kMinTunMtu ||
            settings.mtu > kMaxTunMtu || settings.tun_address.empty() || settings.tun_dns.empty() ||
            settings.tun_routes.empty()) {
            return std::unexpected("Xray: неполная или неверная настройка TUN");
        }
        bool dns_ok = true;
        for (const std::string& dns : settings.tun_dns) {
            dns_ok = dns_ok && is_ip_address(dns);
        }
        if (!all_cidrs(settings.tun_address) || !all_cidrs(settings.tun_routes) || !dns_ok) {
            return std::unexpected("Xray: неверный адрес/CIDR TUN");
        }
    }
    return {};
}

Json sniffing_object() {
    return Json{{"enabled", true},
                {"destOverride", Json::array({"http", "tls", "quic"})},
                {"routeOnly", true}};
}

Result<Json> build_inbounds(const Json& ir, const CompileSettings& settings) {
    Json inbounds = Json::array();
    std::unordered_set<std::string> tags;
    std::unordered_set<std::uint64_t> ports;

    Json api_account{{"user", settings.api_user}, {"pass", settings.api_secret}};
    inbounds.push_back(Json{{"tag", "vemla-api-in"},
                            {"listen", "127.0.0.1"},
                            {"port", settings.api_port},
                            {"protocol", "http"},
                            {"settings", {{"accounts", Json::array({std::move(api_account)})}}}});
    tags.insert("vemla-api-in");
    ports.insert(settings.api_port);

    if (settings.tun_enabled) {
        Json tun_settings{{"name", settings.interface_name},
                          {"desc", "Vemla"},
                          {"mtu", settings.mtu},
                          {"gateway", string_array(settings.tun_address)},
                          {"dns", string_array(settings.tun_dns)},
                          {"autoSystemRoutingTable", string_array(settings.tun_routes)},
                          {"autoOutboundsInterface", "auto"},
                          {"autoSystemWfpBlockLeak", Json::array({"dns", "misconfigtun"})}};
        inbounds.push_back(Json{{"tag", "tun-in"},
                                {"protocol", "tun"},
                                {"settings", std::move(tun_settings)},
                                {"sniffing", sniffing_object()}});
        tags.insert("tun-in");
    }

    inbounds.push_back(Json{{"tag", "mixed-in"},
                            {"listen", "127.0.0.1"},
                            {"port", settings.mixed_port},
                            {"protocol", "socks"},
                            {"settings", {{"auth", "noauth"}, {"udp", true}}},
                            {"sniffing", sniffing_object()}});
    tags.insert("mixed-in");
    ports.insert(settings.mixed_port);

    const Json* additional = member_or_null(ir, "inbounds");
    if (additional == nullptr || !additional->is_array()) {
        return inbounds;
    }
    for (const Json& inbound : *additional) {
        const std::string type = string_member_or(inbound, "type", "");
        if (type == "tun") {
            continue;
        }
        if (type != "mixed" && type != "socks" && type != "http") {
            return std::unexpected("Xray: вход " + type + " не поддерживается");
        }
        std::string tag = string_member_or(inbound, "tag", "mixed-in");
        if (tag == "mixed-in") {
            continue;
        }
        std::string listen = string_member_or(inbound, "listen", "127.0.0.1");
        if (!is_ip_address(listen) || !is_loopback(listen)) {
            return std::unexpected("Xray: дополнительные входы должны слушать loopback");
        }
        const Json* port_value = member_or_null(inbound, "listen_port");
        if (port_value == nullptr || !is_non_negative_integer(*port_value) ||
            port_value->get<std::uint64_t>() == 0 ||
            port_value->get<std::uint64_t>() > std::numeric_limits<std::uint16_t>::max()) {
            return std::unexpected("Xray: дополнительный вход без порта");
        }
        const auto port = port_value->get<std::uint64_t>();
        if (tags.contains(tag) || ports.contains(port)) {
            return std::unexpected("Xray: повторный tag или port входа");
        }
        tags.insert(tag);
        ports.insert(port);
        inbounds.push_back(Json{{"tag", std::move(tag)},
                                {"listen", std::move(listen)},
                                {"port", port},
                                {"protocol", type == "http" ? "http" : "socks"},
                                {"settings", {{"udp", true}}},
                                {"sniffing", sniffing_object()}});
    }
    return inbounds;
}

}  // namespace vemla::xray_native
