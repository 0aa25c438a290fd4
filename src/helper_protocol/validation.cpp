#include "helper_protocol/validation.h"

#include "helper_protocol/constants.h"

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <utility>

namespace vemla::helper_protocol {
namespace {

const KeyList kRootKeys = {"log", "dns", "inbounds", "outbounds", "route", "experimental"};
const KeyList kLogKeys = {"level", "timestamp", "disabled"};
const KeyList kInboundKeys = {"type",         "tag",   "interface_name",
                              "address",      "mtu",   "auto_route",
                              "strict_route", "stack", "listen",
                              "listen_port",  "sniff", "sniff_override_destination"};
const KeyList kDnsKeys = {"servers",        "final",         "rules",          "timeout",
                          "strategy",       "disable_cache", "disable_expire", "independent_cache",
                          "reverse_mapping"};
const KeyList kDnsServerKeys = {"tag",  "type",   "server",          "server_port",
                                "path", "detour", "domain_resolver", "tls"};
const KeyList kDomainResolverKeys = {"server", "strategy", "disable_cache", "rewrite_ttl",
                                     "client_subnet"};
const KeyList kDnsRuleKeys = {"clash_mode",    "query_type", "action",        "server",
                              "tag",           "timeout",    "disable_cache", "match_response",
                              "ip_accept_any", "race",       "speculative",   "domain",
                              "domain_suffix", "rule_set",   "outbound"};
const KeyList kRouteKeys = {
    "rules",       "rule_set", "final", "auto_detect_interface", "default_domain_resolver",
    "find_process"};
const KeyList kHeadlessRuleKeys = {"domain",
                                   "domain_suffix",
                                   "domain_keyword",
                                   "domain_regex",
                                   "ip_cidr",
                                   "source_ip_cidr",
                                   "ip_is_private",
                                   "source_ip_is_private",
                                   "port",
                                   "port_range",
                                   "source_port",
                                   "source_port_range",
                                   "process_name",
                                   "process_path",
                                   "process_path_regex",
                                   "network",
                                   "protocol",
                                   "inbound",
                                   "rule_set",
                                   "clash_mode",
                                   "invert",
                                   "type",
                                   "mode",
                                   "rules"};
// Route rules may also carry what a rule does, besides what it matches.
const KeyList kRouteOnlyRuleKeys = {"action", "outbound", "timeout", "strategy"};
const KeyList kRuleSetEntryKeys = {
    "type", "tag", "format", "path", "url", "download_detour", "update_interval"};
const KeyList kExperimentalKeys = {"clash_api"};
const KeyList kClashApiKeys = {"external_controller", "secret", "default_mode"};
const KeyList kOutboundKeys = {"type",
                               "tag",
                               "server",
                               "server_port",
                               "uuid",
                               "password",
                               "method",
                               "username",
                               "version",
                               "alter_id",
                               "security",
                               "flow",
                               "packet_encoding",
                               "network",
                               "tls",
                               "transport",
                               "vemla_xray",
                               "domain_resolver",
                               "outbounds",
                               "default",
                               "url",
                               "interval",
                               "idle_timeout",
                               "tolerance",
                               "interrupt_exist_connections",
                               "up_mbps",
                               "down_mbps",
                               "obfs",
                               "congestion_control",
                               "udp_relay_mode",
                               "zero_rtt_handshake",
                               "heartbeat"};
const KeyList kObfsKeys = {"type", "password"};
const KeyList kVemlaXrayKeys = {"encryption"};
const KeyList kTransportKeys = {
    "type", "path",  "host",         "headers",      "service_name",
    "mode", "extra", "idle_timeout", "ping_timeout", "permit_without_stream"};
const KeyList kTransportExtraKeys = {"noGRPCHeader",
                                     "noSSEHeader",
                                     "xPaddingBytes",
                                     "scMaxEachPostBytes",
                                     "scMinPostsIntervalMs",
                                     "scMaxBufferedPosts",
                                     "scStreamUpServerSecs",
                                     "xmux",
                                     "headers"};
const KeyList kXmuxKeys = {"maxConcurrency",   "maxConnections",   "cMaxReuseTimes",
                           "hMaxRequestTimes", "hMaxReusableSecs", "hKeepAlivePeriod"};
const KeyList kTlsKeys = {"enabled", "server_name", "insecure",
                          "alpn",    "min_version", "max_version",
                          "utls",    "reality",     "certificate_public_key_sha256"};
const KeyList kUtlsKeys = {"enabled", "fingerprint"};
const KeyList kRealityKeys = {"enabled", "public_key", "short_id"};
const KeyList kRuleSourceKeys = {"version", "rules"};

constexpr std::string_view kInboundTypes[] = {"tun", "mixed"};
constexpr std::string_view kDnsServerTypes[] = {"udp", "tcp", "tls", "local", "https"};
constexpr std::string_view kOutboundTypes[] = {"direct", "socks",    "http",   "shadowsocks",
                                               "vmess",  "vless",    "trojan", "hysteria2",
                                               "tuic",   "selector", "urltest"};
constexpr std::string_view kRouteActions[] = {"route", "sniff", "reject", "resolve", "hijack-dns"};
constexpr std::string_view kTransportTypes[] = {"ws", "http", "grpc", "xhttp", "httpupgrade"};

constexpr std::uint64_t kMinTunMtu = 576;
constexpr std::uint64_t kMaxTunMtu = 9000;
constexpr std::uint64_t kDefaultTunMtu = 1500;
constexpr std::uint64_t kMinListenPort = 1024;
constexpr std::uint64_t kMaxListenPort = 65535;
constexpr std::size_t kMaxCertificatePins = 8;
constexpr std::size_t kMinApiSecretBytes = 24;

template <std::size_t N>
bool is_one_of(const Json& value, const std::string_view (&accepted)[N]) {
    if (!value.is_string()) {
        return false;
    }
    const auto& text = value.get_ref<const std::string&>();
    return std::ranges::find(accepted, std::string_view(text)) != std::end(accepted);
}

bool is_string_equal(const Json& value, std::string_view expected) {
    return value.is_string() && value.get_ref<const std::string&>() == expected;
}

// Looks a member up without inserting it; null when absent or when `object` is no object.
const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) {
        return nullptr;
    }
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::unexpected<std::string> fail(std::string message) {
    return std::unexpected(std::move(message));
}

Check check_string_map(const Json* map, std::string_view not_object, std::string_view not_text) {
    if (map == nullptr) {
        return {};
    }
    if (!map->is_object()) {
        return fail(std::string(not_object));
    }
    for (const auto& item : map->items()) {
        if (!item.value().is_string()) {
            return fail(std::string(not_text));
        }
    }
    return {};
}

bool is_base64_sha256(std::string_view pin) {
    constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    // With 32 bytes the last sextet carries only four data bits; the two low bits must be zero.
    constexpr std::string_view kLastSextet = "AEIMQUYcgkosw048";
    if (pin.size() != 44 || pin[43] != '=') {
        return false;
    }
    for (std::size_t i = 0; i < 43; ++i) {
        if (kAlphabet.find(pin[i]) == std::string_view::npos) {
            return false;
        }
    }
    return kLastSextet.find(pin[42]) != std::string_view::npos;
}

std::expected<std::string, std::string> path_text(const std::filesystem::path& path) {
    try {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    } catch (const std::exception&) {
        return fail("Service directory path is not representable as text");
    }
}

// The helper's directories are Windows paths; joining by hand keeps the canonical entries the
// same text whichever build computes them.
std::expected<std::string, std::string> join_windows_path(
    const std::filesystem::path& directory, std::initializer_list<std::string_view> parts) {
    auto text = path_text(directory);
    if (!text) {
        return text;
    }
    for (const std::string_view part : parts) {
        if (!text->empty() && text->back() != '\\' && text->back() != '/') {
            text->push_back('\\');
        }
        text->append(part);
    }
    return text;
}

Json canonical_log() {
    return Json{{"level", "warn"}, {"timestamp", true}};
}

Json canonical_tun_inbound(std::uint64_t mtu) {
    return Json{{"type", "tun"},
                {"tag", "tun-in"},
                {"interface_name", kTunInterfaceName},
                {"address", Json::array({kTunAddress})},
                {"mtu", mtu},
                {"auto_route", true},
                {"strict_route", true},
                {"stack", "mixed"}};
}

Check validate_inbounds(Json& configuration) {
    Json* inbounds = configuration.contains("inbounds") ? &configuration["inbounds"] : nullptr;
    if (inbounds == nullptr || !inbounds->is_array()) {
        return fail("Missing inbounds");
    }
    std::size_t tun_count = 0;
    for (Json& inbound : *inbounds) {
        if (auto ok = check_allowed_keys(inbound, kInboundKeys); !ok) {
            return ok;
        }
        const Json* type = member(inbound, "type");
        if (type == nullptr || !is_one_of(*type, kInboundTypes)) {
            return fail("Unsupported privileged inbound");
        }
        if (is_string_equal(*type, "tun")) {
            std::uint64_t mtu = kDefaultTunMtu;
            if (const Json* given = member(inbound, "mtu");
                given != nullptr && is_non_negative_integer(*given)) {
                mtu = given->get<std::uint64_t>();
                if (mtu < kMinTunMtu || mtu > kMaxTunMtu) {
                    return fail("Invalid TUN MTU");
                }
            }
            inbound = canonical_tun_inbound(mtu);
            ++tun_count;
        } else {
            const Json* listen = member(inbound, "listen");
            const Json* port = member(inbound, "listen_port");
            if (listen == nullptr || !is_string_equal(*listen, "127.0.0.1") || port == nullptr ||
                !is_non_negative_integer(*port) || port->get<std::uint64_t>() < kMinListenPort ||
                port->get<std::uint64_t>() > kMaxListenPort) {
                return fail("Only unprivileged loopback listeners are allowed");
            }
        }
    }
    if (tun_count != 1) {
        return fail("Exactly one Vemla TUN is required");
    }
    return {};
}

Check validate_dns(const Json& configuration) {
    static const Json kMissing;
    const Json* dns = member(configuration, "dns");
    if (auto ok = check_allowed_keys(dns ? *dns : kMissing, kDnsKeys); !ok) {
        return ok;
    }
    const Json* servers = member(*dns, "servers");
    if (servers == nullptr || !servers->is_array()) {
        return fail("Missing DNS servers");
    }
    for (const Json& server : *servers) {
        if (auto ok = check_allowed_keys(server, kDnsServerKeys); !ok) {
            return ok;
        }
        const Json* type = member(server, "type");
        if (type == nullptr || !is_one_of(*type, kDnsServerTypes)) {
            return fail("Unsupported DNS server");
        }
        if (const Json* tls = member(server, "tls")) {
            if (auto ok = validate_tls(*tls); !ok) {
                return ok;
            }
        }
        if (const Json* resolver = member(server, "domain_resolver")) {
            if (auto ok = check_allowed_keys(*resolver, kDomainResolverKeys); !ok) {
                return ok;
            }
        }
    }
    if (const Json* rules = member(*dns, "rules"); rules != nullptr && rules->is_array()) {
        for (const Json& rule : *rules) {
            if (auto ok = check_allowed_keys(rule, kDnsRuleKeys); !ok) {
                return ok;
            }
        }
    }
    return {};
}

Check validate_route_rules(const Json& route) {
    if (const Json* resolver = member(route, "default_domain_resolver")) {
        if (auto ok = check_allowed_keys(*resolver, kDomainResolverKeys); !ok) {
            return ok;
        }
    }
    const Json* rules = member(route, "rules");
    if (rules == nullptr || !rules->is_array()) {
        return fail("Missing route rules");
    }
    for (const Json& rule : *rules) {
        if (auto ok = validate_rule(rule, true); !ok) {
            return ok;
        }
    }
    return {};
}

Check normalise_rule_sets(Json& route, const Json& rules_map,
                          const std::filesystem::path& installation_directory,
                          const std::filesystem::path& rule_directory) {
    Json* entries = route.contains("rule_set") ? &route["rule_set"] : nullptr;
    if (entries == nullptr || !entries->is_array()) {
        return fail("Missing rule sets");
    }
    std::unordered_set<std::string> seen;
    for (Json& entry : *entries) {
        if (auto ok = check_allowed_keys(entry, kRuleSetEntryKeys); !ok) {
            return ok;
        }
        const Json* tag_value = member(entry, "tag");
        if (tag_value == nullptr || !tag_value->is_string()) {
            return fail("Missing rule tag");
        }
        std::string tag = tag_value->get<std::string>();
        if (!is_valid_rule_tag(tag) || !seen.insert(tag).second) {
            return fail("Invalid or duplicate rule tag");
        }
        std::expected<std::string, std::string> path;
        if (rules_map.contains(tag)) {
            path = join_windows_path(rule_directory, {"rule-" + tag + ".json"});
        } else if (is_built_in_rule_source(tag)) {
            path = join_windows_path(installation_directory, {"rules", tag + ".json"});
        } else {
            return fail("Missing safe rule source: " + tag);
        }
        if (!path) {
            return fail(std::move(path.error()));
        }
        entry = Json{{"type", "local"},
                     {"tag", std::move(tag)},
                     {"format", "source"},
                     {"path", std::move(*path)}};
    }
    for (const auto& item : rules_map.items()) {
        if (!seen.contains(item.key())) {
            return fail("Unreferenced rule source");
        }
    }
    return {};
}

Check validate_control_api(const Json& configuration) {
    static const Json kMissing;
    const Json* experimental = member(configuration, "experimental");
    if (auto ok = check_allowed_keys(experimental ? *experimental : kMissing, kExperimentalKeys);
        !ok) {
        return ok;
    }
    const Json* clash_api = member(*experimental, "clash_api");
    if (auto ok = check_allowed_keys(clash_api ? *clash_api : kMissing, kClashApiKeys); !ok) {
        return ok;
    }
    const Json* controller = member(*clash_api, "external_controller");
    const Json* secret = member(*clash_api, "secret");
    if (controller == nullptr || !is_string_equal(*controller, "127.0.0.1:9097") ||
        secret == nullptr || !secret->is_string() ||
        secret->get_ref<const std::string&>().size() < kMinApiSecretBytes) {
        return fail("Authenticated loopback API required");
    }
    return {};
}

}  // namespace

