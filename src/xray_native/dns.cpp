#include "xray_native/dns.h"

#include <cstdint>

namespace vemla::xray_native {
namespace {

constexpr std::uint64_t kServerTimeoutMs = 5000;

// The only query types a dual-stack lookup rule may name, in this order.
const Json& dual_stack_query() {
    static const Json kQuery = Json::array({"A", "AAAA"});
    return kQuery;
}

bool is_text(const Json* value, std::string_view text) {
    return value != nullptr && value->is_string() && value->get_ref<const std::string&>() == text;
}

bool is_dual_stack_lookup(const Json& rule, std::initializer_list<std::string_view> actions) {
    const Json* action = member_or_null(rule, "action");
    const Json* query = member_or_null(rule, "query_type");
    if (query == nullptr || *query != dual_stack_query()) {
        return false;
    }
    for (std::string_view wanted : actions) {
        if (is_text(action, wanted)) {
            return true;
        }
    }
    return false;
}

// The `direct`-mode rule: its server must be one of the configured servers.
bool is_direct_mode_rule(const Json& rule, const Json& servers) {
    if (!is_text(member_or_null(rule, "clash_mode"), "direct") ||
        !is_text(member_or_null(rule, "action"), "route")) {
        return false;
    }
    const Json* server = member_or_null(rule, "server");
    if (server == nullptr) {
        return false;
    }
    for (const Json& candidate : servers) {
        const Json* tag = member_or_null(candidate, "tag");
        if (tag != nullptr && *tag == *server) {
            return true;
        }
    }
    return false;
}

Result<std::string> server_address(const std::string& type, const Json& server,
                                   const std::string& host) {
    if (type == "udp") {
        return host;
    }
    if (type == "tcp") {
        return "tcp://" + host;
    }
    if (type == "https") {
        std::uint64_t port = 443;
        if (const Json* value = member_or_null(server, "server_port");
            value != nullptr && is_non_negative_integer(*value)) {
            port = value->get<std::uint64_t>();
        }
        std::string path = "/dns-query";
        if (const Json* value = member_or_null(server, "path");
            value != nullptr && value->is_string() &&
            !value->get_ref<const std::string&>().empty()) {
            path = value->get<std::string>();
        }
        const bool bracket = host.find(':') != std::string::npos;
        return "https://" + (bracket ? "[" + host + "]" : host) + ":" + std::to_string(port) + path;
    }
    return std::unexpected("Xray: DNS " + type + " не поддерживается");
}

}  // namespace

Result<DnsTranslation> translate_dns(const Json& ir, const std::string& mode) {
    static const Json kDefaultSection =
        Json{{"servers", Json::array({Json{{"type", "local"}, {"tag", "local"}}})}};
    const Json* configured = member_or_null(ir, "dns");
    const Json& section = configured != nullptr ? *configured : kDefaultSection;
    if (auto ok = check_keys(section,
                             {"servers", "rules", "final", "timeout", "strategy", "disable_cache",
                              "independent_cache", "reverse_mapping"},
                             "DNS");
        !ok) {
        return std::unexpected(std::move(ok.error()));
    }

    static const Json kNoRules = Json::array();
    const Json* rules_member = member_or_null(section, "rules");
    const Json& rules =
        rules_member != nullptr && rules_member->is_array() ? *rules_member : kNoRules;
    TagSet referenced;
    for (const Json& rule : rules) {
        if (is_dual_stack_lookup(rule, {"evaluate"})) {
            if (const Json* server = member_or_null(rule, "server");
                server && server->is_string()) {
                referenced.insert(server->get<std::string>());
            }
        }
    }
    const Json* final_server = member_or_null(section, "final");
    if (final_server != nullptr && !final_server->is_string()) {
        final_server = nullptr;
    }

    const Json* servers = member_or_null(section, "servers");
    if (servers == nullptr || !servers->is_array()) {
        return std::unexpected("Xray: dns.servers должен быть списком");
    }
    DnsTranslation result;
    Json translated = Json::array();
    for (std::size_t n = 0; n < servers->size(); ++n) {
        const Json& server = (*servers)[n];
        if (auto ok = check_keys(server,
                                 {"type", "tag", "server", "server_port", "path", "detour",
                                  "domain_resolver", "disable_cache"},
                                 "DNS server");
            !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        auto type = read_required_text(server, "type");
        if (!type) {
            return std::unexpected(std::move(type.error()));
        }
        const Json* tag = member_or_null(server, "tag");
        const bool tagged = tag != nullptr && tag->is_string();
        if (!referenced.empty()) {
            if (!tagged || !referenced.contains(tag->get_ref<const std::string&>())) {
                continue;
            }
        } else if (final_server != nullptr && (!tagged || *tag != *final_server)) {
            continue;
        }
        if (*type == "local") {
            translated.push_back("localhost");
            continue;
        }
        auto host = read_required_text(server, "server");
        if (!host) {
            return std::unexpected(std::move(host.error()));
        }
        auto address = server_address(*type, server, *host);
        if (!address) {
            return std::unexpected(std::move(address.error()));
        }
        std::string query_tag = "vemla-dns-query-" + std::to_string(n);
        Json object{{"address", std::move(*address)},
                    {"tag", query_tag},
                    {"timeoutMs", kServerTimeoutMs},
                    {"expectedIPs", Json::array({"*"})},
                    {"queryStrategy", "UseIP"}};
        if (*type != "https") {
            if (const Json* port = member_or_null(server, "server_port")) {
                object["port"] = *port;
            }
        }
        if (const Json* disable_cache = member_or_null(server, "disable_cache")) {
            object["disableCache"] = *disable_cache;
        }
        std::string target = "direct";
        if (mode != "direct") {
            if (const Json* detour = member_or_null(server, "detour");
                detour && detour->is_string()) {
                target = detour->get<std::string>();
            }
        }
        translated.push_back(std::move(object));
        result.routes.push_back(DnsRoute{std::move(query_tag), std::move(target)});
    }
    if (translated.empty()) {
        return std::unexpected("Xray: не осталось DNS-серверов");
    }

    // Only the two understood shapes pass; anything else would change what resolves where.
    for (const Json& rule : rules) {
        if (!is_dual_stack_lookup(rule, {"respond", "evaluate"}) &&
            !is_direct_mode_rule(rule, *servers)) {
            return std::unexpected(
                "Xray: пользовательская DNS policy не переводится автоматически");
        }
    }

    const Json* disable_cache = member_or_null(section, "disable_cache");
    result.dns = Json{{"servers", std::move(translated)},
                      {"queryStrategy", "UseIP"},
                      {"enableParallelQuery", true},
                      {"disableCache", disable_cache != nullptr && disable_cache->is_boolean() &&
                                           disable_cache->get<bool>()},
                      {"useSystemHosts", true}};
    return result;
}

}  // namespace vemla::xray_native
