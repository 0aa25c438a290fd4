// Deterministic start requests for the benchmarks: a typical one and one at the limits.
#include "requests.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "json/json_text.h"

namespace vemla::benchmarks {
namespace {

using vemla::Json;

constexpr std::size_t kMaxRulesMapBytes = 12582912;

Json outbound(int i) {
    const std::string tag = "node-" + std::to_string(i);
    const std::string server = "n" + std::to_string(i) + ".vemla.example";
    switch (i % 4) {
        case 0:
            return Json{{"type", "vless"},
                        {"tag", tag},
                        {"server", server},
                        {"server_port", 443u},
                        {"uuid", "b7a1c6f2-3d4e-4f5a-8b9c-0d1e2f3a4b5c"},
                        {"flow", "xtls-rprx-vision"},
                        {"packet_encoding", "xudp"},
                        {"tls",
                         {{"enabled", true},
                          {"server_name", "www.microsoft.com"},
                          {"utls", {{"enabled", true}, {"fingerprint", "chrome"}}},
                          {"reality",
                           {{"enabled", true},
                            {"public_key", "jNXHt1yRo0vDuchQlIP6Z0ZvjT3KtzVI-T4E7RoLJS0"},
                            {"short_id", "6ba85179e30d4fc2"}}}}}};
        case 1:
            return Json{
                {"type", "vmess"},
                {"tag", tag},
                {"server", server},
                {"server_port", 443u},
                {"uuid", "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0"},
                {"security", "auto"},
                {"alter_id", 0u},
                {"tls", {{"enabled", true}, {"server_name", server}}},
                {"transport",
                 {{"type", "ws"}, {"path", "/ray"}, {"headers", {{"Host", "cdn.vemla.example"}}}}}};
        case 2:
            return Json{{"type", "trojan"},
                        {"tag", tag},
                        {"server", server},
                        {"server_port", 443u},
                        {"password", "trojan-password"},
                        {"tls", {{"enabled", true}, {"server_name", server}}},
                        {"transport", {{"type", "grpc"}, {"service_name", "TunService"}}}};
        default:
            return Json{{"type", "shadowsocks"},
                        {"tag", tag},
                        {"server", "203.0.113." + std::to_string(i % 250 + 1)},
                        {"server_port", 8388u},
                        {"method", "2022-blake3-aes-128-gcm"},
                        {"password", "8JCsPssfgS8tiRwiMlhARg=="}};
    }
}

std::string domain(int set, int i) {
    return "host" + std::to_string(i) + ".zone" + std::to_string(set) + ".example";
}

std::string cidr(int set, int i) {
    return "10." + std::to_string(set % 256) + "." + std::to_string((i / 256) % 256) + "." +
           std::to_string(i % 256) + "/32";
}

// A rule source of `rule_count` rules, each of `per_rule` entries; every fourth rule is an
// address rule, the others domain suffix rules.
Json rule_source(int set, int rule_count, int per_rule) {
    Json rules = Json::array();
    int entry = 0;
    for (int r = 0; r < rule_count; ++r) {
        Json entries = Json::array();
        const bool addresses = r % 4 == 3;
        for (int k = 0; k < per_rule; ++k, ++entry) {
            entries.push_back(addresses ? cidr(set, entry) : domain(set, entry));
        }
        rules.push_back(Json{{addresses ? "ip_cidr" : "domain_suffix", std::move(entries)}});
    }
    return Json{{"version", 3u}, {"rules", std::move(rules)}};
}

Json request_envelope(Json outbounds, Json route_rules, Json rule_set_entries, Json rules_map) {
    Json config = {
        {"log", {{"level", "info"}}},
        {"dns",
         {{"servers", Json::array({Json{{"tag", "dns-remote"},
                                        {"type", "https"},
                                        {"server", "1.1.1.1"},
                                        {"detour", "select"}},
                                   Json{{"tag", "dns-local"}, {"type", "local"}}})},
          {"rules", Json::array({Json{
                        {"clash_mode", "direct"}, {"server", "dns-local"}, {"action", "route"}}})},
          {"final", "dns-remote"}}},
        {"inbounds", Json::array({Json{{"type", "tun"}, {"tag", "tun-in"}, {"mtu", 1500u}},
                                  Json{{"type", "mixed"},
                                       {"tag", "mixed-in"},
                                       {"listen", "127.0.0.1"},
                                       {"listen_port", 2080u}}})},
        {"outbounds", std::move(outbounds)},
        {"route",
         {{"rules", std::move(route_rules)},
          {"rule_set", std::move(rule_set_entries)},
          {"final", "select"}}},
        {"experimental",
         {{"clash_api",
           {{"external_controller", "127.0.0.1:9097"},
            {"secret", "c2b7e0a94f1d4e6b8a3c5d7f9e1b2a4c"},
            {"default_mode", "rule"}}}}}};
    return Json{{"version", 1u},
                {"op", "start"},
                {"session", "3f6c1a9e0b7d4c2a8e5f1b3d7a9c0e2f4b6d8a1c3e5f7b9d0a2c4e6f8b1d3a5c"},
                {"native_xray", true},
                {"config", std::move(config)},
                {"rules", std::move(rules_map)}};
}

Json group_outbounds(int plain_count) {
    Json outbounds = Json::array();
    Json all = Json::array();
    for (int i = 0; i < plain_count; ++i) {
        outbounds.push_back(outbound(i));
        all.push_back("node-" + std::to_string(i));
    }
    Json eu = Json::array({"node-1", "node-2", "node-3"});
    Json auto_members = all;
    auto_members.push_back("eu");
    outbounds.push_back(Json{{"type", "urltest"},
                             {"tag", "eu"},
                             {"outbounds", eu},
                             {"url", "https://cp.cloudflare.com/generate_204"},
                             {"interval", "5m"}});
    outbounds.push_back(Json{{"type", "urltest"},
                             {"tag", "auto"},
                             {"outbounds", auto_members},
                             {"url", "https://www.gstatic.com/generate_204"},
                             {"interval", "3m"}});
    outbounds.push_back(Json{{"type", "selector"},
                             {"tag", "select"},
                             {"outbounds", Json::array({"auto", "eu", "node-0"})},
                             {"default", "auto"}});
    outbounds.push_back(Json{{"type", "direct"}, {"tag", "direct"}});
    return outbounds;
}

Json rule_set_entry(const std::string& tag) {
    return Json{{"type", "local"}, {"tag", tag}, {"format", "source"}, {"path", tag + ".json"}};
}

const char* const kTargets[] = {"select", "auto", "eu", "direct", "node-0", "node-5"};

// About 10 outbounds, 3 groups, 60 rules and 3 rule sources of a few thousand entries.
}  // namespace

std::string typical_request() {
    Json rules_map = Json::object();
    Json entries = Json::array();
    const char* const tags[] = {"corp-sites", "corp-nets", "ads"};
    for (int s = 0; s < 3; ++s) {
        rules_map[tags[s]] = rule_source(s, 200, 15);
        entries.push_back(rule_set_entry(tags[s]));
    }
    Json route_rules =
        Json::array({Json{{"action", "sniff"}}, Json{{"protocol", "dns"}, {"action", "hijack-dns"}},
                     Json{{"ip_is_private", true}, {"outbound", "direct"}},
                     Json{{"rule_set", "ads"}, {"action", "reject"}}});
    for (int i = 0; route_rules.size() < 60; ++i) {
        const std::string target = kTargets[i % 6];
        switch (i % 6) {
            case 0:
                route_rules.push_back(
                    Json{{"domain_suffix", Json::array({domain(90, i), domain(91, i)})},
                         {"outbound", target}});
                break;
            case 1:
                route_rules.push_back(Json{{"ip_cidr", Json::array({cidr(92, i)})},
                                           {"port", Json::array({443u, 8443u})},
                                           {"outbound", target}});
                break;
            case 2:
                // Each rule source is named once, as a client names geosite or geoip lists.
                if (i == 2) {
                    route_rules.push_back(
                        Json{{"rule_set", "corp-sites"}, {"network", "tcp"}, {"outbound", target}});
                } else {
                    route_rules.push_back(
                        Json{{"network", "udp"}, {"port", 443u}, {"outbound", target}});
                }
                break;
            case 3:
                route_rules.push_back(
                    Json{{"process_name", Json::array({"app" + std::to_string(i) + ".exe"})},
                         {"outbound", "direct"}});
                break;
            case 4:
                if (i != 4) {
                    route_rules.push_back(
                        Json{{"source_ip_cidr", Json::array({"192.168.0.0/16", "fd00::/8"})},
                             {"outbound", target}});
                    break;
                }
                route_rules.push_back(
                    Json{{"type", "logical"},
                         {"mode", "and"},
                         {"rules", Json::array({Json{{"rule_set", "corp-nets"}},
                                                Json{{"port_range", "1000:2000"}}})},
                         {"outbound", target}});
                break;
            default:
                route_rules.push_back(Json{{"clash_mode", i % 12 == 5 ? "global" : "rule"},
                                           {"domain", domain(93, i)},
                                           {"outbound", target}});
                break;
        }
    }
    return vemla::to_compact_json(request_envelope(group_outbounds(10), std::move(route_rules),
                                                   std::move(entries), std::move(rules_map)));
}

// A rules map just under 12 MiB, compiling to just under 50000 routing rules.
std::string worst_request() {
    constexpr int kSets = 44;
    constexpr int kRulesPerSet = 1120;
    constexpr int kEntriesPerRule = 10;
    Json rules_map = Json::object();
    Json entries = Json::array();
    Json route_rules = Json::array({Json{{"protocol", "dns"}, {"action", "hijack-dns"}}});
    std::size_t map_bytes = 2;
    for (int s = 0; s < kSets; ++s) {
        const std::string tag = "set-" + std::to_string(s);
        Json document = rule_source(s, kRulesPerSet, kEntriesPerRule);
        map_bytes += vemla::compact_json_size(document) + tag.size() + 4;
        rules_map[tag] = std::move(document);
        entries.push_back(rule_set_entry(tag));
        route_rules.push_back(Json{{"rule_set", tag}, {"outbound", kTargets[s % 6]}});
    }
    if (map_bytes > kMaxRulesMapBytes) {
        std::fprintf(stderr, "worst case: rules map of %zu bytes is above the limit\n", map_bytes);
        std::exit(2);
    }
    return vemla::to_compact_json(request_envelope(group_outbounds(10), std::move(route_rules),
                                                   std::move(entries), std::move(rules_map)));
}

long own_peak_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with("VmHWM:")) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

}  // namespace vemla::benchmarks