bool is_built_in_rule_source(std::string_view tag) {
    return std::ranges::find(kBuiltInRuleSources, tag) != std::end(kBuiltInRuleSources);
}

Check check_value_limits(const Json& value, std::size_t depth) {
    if (depth > kMaxValueDepth) {
        return fail("Configuration is too deeply nested");
    }
    switch (value.type()) {
        case Json::value_t::string: {
            const auto& text = value.get_ref<const std::string&>();
            if (text.size() > kMaxStringBytes || text.find('\0') != std::string::npos) {
                return fail("Invalid or oversized string");
            }
            return {};
        }
        case Json::value_t::array:
            if (value.size() > kMaxArrayElements) {
                return fail("Too many entries");
            }
            for (const Json& element : value) {
                if (auto ok = check_value_limits(element, depth + 1); !ok) {
                    return ok;
                }
            }
            return {};
        case Json::value_t::object:
            if (value.size() > kMaxObjectMembers) {
                return fail("Too many fields");
            }
            for (const Json& element : value) {
                if (auto ok = check_value_limits(element, depth + 1); !ok) {
                    return ok;
                }
            }
            return {};
        default:
            return {};
    }
}

Check check_allowed_keys(const Json& value, KeyList keys, KeyList more_keys) {
    if (!value.is_object()) {
        return fail("Expected an object");
    }
    for (const auto& item : value.items()) {
        const std::string_view key = item.key();
        if (std::ranges::find(keys, key) == keys.end() &&
            std::ranges::find(more_keys, key) == more_keys.end()) {
            return fail("Unsupported privileged option: " + item.key());
        }
    }
    return {};
}

