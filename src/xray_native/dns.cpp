#include "xray_native/dns.h"

#include <cstdint>
#include <optional>
#include <string_view>

#include "xray_native/messages.h"

namespace vemla::xray_native {
namespace {

constexpr std::uint64_t kServerTimeoutMs = 5000;

const KeyList kSectionKeys = {"servers",           "rules",          "final",
                              "timeout",           "strategy",       "disable_cache",
                              "independent_cache", "reverse_mapping"};
const KeyList kServerKeys = {"type", "tag",    "server",          "server_port",
                             "path", "detour", "domain_resolver", "disable_cache"};

// The only query types a dual-stack lookup rule may name, in this order.
const Json& dual_stack_query() {
    static const Json kQuery = Json::array({"A", "AAAA"});
    return kQuery;
}

bool is_dual_stack_lookup(const Json& rule, std::initializer_list<std::string_view> actions) {
    const Json* query = find_member(rule, "query_type");
    if (query == nullptr || *query != dual_stack_query()) {
        return false;
    }
    const Json* action = find_member(rule, "action");
    for (std::string_view wanted : actions) {
        if (is_text(action, wanted)) {
            return true;
        }
    }
    return false;
}

// The `direct`-mode rule: its server must be one of the configured servers.
bool is_direct_mode_rule(const Json& rule, const Json& servers) {
    if (!is_text(find_member(rule, "clash_mode"), "direct") ||
        !is_text(find_member(rule, "action"), "route")) {
        return false;
    }
    const Json* server = find_member(rule, "server");
    if (server == nullptr) {
        return false;
    }
    for (const Json& candidate : servers) {
        const Json* tag = find_member(candidate, "tag");
        if (tag != nullptr && *tag == *server) {
            return true;
        }
    }
    return false;
}

// Which servers the engine gets: those the dual-stack lookups name, else the final server,
// else all of them.
struct ServerSelection {
    TagSet referenced;
    const std::string* final_server = nullptr;

