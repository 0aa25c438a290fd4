#include "helper_protocol/validation.h"

#include "helper_protocol/config_keys.h"
#include "helper_protocol/constants.h"
#include "helper_protocol/messages.h"

#include <algorithm>
#include <cstdint>
#include <system_error>
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
bool is_one_of(const Json* value, const std::string_view (&accepted)[N]) {
    const std::string* text = as_text(value);
    return text != nullptr &&
           std::ranges::find(accepted, std::string_view(*text)) != std::end(accepted);
}

// Runs `check` on the member `key` when it is present.
template <class CheckMember>
Check if_present(const Json& object, std::string_view key, CheckMember check) {
    const Json* member = find_member(object, key);
    return member != nullptr ? check(*member) : Check{};
}

Check keys_if_present(const Json& object, std::string_view key, KeyList keys) {
    return if_present(object, key,
                      [keys](const Json& member) { return check_allowed_keys(member, keys); });
}

// `list` must be an array, else `not_array`; each element passes `check`, in order.
template <class CheckElement>
Check check_each(const Json* list, std::string_view not_array, CheckElement check) {
    if (list == nullptr || !list->is_array()) {
        return fail(not_array);
    }
    for (const Json& element : *list) {
        if (auto checked = check(element); !checked) {
            return checked;
        }
    }
    return {};
}