Check validate_rule(const Json& rule, bool route) {
    if (auto ok =
            check_allowed_keys(rule, kHeadlessRuleKeys, route ? kRouteOnlyRuleKeys : KeyList{});
        !ok) {
        return ok;
    }
    if (const Json* action = member(rule, "action");
        action != nullptr && !is_one_of(*action, kRouteActions)) {
        return fail("Unsupported route action");
    }
    if (const Json* nested = member(rule, "rules")) {
        if (!nested->is_array()) {
            return fail("rules must be array");
        }
        for (const Json& element : *nested) {
            if (auto ok = validate_rule(element, route); !ok) {
                return ok;
            }
        }
    }
    return {};
}

Check validate_tls(const Json& tls) {
    if (auto ok = check_allowed_keys(tls, kTlsKeys); !ok) {
        return ok;
    }
    if (const Json* pins = member(tls, "certificate_public_key_sha256")) {
        if (!pins->is_array()) {
            return fail("Certificate pins must be an array");
        }
        if (pins->empty() || pins->size() > kMaxCertificatePins) {
            return fail("Invalid certificate pin policy");
        }
        if (const Json* insecure = member(tls, "insecure");
            insecure != nullptr && !(insecure->is_boolean() && !insecure->get<bool>())) {
            return fail("Invalid certificate pin policy");
        }
        for (const Json& pin : *pins) {
            if (!pin.is_string()) {
                return fail("Certificate pin must be text");
            }
            if (!is_base64_sha256(pin.get_ref<const std::string&>())) {
                return fail("Invalid SHA-256 public key pin");
            }
        }
    }
    if (const Json* utls = member(tls, "utls")) {
        if (auto ok = check_allowed_keys(*utls, kUtlsKeys); !ok) {
            return ok;
        }
    }
    if (const Json* reality = member(tls, "reality")) {
        if (auto ok = check_allowed_keys(*reality, kRealityKeys); !ok) {
            return ok;
        }
    }
    return {};
}