    bool selects(const Json& server) const {
        const std::string* tag = as_text(find_member(server, "tag"));
        if (!referenced.empty()) {
            return tag != nullptr && referenced.contains(*tag);
        }
        return final_server == nullptr || (tag != nullptr && *final_server == *tag);
    }
};

ServerSelection select_servers(const Json& section, const Json& rules) {
    ServerSelection selection;
    for (const Json& rule : rules) {
        if (is_dual_stack_lookup(rule, {"evaluate"})) {
            if (const std::string* server = as_text(find_member(rule, "server"))) {
                selection.referenced.insert(*server);
            }
        }
    }
    selection.final_server = as_text(find_member(section, "final"));
    return selection;
}

constexpr std::size_t kMaxHostNameBytes = 253;
constexpr std::size_t kMaxLabelBytes = 63;
constexpr std::uint64_t kMaxPort = 65535;

// Words the engine reads as a resolver of its own rather than as a host to ask.
constexpr std::string_view kReservedHosts[] = {"localhost", "fakedns"};

bool is_ascii_alphanumeric(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

// One label of a host name; `all_digits` is cleared when it holds anything but digits.
bool is_label(std::string_view label, bool& all_digits) {
    if (label.empty() || label.size() > kMaxLabelBytes || label.front() == '-' ||
        label.back() == '-') {
        return false;
    }
    for (char c : label) {
        if (c != '-' && !is_ascii_alphanumeric(c)) {
            return false;
        }
        all_digits = all_digits && c >= '0' && c <= '9';
    }
    return true;
}

// Letters, digits and inner hyphens in dot-separated labels. Digits alone in every label read
// as an IPv4 address to some parsers and as a name to others, so such a text must be an
// address.
bool is_host_name(std::string_view text) {
    if (text.empty() || text.size() > kMaxHostNameBytes) {
        return false;
    }
    bool all_digits = true;
    for (std::size_t start = 0;;) {
        const std::size_t dot = text.find('.', start);
        if (!is_label(text.substr(start, dot - start), all_digits)) {
            return false;
        }
        if (dot == std::string_view::npos) {
            break;
        }
        start = dot + 1;
    }
    return !all_digits;
}

bool is_reserved_host(std::string_view text) {
    for (std::string_view word : kReservedHosts) {
        if (equals_ignoring_ascii_case(text, word)) {
            return true;
        }
    }
    return false;
}

// The engine reads a scheme, a path, user information or a reserved word out of its address
// text, and any of them can send the queries somewhere other than the route says; a bare IP
// literal or host name cannot.
Check check_host(const std::string& host, std::size_t position) {
    if (is_ip_address(host) || (is_host_name(host) && !is_reserved_host(host))) {
        return {};
    }
    return fail(messages::dns_server_not_host(position));
}

bool is_port_number(const Json& value) {
    return is_non_negative_integer(value) && value.get<std::uint64_t>() >= 1 &&
           value.get<std::uint64_t>() <= kMaxPort;
}

// The port member of a "udp" or "tcp" server is copied as it is, so it must be a port.
Check check_plain_port(const Json& server) {
    const Json* port = find_member(server, "server_port");
    if (port != nullptr && !is_port_number(*port)) {
        return fail(messages::kBadServerPort);
    }
    return {};
}

// A port that is not an integer leaves the default; an integer that is no port is refused
// rather than written into the URL.
Result<std::uint64_t> https_port(const Json& server) {
    const Json* value = find_member(server, "server_port");
    if (value == nullptr || !is_non_negative_integer(*value)) {
        return 443;
    }
    if (!is_port_number(*value)) {
        return fail(messages::kBadServerPort);
    }
    return value->get<std::uint64_t>();
}

Result<std::string> https_path(const Json& server, std::size_t position) {
    std::string path = non_empty_text_or(server, "path", "/dns-query");
    if (!path.starts_with('/')) {
        return fail(messages::dns_path_not_absolute(position));
    }
    return path;
}

Result<std::string> https_address(const Json& server, const std::string& host,
                                  std::size_t position) {
    auto port = https_port(server);
    if (!port) {
        return failure_of(port);
    }
    auto path = https_path(server, position);
    if (!path) {
        return failure_of(path);
    }
    const bool bracket = host.find(':') != std::string::npos;
    return "https://" + (bracket ? "[" + host + "]" : host) + ":" + std::to_string(*port) + *path;
}

Result<std::string> server_address(const std::string& type, const Json& server,
                                   const std::string& host, std::size_t position) {
    if (type != "udp" && type != "tcp" && type != "https") {
        return fail(messages::unsupported_dns_server(type));
    }
    if (auto checked = check_host(host, position); !checked) {
        return failure_of(checked);
    }
    if (type == "https") {
        return https_address(server, host, position);
    }
    if (auto checked = check_plain_port(server); !checked) {
        return failure_of(checked);
    }
    return type == "tcp" ? "tcp://" + host : host;
}

// One upstream server: its object in the document, and the route of its queries.
struct UpstreamServer {
    Json object;
    DnsRoute route;
};

Result<UpstreamServer> translate_upstream(const Json& server, const std::string& type,
                                          std::size_t position, const std::string& mode) {
    auto host = read_required_text(server, "server");
    if (!host) {
        return failure_of(host);
    }
    auto address = server_address(type, server, *host, position);
    if (!address) {
        return failure_of(address);
    }
    std::string query_tag = "vemla-dns-query-" + std::to_string(position);
    Json object{{"address", std::move(*address)},
                {"tag", query_tag},
                {"timeoutMs", kServerTimeoutMs},
                {"expectedIPs", Json::array({"*"})},
                {"queryStrategy", "UseIP"}};
    if (type != "https") {
        if (const Json* port = find_member(server, "server_port")) {
            object["port"] = *port;
        }
    }
    if (const Json* disable_cache = find_member(server, "disable_cache")) {
        object["disableCache"] = *disable_cache;
    }
    // In direct mode every query leaves directly, whatever detour the server names.
    const std::string* detour = as_text(find_member(server, "detour"));
    std::string target = mode != "direct" && detour != nullptr ? *detour : "direct";
    return UpstreamServer{std::move(object), DnsRoute{std::move(query_tag), std::move(target)}};
}

// The selected servers in configuration order, each checked before it is selected or not.
Check translate_servers(const Json& servers, const ServerSelection& selection,
                        const std::string& mode, Json& translated, DnsTranslation& result) {
    for (std::size_t n = 0; n < servers.size(); ++n) {
        const Json& server = servers[n];
        if (auto checked = check_keys(server, kServerKeys, "DNS server"); !checked) {
            return checked;
        }
        auto type = read_required_text(server, "type");
        if (!type) {
            return failure_of(type);
        }
        if (!selection.selects(server)) {
            continue;
        }
        if (*type == "local") {
            translated.push_back("localhost");
            continue;
        }
        auto upstream = translate_upstream(server, *type, n, mode);
        if (!upstream) {
            return failure_of(upstream);
        }
        translated.push_back(std::move(upstream->object));
        result.routes.push_back(std::move(upstream->route));
    }
    return {};
}

// Only the two understood shapes pass; anything else would change what resolves where.
Check check_dns_rules(const Json& rules, const Json& servers) {
    for (const Json& rule : rules) {
        if (!is_dual_stack_lookup(rule, {"respond", "evaluate"}) &&
            !is_direct_mode_rule(rule, servers)) {
            return fail(messages::kDnsPolicy);
        }
    }
    return {};
}

const Json& dns_section(const Json& ir) {
    static const Json kDefaultSection =
        Json{{"servers", Json::array({Json{{"type", "local"}, {"tag", "local"}}})}};
    const Json* configured = find_member(ir, "dns");
    return configured != nullptr ? *configured : kDefaultSection;
}

}  // namespace

Result<DnsTranslation> translate_dns(const Json& ir, const std::string& mode) {
    const Json& section = dns_section(ir);
    if (auto checked = check_keys(section, kSectionKeys, "DNS"); !checked) {
        return failure_of(checked);
    }
    const Json& rules = array_or_empty(find_member(section, "rules"));
    const ServerSelection selection = select_servers(section, rules);
    const Json* servers = find_member(section, "servers");
    if (servers == nullptr || !servers->is_array()) {
        return fail(messages::kDnsServersNotList);
    }
    DnsTranslation result;
    Json translated = Json::array();
    if (auto done = translate_servers(*servers, selection, mode, translated, result); !done) {
        return failure_of(done);
    }
    if (translated.empty()) {
        return fail(messages::kNoDnsServerLeft);
    }
    if (auto checked = check_dns_rules(rules, *servers); !checked) {
        return failure_of(checked);
    }
    result.dns = Json{{"servers", std::move(translated)},
                      {"queryStrategy", "UseIP"},
                      {"enableParallelQuery", true},
                      {"disableCache", is_true(find_member(section, "disable_cache"))},
                      {"useSystemHosts", true}};
    return result;
}

}  // namespace vemla::xray_native