// An object whose members are all strings.
Check check_string_map(const Json& map, std::string_view not_object, std::string_view not_text) {
    if (!map.is_object()) {
        return fail(not_object);
    }
    for (const auto& item : map.items()) {
        if (!item.value().is_string()) {
            return fail(not_text);
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

Result<std::string> path_text(const std::filesystem::path& path) {
    try {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    } catch (const std::system_error&) {
        // Only the conversion's own failure: running short of memory is not a property of the
        // path.
        return fail(messages::kPathNotText);
    }
}

// The helper's directories are Windows paths; joining by hand keeps the canonical entries the
// same text whichever build computes them.
Result<std::string> join_windows_path(const std::filesystem::path& directory,
                                      std::initializer_list<std::string_view> parts) {
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

// A TUN inbound becomes the canonical one; only its MTU is the client's.
Check normalise_tun_inbound(Json& inbound) {
    std::uint64_t mtu = kDefaultTunMtu;
    if (const Json* given = find_member(inbound, "mtu");
        given != nullptr && is_non_negative_integer(*given)) {
        mtu = given->get<std::uint64_t>();
        if (mtu < kMinTunMtu || mtu > kMaxTunMtu) {
            return fail(messages::kBadTunMtu);
        }
    }
    inbound = canonical_tun_inbound(mtu);
    return {};
}

Check check_mixed_inbound(const Json& inbound) {
    const Json* port = find_member(inbound, "listen_port");
    if (!is_text(find_member(inbound, "listen"), "127.0.0.1") || port == nullptr ||
        !is_non_negative_integer(*port) || port->get<std::uint64_t>() < kMinListenPort ||
        port->get<std::uint64_t>() > kMaxListenPort) {
        return fail(messages::kNotLoopbackListener);
    }
    return {};
}

Check validate_inbounds(Json& configuration) {
    Json* inbounds = configuration.contains("inbounds") ? &configuration["inbounds"] : nullptr;
    if (inbounds == nullptr || !inbounds->is_array()) {
        return fail(messages::kMissingInbounds);
    }
    std::size_t tun_count = 0;
    for (Json& inbound : *inbounds) {
        if (auto checked = check_allowed_keys(inbound, kInboundKeys); !checked) {
            return checked;
        }
        const Json* type = find_member(inbound, "type");
        if (!is_one_of(type, kInboundTypes)) {
            return fail(messages::kUnsupportedInbound);
        }
        const bool tun = is_text(type, "tun");
        auto checked = tun ? normalise_tun_inbound(inbound) : check_mixed_inbound(inbound);
        if (!checked) {
            return checked;
        }
        tun_count += tun ? 1 : 0;
    }
    if (tun_count != 1) {
        return fail(messages::kNotOneTun);
    }
    return {};
}

Check validate_outbounds(const Json& configuration) {
    return check_each(find_member(configuration, "outbounds"), messages::kMissingOutbounds,
                      validate_outbound);
}

// A member that must be an object with allowed keys; a missing one is not an object.
Check check_required_keys(const Json& object, std::string_view key, KeyList keys) {
    static const Json kMissing;
    const Json* member = find_member(object, key);
    return check_allowed_keys(member != nullptr ? *member : kMissing, keys);
}

Check validate_dns_server(const Json& server) {
    return check_in_order(
        [&] { return check_allowed_keys(server, kDnsServerKeys); },
        [&] {
            return is_one_of(find_member(server, "type"), kDnsServerTypes)
                       ? Check{}
                       : fail(messages::kUnsupportedDnsServer);
        },
        [&] { return if_present(server, "tls", validate_tls); },
        [&] { return keys_if_present(server, "domain_resolver", kDomainResolverKeys); });
}

Check validate_dns(const Json& configuration) {
    if (auto checked = check_required_keys(configuration, "dns", kDnsKeys); !checked) {
        return checked;
    }
    const Json& dns = configuration.at("dns");
    if (auto checked = check_each(find_member(dns, "servers"), messages::kMissingDnsServers,
                                  validate_dns_server);
        !checked) {
        return checked;
    }
    // DNS rules that are not a list are not looked at: the compiler refuses what it cannot read.
    if (const Json* rules = find_member(dns, "rules"); rules != nullptr && rules->is_array()) {
        for (const Json& rule : *rules) {
            if (auto checked = check_allowed_keys(rule, kDnsRuleKeys); !checked) {
                return checked;
            }
        }
    }
    return {};
}

Check validate_route_rules(const Json& route) {
    if (auto checked = keys_if_present(route, "default_domain_resolver", kDomainResolverKeys);
        !checked) {
        return checked;
    }
    return check_each(find_member(route, "rules"), messages::kMissingRouteRules,
                      [](const Json& rule) { return validate_rule(rule, true); });
}

// Where the service keeps the rule source of `tag`: the client's own in the rule directory,
// else a built-in one in the installation.
Result<std::string> rule_source_path(const std::string& tag, const Json& rules_map,
                                     const std::filesystem::path& installation_directory,
                                     const std::filesystem::path& rule_directory) {
    if (rules_map.contains(tag)) {
        return join_windows_path(rule_directory, {"rule-" + tag + ".json"});
    }
    if (is_built_in_rule_source(tag)) {
        return join_windows_path(installation_directory, {"rules", tag + ".json"});
    }
    return fail(messages::missing_safe_rule_source(tag));
}

Result<std::string> rule_set_entry_tag(const Json& entry, std::unordered_set<std::string>& seen) {
    if (auto checked = check_allowed_keys(entry, kRuleSetEntryKeys); !checked) {
        return failure_of(checked);
    }
    const std::string* tag = as_text(find_member(entry, "tag"));
    if (tag == nullptr) {
        return fail(messages::kMissingRuleTag);
    }
    if (!is_valid_rule_tag(*tag) || !seen.insert(*tag).second) {
        return fail(messages::kBadOrRepeatedRuleTag);
    }
    return *tag;
}

Check normalise_rule_sets(Json& route, const Json& rules_map,
                          const std::filesystem::path& installation_directory,
                          const std::filesystem::path& rule_directory) {
    Json* entries = route.contains("rule_set") ? &route["rule_set"] : nullptr;
    if (entries == nullptr || !entries->is_array()) {
        return fail(messages::kMissingRuleSets);
    }
    std::unordered_set<std::string> seen;
    for (Json& entry : *entries) {
        auto tag = rule_set_entry_tag(entry, seen);
        if (!tag) {
            return failure_of(tag);
        }
        auto path = rule_source_path(*tag, rules_map, installation_directory, rule_directory);
        if (!path) {
            return failure_of(path);
        }
        entry = Json{{"type", "local"},
                     {"tag", std::move(*tag)},
                     {"format", "source"},
                     {"path", std::move(*path)}};
    }
    for (const auto& item : rules_map.items()) {
        if (!seen.contains(item.key())) {
            return fail(messages::kUnreferencedRuleSource);
        }
    }
    return {};
}

Check validate_control_api(const Json& configuration) {
    if (auto checked = check_required_keys(configuration, "experimental", kExperimentalKeys);
        !checked) {
        return checked;
    }
    const Json& experimental = configuration.at("experimental");
    if (auto checked = check_required_keys(experimental, "clash_api", kClashApiKeys); !checked) {
        return checked;
    }
    const Json& clash_api = experimental.at("clash_api");
    const std::string* secret = as_text(find_member(clash_api, "secret"));
    if (!is_text(find_member(clash_api, "external_controller"), "127.0.0.1:9097") ||
        secret == nullptr || secret->size() < kMinApiSecretBytes) {
        return fail(messages::kNoLoopbackApi);
    }
    return {};
}

// The rules map: its size, its tags and every document in it.
Check validate_rules_map(const Json& rules) {
    if (compact_json_size(rules) > kMaxRulesMapBytes) {
        return fail(messages::kRulesMapTooLarge);
    }
    if (!rules.is_object()) {
        return fail(messages::kRulesNotMap);
    }
    if (rules.size() > kMaxRuleSources) {
        return fail(messages::kTooManyRuleSources);
    }
    for (const auto& item : rules.items()) {
        if (!is_valid_rule_tag(item.key())) {
            return fail(messages::kInvalidRuleTag);
        }
        if (auto checked = validate_rule_source(item.value()); !checked) {
            return checked;
        }
    }
    return {};
}

// The log is the helper's: the client's is checked, then replaced.
Check normalise_log(Json& configuration) {
    if (auto checked = keys_if_present(configuration, "log", kLogKeys); !checked) {
        return checked;
    }
    configuration["log"] = canonical_log();
    return {};
}

Check validate_route(Json& configuration, const Json& rules,
                     const std::filesystem::path& installation_directory,
                     const std::filesystem::path& rule_directory) {
    if (auto checked = check_required_keys(configuration, "route", kRouteKeys); !checked) {
        return checked;
    }
    if (auto checked = validate_route_rules(configuration.at("route")); !checked) {
        return checked;
    }
    return normalise_rule_sets(configuration["route"], rules, installation_directory,
                               rule_directory);
}

Check check_outbound_type(const Json& outbound) {
    if (!is_one_of(find_member(outbound, "type"), kOutboundTypes)) {
        return fail(messages::kUnsupportedOutbound);
    }
    return {};
}

Check check_idle_timeout(const Json& outbound) {
    return if_present(outbound, "idle_timeout", [&outbound](const Json& idle) -> Check {
        const std::string* text = as_text(&idle);
        if (!is_text(find_member(outbound, "type"), "urltest") || text == nullptr ||
            !is_duration_text(*text)) {
            return fail(messages::kBadIdleTimeout);
        }
        return Check{};
    });
}

Check check_vemla_xray(const Json& extras) {
    if (auto checked = check_allowed_keys(extras, kVemlaXrayKeys); !checked) {
        return checked;
    }
    if (as_text(find_member(extras, "encryption")) == nullptr) {
        return fail(messages::kEncryptionNotText);
    }
    return {};
}

Check check_xhttp_extra(const Json& extra) {
    return check_in_order([&] { return check_allowed_keys(extra, kTransportExtraKeys); },
                          [&] { return keys_if_present(extra, "xmux", kXmuxKeys); },
                          [&] {
                              return if_present(extra, "headers", [](const Json& headers) {
                                  return check_string_map(headers, messages::kXhttpHeadersNotObject,
                                                          messages::kXhttpHeaderNotText);
                              });
                          });
}

Check validate_transport(const Json& transport) {
    return check_in_order([&] { return check_allowed_keys(transport, kTransportKeys); },
                          [&] {
                              return is_one_of(find_member(transport, "type"), kTransportTypes)
                                         ? Check{}
                                         : fail(messages::kUnsupportedTransport);
                          },
                          [&] { return if_present(transport, "extra", check_xhttp_extra); },
                          [&] {
                              return if_present(transport, "headers", [](const Json& headers) {
                                  return check_string_map(headers, messages::kHeadersNotObject,
                                                          messages::kHeaderNotText);
                              });
                          });
}

Check check_certificate_pins(const Json& tls, const Json& pins) {
    if (!pins.is_array()) {
        return fail(messages::kPinsNotArray);
    }
    if (pins.empty() || pins.size() > kMaxCertificatePins) {
        return fail(messages::kBadPinPolicy);
    }
    // Pins and an insecure connection never go together.
    if (const Json* insecure = find_member(tls, "insecure");
        insecure != nullptr && !(insecure->is_boolean() && !insecure->get<bool>())) {
        return fail(messages::kBadPinPolicy);
    }
    for (const Json& pin : pins) {
        const std::string* text = as_text(&pin);
        if (text == nullptr) {
            return fail(messages::kPinNotText);
        }
        if (!is_base64_sha256(*text)) {
            return fail(messages::kBadPin);
        }
    }
    return {};
}

}  // namespace

bool is_built_in_rule_source(std::string_view tag) {
    return std::ranges::find(kBuiltInRuleSources, tag) != std::end(kBuiltInRuleSources);
}

Check check_value_limits(const Json& value, std::size_t depth) {
    if (depth > kMaxValueDepth) {
        return fail(messages::kTooDeep);
    }
    switch (value.type()) {
        case Json::value_t::string: {
            const auto& text = value.get_ref<const std::string&>();
            if (text.size() > kMaxStringBytes || text.find('\0') != std::string::npos) {
                return fail(messages::kBadString);
            }
            return {};
        }
        case Json::value_t::array:
            if (value.size() > kMaxArrayElements) {
                return fail(messages::kTooManyEntries);
            }
            break;
        case Json::value_t::object:
            if (value.size() > kMaxObjectMembers) {
                return fail(messages::kTooManyFields);
            }
            break;
        default:
            return {};
    }
    for (const Json& element : value) {
        if (auto checked = check_value_limits(element, depth + 1); !checked) {
            return checked;
        }
    }
    return {};
}

Check check_allowed_keys(const Json& value, KeyList keys, KeyList more_keys) {
    if (!value.is_object()) {
        return fail(messages::kExpectedObject);
    }
    if (const std::string* key = first_key_outside(value, keys, more_keys)) {
        return fail(messages::unsupported_option(*key));
    }
    return {};
}

Check validate_rule(const Json& rule, bool route) {
    if (auto checked =
            check_allowed_keys(rule, kHeadlessRuleKeys, route ? kRouteOnlyRuleKeys : KeyList{});
        !checked) {
        return checked;
    }
    if (const Json* action = find_member(rule, "action");
        action != nullptr && !is_one_of(action, kRouteActions)) {
        return fail(messages::kUnsupportedAction);
    }
    if (const Json* nested = find_member(rule, "rules")) {
        if (!nested->is_array()) {
            return fail(messages::kNestedRulesNotArray);
        }
        for (const Json& element : *nested) {
            if (auto checked = validate_rule(element, route); !checked) {
                return checked;
            }
        }
    }
    return {};
}

Check validate_tls(const Json& tls) {
    return check_in_order([&] { return check_allowed_keys(tls, kTlsKeys); },
                          [&] {
                              return if_present(tls, "certificate_public_key_sha256",
                                                [&tls](const Json& pins) {
                                                    return check_certificate_pins(tls, pins);
                                                });
                          },
                          [&] { return keys_if_present(tls, "utls", kUtlsKeys); },
                          [&] { return keys_if_present(tls, "reality", kRealityKeys); });
}

Check validate_outbound(const Json& outbound) {
    return check_in_order(
        [&] { return check_allowed_keys(outbound, kOutboundKeys); },
        [&] { return check_outbound_type(outbound); }, [&] { return check_idle_timeout(outbound); },
        [&] { return if_present(outbound, "tls", validate_tls); },
        [&] { return keys_if_present(outbound, "obfs", kObfsKeys); },
        [&] { return keys_if_present(outbound, "domain_resolver", kDomainResolverKeys); },
        [&] { return if_present(outbound, "vemla_xray", check_vemla_xray); },
        [&] { return if_present(outbound, "transport", validate_transport); });
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
        return fail(messages::kRuleSourceTooLarge);
    }
    if (auto checked = check_value_limits(document, 0); !checked) {
        return checked;
    }
    if (auto checked = check_allowed_keys(document, kRuleSourceKeys); !checked) {
        return checked;
    }
    const Json* version = find_member(document, "version");
    if (version == nullptr || !is_non_negative_integer(*version) ||
        version->get<std::uint64_t>() < 1 || version->get<std::uint64_t>() > 4) {
        return fail(messages::kBadRuleSourceVersion);
    }
    return check_each(find_member(document, "rules"), messages::kMissingRuleSourceArray,
                      [](const Json& rule) { return validate_rule(rule, false); });
}

Result<Json> validate_privileged_config(Json configuration, const Json& rules,
                                        const std::filesystem::path& installation_directory,
                                        const std::filesystem::path& rule_directory) {
    auto checked = check_in_order(
        [&] { return check_value_limits(configuration, 0); },
        [&] { return check_allowed_keys(configuration, kRootKeys); },
        [&] { return validate_rules_map(rules); }, [&] { return normalise_log(configuration); },
        [&] { return validate_inbounds(configuration); },
        [&] { return validate_outbounds(configuration); },
        [&] { return validate_dns(configuration); },
        [&] {
            return validate_route(configuration, rules, installation_directory, rule_directory);
        },
        [&] { return validate_control_api(configuration); });
    if (!checked) {
        return failure_of(checked);
    }
    return configuration;
}

}  // namespace vemla::helper_protocol