Check validate_outbound(const Json& outbound) {
    if (auto ok = check_allowed_keys(outbound, kOutboundKeys); !ok) {
        return ok;
    }
    const Json* type = member(outbound, "type");
    if (type == nullptr || !is_one_of(*type, kOutboundTypes)) {
        return fail("Unsupported outbound type");
    }
    if (const Json* idle = member(outbound, "idle_timeout")) {
        if (!is_string_equal(*type, "urltest") || !idle->is_string() ||
            !is_duration_text(idle->get_ref<const std::string&>())) {
            return fail("URLTest idle timeout must be a duration string");
        }
    }
    if (const Json* tls = member(outbound, "tls")) {
        if (auto ok = validate_tls(*tls); !ok) {
            return ok;
        }
    }
    if (const Json* obfs = member(outbound, "obfs")) {
        if (auto ok = check_allowed_keys(*obfs, kObfsKeys); !ok) {
            return ok;
        }
    }
    if (const Json* resolver = member(outbound, "domain_resolver")) {
        if (auto ok = check_allowed_keys(*resolver, kDomainResolverKeys); !ok) {
            return ok;
        }
    }
    if (const Json* xray = member(outbound, "vemla_xray")) {
        if (auto ok = check_allowed_keys(*xray, kVemlaXrayKeys); !ok) {
            return ok;
        }
        const Json* encryption = member(*xray, "encryption");
        if (encryption == nullptr || !encryption->is_string()) {
            return fail("VLESS encryption must be text");
        }
    }
    if (const Json* transport = member(outbound, "transport")) {
        if (auto ok = check_allowed_keys(*transport, kTransportKeys); !ok) {
            return ok;
        }
        const Json* transport_type = member(*transport, "type");
        if (transport_type == nullptr || !is_one_of(*transport_type, kTransportTypes)) {
            return fail("Unsupported transport");
        }
        if (const Json* extra = member(*transport, "extra")) {
            if (auto ok = check_allowed_keys(*extra, kTransportExtraKeys); !ok) {
                return ok;
            }
            if (const Json* xmux = member(*extra, "xmux")) {
                if (auto ok = check_allowed_keys(*xmux, kXmuxKeys); !ok) {
                    return ok;
                }
            }
            if (auto ok =
                    check_string_map(member(*extra, "headers"), "XHTTP headers must be object",
                                     "XHTTP header must be text");
                !ok) {
                return ok;
            }
        }
        if (auto ok = check_string_map(member(*transport, "headers"), "Headers must be object",
                                       "Header must be text");
            !ok) {
            return ok;
        }
    }
    return {};
}

