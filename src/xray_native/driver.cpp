#include "xray_native/compiler.h"

#include <string>
#include <utility>

#include "xray_native/dns.h"
#include "xray_native/groups.h"
#include "xray_native/inbounds.h"
#include "xray_native/messages.h"
#include "xray_native/outbounds.h"
#include "xray_native/route_rules.h"
#include "xray_native/stream_settings.h"

namespace vemla::xray_native {
namespace {

const KeyList kConfigurationKeys = {"log", "dns", "inbounds", "outbounds", "route", "experimental"};
const KeyList kGroupKeys = {
    "type", "tag",      "outbounds", "default",     "interrupt_exist_connections",
    "url",  "interval", "tolerance", "idle_timeout"};

// The top level of the configuration, the mode and the settings, before anything is built.
Check check_inputs(const Json& ir, const CompileSettings& settings) {
    if (auto checked = check_keys(ir, kConfigurationKeys, "конфигурация"); !checked) {
        return checked;
    }
    if (settings.mode != "rule" && settings.mode != "global" && settings.mode != "direct") {
        return fail(messages::kBadMode);
    }
    return check_compile_settings(settings);
}

bool is_group(const Json& outbound) {
    const Json* type = find_member(outbound, "type");
    return is_text(type, "selector") || is_text(type, "urltest");
}

// One outbound the configuration lists. Groups are only collected; they become balancers
// later.
Check collect_outbound(const Json& element, const CompileSettings& settings,
                       RoutingTargets& targets, TagSet& all_tags, Json& outbounds) {
    auto tag = read_tag(element);
    if (!tag) {
        return failure_of(tag);
    }
    if (!all_tags.insert(*tag).second) {
        return fail(messages::repeated_tag(*tag));
    }
    if (is_group(element)) {
        if (auto checked = check_keys(element, kGroupKeys, "группа серверов"); !checked) {
            return checked;
        }
        targets.groups.emplace(std::move(*tag), &element);
        return {};
    }
    auto outbound = translate_outbound(element, settings);
    if (!outbound) {
        return failure_of(outbound);
    }
    targets.outbound_tags.insert(std::move(*tag));
    outbounds.push_back(std::move(*outbound));
    return {};
}

// The built-in outbounds the configuration did not replace, and the DNS handler.
Check add_built_in_outbounds(const CompileSettings& settings, RoutingTargets& targets,
                             Json& outbounds) {
    if (!targets.outbound_tags.contains("direct")) {
        auto stream = build_stream_settings(Json::object(), settings);
        if (!stream) {
            return failure_of(stream);
        }
        outbounds.push_back(Json{{"tag", "direct~"},
                                 {"protocol", "freedom"},
                                 {"settings", Json::object()},
                                 {"streamSettings", std::move(*stream)}});
        targets.outbound_tags.insert("direct");
    }
    if (!targets.outbound_tags.contains("block")) {
        outbounds.push_back(
            Json{{"tag", "block~"}, {"protocol", "blackhole"}, {"settings", Json::object()}});
        targets.outbound_tags.insert("block");
    }
    outbounds.push_back(
        Json{{"tag", "vemla-dns"}, {"protocol", "dns"}, {"settings", {{"nonIPQuery", "skip"}}}});
    return {};
}

Result<Json> collect_outbounds(const Json& ir, const CompileSettings& settings,
                               RoutingTargets& targets) {
    const Json* listed = find_member(ir, "outbounds");
    if (listed == nullptr || !listed->is_array()) {
        return fail(messages::kOutboundsNotList);
    }
    Json outbounds = Json::array();
    TagSet all_tags;
    for (const Json& element : *listed) {
        if (auto collected = collect_outbound(element, settings, targets, all_tags, outbounds);
            !collected) {
            return failure_of(collected);
        }
    }
    if (auto added = add_built_in_outbounds(settings, targets, outbounds); !added) {
        return failure_of(added);
    }
    return outbounds;
}

// Rule sources of the request, with the configuration's inline sets in place of any of the
// same tag. Only pointers are kept: the rules map alone may hold megabytes of rules.
Result<RuleSetTable> build_rule_set_table(const Json* route, const CompileSettings& settings) {
    if (settings.rule_sources == nullptr || !settings.rule_sources->is_object()) {
        return fail(messages::kRuleSourcesNotObject);
    }
    RuleSetTable table;
    table.reserve(settings.rule_sources->size());
    for (const auto& [tag, document] : settings.rule_sources->items()) {
        table.insert_or_assign(tag, &document);
    }
    for (const Json& element : array_or_empty(route ? find_member(*route, "rule_set") : nullptr)) {
        if (!is_text(find_member(element, "type"), "inline")) {
            continue;
        }
        auto tag = read_required_text(element, "tag");
        if (!tag) {
            return failure_of(tag);
        }
        table.insert_or_assign(std::move(*tag), &element);
    }
    return table;
}

Json field_rule(std::string tag) {
    return Json{{"type", "field"}, {"ruleTag", std::move(tag)}};
}

// The engine's API is reached only through the authenticated API inbound: a target the
// configuration names (a route rule's outbound, the final outbound, a DNS server's detour) is
// one of its own outbounds or groups and never the API handler. Nor may a DNS server's queries
// be sent to the DNS handler, which would only hand them back to the same server.
Check resolve_configured_target(Json& rule, const std::string& target,
                                const RoutingTargets& targets, bool dns_server_detour) {
    if (target == "vemla-api" || (dns_server_detour && target == "vemla-dns")) {
        return fail(messages::missing_target(target));
    }
    return resolve_rule_target(rule, target, targets);
}

// Applied to the routing rules one route rule has just added.
Check refuse_api_targets(const Json& rules, std::size_t first) {
    for (std::size_t j = first; j < rules.size(); ++j) {
        if (is_text(find_member(rules[j], "outboundTag"), "vemla-api")) {
            return fail(messages::missing_target("vemla-api"));
        }
    }
    return {};
}

// The API rule, then one rule per DNS server that sends its queries out.
Check add_service_rules(const std::vector<DnsRoute>& dns_routes, const RoutingTargets& targets,
                        Json& rules) {
    Json api_rule = field_rule("vemla-api-only");
    api_rule["inboundTag"] = Json::array({"vemla-api-in"});
    api_rule["outboundTag"] = "vemla-api";
    rules.push_back(std::move(api_rule));
    for (std::size_t k = 0; k < dns_routes.size(); ++k) {
        Json rule = field_rule("vemla-dns-route-" + std::to_string(k));
        rule["inboundTag"] = Json::array({dns_routes[k].inbound_tag});
        if (auto resolved = resolve_configured_target(rule, dns_routes[k].target, targets, true);
            !resolved) {
            return resolved;
        }
        rules.push_back(std::move(rule));
    }
    return {};
}

Check add_route_rules(const Json* route, const RuleSetTable& rule_sets,
                      const CompileSettings& settings, const RoutingTargets& targets, Json& rules) {
    // One state for the whole document, so that its bounds hold across all route rules.
    RuleCompileState rule_state;
    const Json& route_rules = array_or_empty(route ? find_member(*route, "rules") : nullptr);
    for (std::size_t i = 0; i < route_rules.size(); ++i) {
        const std::size_t first = rules.size();
        if (auto compiled = compile_route_rule(route_rules[i], i, rule_sets, settings, targets,
                                               rules, &rule_state);
            !compiled) {
            return compiled;
        }
        if (auto refused = refuse_api_targets(rules, first); !refused) {
            return refused;
        }
    }
    return {};
}

Check add_final_rule(const Json* route, const RoutingTargets& targets, Json& rules) {
    Json final_rule = field_rule("vemla-final");
    final_rule["network"] = "tcp,udp";
    const std::string* final_target = as_text(route ? find_member(*route, "final") : nullptr);
    const std::string target = final_target != nullptr ? *final_target : "proxy";
    if (auto resolved = resolve_configured_target(final_rule, target, targets, false); !resolved) {
        return resolved;
    }
    rules.push_back(std::move(final_rule));
    return {};
}

// The routing rules in the order the engine tries them: the service's own, the configuration's
// route rules, the final rule.
Result<Json> compile_routing_rules(const Json& ir, const std::vector<DnsRoute>& dns_routes,
                                   const CompileSettings& settings, const RoutingTargets& targets) {
    Json rules = Json::array();
    if (auto added = add_service_rules(dns_routes, targets, rules); !added) {
        return failure_of(added);
    }
    const Json* route = find_member(ir, "route");
    auto rule_sets = build_rule_set_table(route, settings);
    if (!rule_sets) {
        return failure_of(rule_sets);
    }
    if (auto added = add_route_rules(route, *rule_sets, settings, targets, rules); !added) {
        return failure_of(added);
    }
    if (auto added = add_final_rule(route, targets, rules); !added) {
        return failure_of(added);
    }
    return rules;
}

// What the translators built, moved into the document.
struct DocumentParts {
    Json outbounds;
    GroupsResult groups;
    Json inbounds;
    Json dns;
    Json rules;
};

Json observatory(GroupsResult& groups) {
    Json subjects = Json::array();
    for (std::string& subject : groups.subjects) {
        subjects.push_back(std::move(subject));
    }
    return Json{{"subjectSelector", std::move(subjects)},
                {"probeURL", std::move(groups.probe_url)},
                {"probeInterval", std::move(groups.probe_interval)},
                {"enableConcurrency", true}};
}

Json assemble_document(DocumentParts parts) {
    // The fixed members first; the large lists are moved in, never copied.
    Json document{
        {"api",
         {{"tag", "vemla-api"}, {"services", Json::array({"StatsService", "RoutingService"})}}},
        {"log", {{"loglevel", "warning"}, {"access", "none"}}},
        {"policy",
         {{"system",
           {{"statsInboundUplink", true},
            {"statsInboundDownlink", true},
            {"statsOutboundUplink", true},
            {"statsOutboundDownlink", true}}}}},
        {"routing", {{"domainStrategy", "IPOnDemand"}}},
        {"stats", Json::object()},
    };
    document["dns"] = std::move(parts.dns);
    document["inbounds"] = std::move(parts.inbounds);
    document["outbounds"] = std::move(parts.outbounds);
    Json& routing = document["routing"];
    routing["rules"] = std::move(parts.rules);
    routing["balancers"] = std::move(parts.groups.balancers);
    if (!parts.groups.subjects.empty()) {
        document["observatory"] = observatory(parts.groups);
    }
    return document;
}

}  // namespace

Result<Json> compile_xray_document(const Json& ir, const CompileSettings& settings) {
    if (auto checked = check_inputs(ir, settings); !checked) {
        return failure_of(checked);
    }
    RoutingTargets targets;
    auto outbounds = collect_outbounds(ir, settings, targets);
    if (!outbounds) {
        return outbounds;
    }
    auto groups = compile_groups(targets, settings);
    if (!groups) {
        return failure_of(groups);
    }
    auto inbounds = build_inbounds(ir, settings);
    if (!inbounds) {
        return inbounds;
    }
    auto dns = translate_dns(ir, settings.mode);
    if (!dns) {
        return failure_of(dns);
    }
    auto rules = compile_routing_rules(ir, dns->routes, settings, targets);
    if (!rules) {
        return rules;
    }
    return assemble_document(DocumentParts{std::move(*outbounds), std::move(*groups),
                                           std::move(*inbounds), std::move(dns->dns),
                                           std::move(*rules)});
}

}  // namespace vemla::xray_native