bool is_valid_rule_tag(std::string_view text) {
    if (text.empty() || text.size() > 80) {
        return false;
    }
    return std::ranges::all_of(text, [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    });
}

bool is_duration_text(std::string_view text) {
    if (text.empty() || text.size() > 32 || text[0] < '0' || text[0] > '9') {
        return false;
    }
    return std::ranges::all_of(text.substr(1), [](char c) {
        return (c >= '0' && c <= '9') || c == 'h' || c == 'm' || c == 'n' || c == 's' || c == 'u' ||
               c == '.';
    });
}

Check validate_rule_source(const Json& document) {
    if (compact_json_size(document) > kMaxRuleSourceBytes) {
        return fail("Rule source exceeds 8 MiB");
    }
    if (auto ok = check_value_limits(document, 0); !ok) {
        return ok;
    }
    if (auto ok = check_allowed_keys(document, kRuleSourceKeys); !ok) {
        return ok;
    }
    const Json* version = member(document, "version");
    if (version == nullptr || !is_non_negative_integer(*version) ||
        version->get<std::uint64_t>() < 1 || version->get<std::uint64_t>() > 4) {
        return fail("Unsupported rule source version");
    }
    const Json* rules = member(document, "rules");
    if (rules == nullptr || !rules->is_array()) {
        return fail("Missing rule source array");
    }
    for (const Json& rule : *rules) {
        if (auto ok = validate_rule(rule, false); !ok) {
            return ok;
        }
    }
    return {};
}

std::expected<Json, std::string> validate_privileged_config(
    Json configuration, const Json& rules, const std::filesystem::path& installation_directory,
    const std::filesystem::path& rule_directory) {
    if (auto ok = check_value_limits(configuration, 0); !ok) {
        return fail(std::move(ok.error()));
    }
    if (auto ok = check_allowed_keys(configuration, kRootKeys); !ok) {
        return fail(std::move(ok.error()));
    }
    if (compact_json_size(rules) > kMaxRulesMapBytes) {
        return fail("Combined rule sources exceed 12 MiB");
    }
    if (!rules.is_object()) {
        return fail("rules must be a tag/document object");
    }
    if (rules.size() > kMaxRuleSources) {
        return fail("Too many rule sources");
    }
    for (const auto& item : rules.items()) {
        if (!is_valid_rule_tag(item.key())) {
            return fail("Invalid rule tag");
        }
        if (auto ok = validate_rule_source(item.value()); !ok) {
            return fail(std::move(ok.error()));
        }
    }

    if (const Json* log = member(configuration, "log")) {
        if (auto ok = check_allowed_keys(*log, kLogKeys); !ok) {
            return fail(std::move(ok.error()));
        }
    }
    configuration["log"] = canonical_log();

    if (auto ok = validate_inbounds(configuration); !ok) {
        return fail(std::move(ok.error()));
    }

    const Json* outbounds = member(configuration, "outbounds");
    if (outbounds == nullptr || !outbounds->is_array()) {
        return fail("Missing outbounds");
    }
    for (const Json& outbound : *outbounds) {
        if (auto ok = validate_outbound(outbound); !ok) {
            return fail(std::move(ok.error()));
        }
    }

    if (auto ok = validate_dns(configuration); !ok) {
        return fail(std::move(ok.error()));
    }

    static const Json kMissing;
    const Json* route = member(configuration, "route");
    if (auto ok = check_allowed_keys(route ? *route : kMissing, kRouteKeys); !ok) {
        return fail(std::move(ok.error()));
    }
    if (auto ok = validate_route_rules(*route); !ok) {
        return fail(std::move(ok.error()));
    }
    if (auto ok = normalise_rule_sets(configuration["route"], rules, installation_directory,
                                      rule_directory);
        !ok) {
        return fail(std::move(ok.error()));
    }

    if (auto ok = validate_control_api(configuration); !ok) {
        return fail(std::move(ok.error()));
    }
    return configuration;
}

}  // namespace vemla::helper_protocol
