#include "xray_native/compiler.h"

#include <string>
#include <utility>

#include "xray_native/dns.h"
#include "xray_native/groups.h"
#include "xray_native/inbounds.h"
#include "xray_native/outbounds.h"
#include "xray_native/route_rules.h"
#include "xray_native/stream_settings.h"

namespace vemla::xray_native {
namespace {

bool is_text(const Json* value, std::string_view text) {
    return value != nullptr && value->is_string() && value->get_ref<const std::string&>() == text;
}

const Json& array_or_empty(const Json* value) {
    static const Json kEmpty = Json::array();
    return value != nullptr && value->is_array() ? *value : kEmpty;
}

// The outbounds the configuration lists, then the built-in ones it did not replace.
// Groups are only collected here; they become balancers later.
Result<Json> collect_outbounds(const Json& ir, const CompileSettings& settings,
                               RoutingTargets& targets) {
    const Json* listed = member_or_null(ir, "outbounds");
    if (listed == nullptr || !listed->is_array()) {
        return std::unexpected("Xray: outbounds должен быть списком");
    }
    Json outbounds = Json::array();
    TagSet all_tags;
    for (const Json& element : *listed) {
        auto tag = read_tag(element);
        if (!tag) {
            return std::unexpected(std::move(tag.error()));
        }
        if (!all_tags.insert(*tag).second) {
            return std::unexpected("Xray: повторный tag " + *tag);
        }
        const Json* type = member_or_null(element, "type");
        if (is_text(type, "selector") || is_text(type, "urltest")) {
            if (auto ok = check_keys(
                    element,
                    {"type", "tag", "outbounds", "default", "interrupt_exist_connections", "url",
                     "interval", "tolerance", "idle_timeout"},
                    "группа серверов");
                !ok) {
                return std::unexpected(std::move(ok.error()));
            }
            targets.groups.emplace(std::move(*tag), &element);
            continue;
        }
        auto outbound = translate_outbound(element, settings);
        if (!outbound) {
            return outbound;
        }
        targets.outbound_tags.insert(std::move(*tag));
        outbounds.push_back(std::move(*outbound));
    }

    if (!targets.outbound_tags.contains("direct")) {
        auto stream = build_stream_settings(Json::object(), settings);
        if (!stream) {
            return stream;
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
    return outbounds;
}

// Rule sources of the request, with the configuration's inline sets in place of any of the
// same tag. Only pointers are kept: the rules map alone may hold megabytes of rules.
Result<RuleSetTable> build_rule_set_table(const Json* route, const CompileSettings& settings) {
    if (settings.rule_sources == nullptr || !settings.rule_sources->is_object()) {
        return std::unexpected("Xray: rule_sources должен быть объектом");
    }
    RuleSetTable table;
    table.reserve(settings.rule_sources->size());
    for (const auto& [tag, document] : settings.rule_sources->items()) {
        table.insert_or_assign(tag, &document);
    }
    for (const Json& element :
         array_or_empty(route ? member_or_null(*route, "rule_set") : nullptr)) {
        if (!is_text(member_or_null(element, "type"), "inline")) {
            continue;
        }
        auto tag = read_required_text(element, "tag");
        if (!tag) {
            return std::unexpected(std::move(tag.error()));
        }
        table.insert_or_assign(std::move(*tag), &element);
    }
    return table;
}

Json field_rule(const char* tag) {
    return Json{{"type", "field"}, {"ruleTag", tag}};
}

// The engine's API is reached only through the authenticated API inbound: a target the
// configuration names (a route rule's outbound, the final outbound, a DNS server's detour) is
// one of its own outbounds or groups and never the API handler. Nor may a DNS server's queries
// be sent to the DNS handler, which would only hand them back to the same server.
Check refuse_handler_target(const std::string& target, bool dns_server_detour) {
    if (target == "vemla-api" || (dns_server_detour && target == "vemla-dns")) {
        return std::unexpected("Xray: правило ссылается на отсутствующий выход " + target);
    }
    return {};
}

// Applied to the routing rules one route rule has just added.
Check refuse_api_targets(const Json& rules, std::size_t first) {
    for (std::size_t j = first; j < rules.size(); ++j) {
        const Json* target = member_or_null(rules[j], "outboundTag");
        if (target != nullptr && target->is_string()) {
            if (auto ok = refuse_handler_target(target->get<std::string>(), false); !ok) {
                return ok;
            }
        }
    }
    return {};
}

}  // namespace

Result<Json> compile_xray_document(const Json& ir, const CompileSettings& settings) {
    if (auto ok = check_keys(ir, {"log", "dns", "inbounds", "outbounds", "route", "experimental"},
                             "конфигурация");
        !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    if (settings.mode != "rule" && settings.mode != "global" && settings.mode != "direct") {
        return std::unexpected("Xray: режим должен быть rule, global или direct");
    }
    if (auto ok = check_compile_settings(settings); !ok) {
        return std::unexpected(std::move(ok.error()));
    }

    RoutingTargets targets;
    auto outbounds = collect_outbounds(ir, settings, targets);
    if (!outbounds) {
        return outbounds;
    }
    auto groups = compile_groups(targets, settings);
    if (!groups) {
        return std::unexpected(std::move(groups.error()));
    }
    auto inbounds = build_inbounds(ir, settings);
    if (!inbounds) {
        return inbounds;
    }
    auto dns = translate_dns(ir, settings.mode);
    if (!dns) {
        return std::unexpected(std::move(dns.error()));
    }

    Json rules = Json::array();
    Json api_rule = field_rule("vemla-api-only");
    api_rule["inboundTag"] = Json::array({"vemla-api-in"});
    api_rule["outboundTag"] = "vemla-api";
    rules.push_back(std::move(api_rule));
    for (std::size_t k = 0; k < dns->routes.size(); ++k) {
        Json rule{{"type", "field"},
                  {"ruleTag", "vemla-dns-route-" + std::to_string(k)},
                  {"inboundTag", Json::array({dns->routes[k].inbound_tag})}};
        if (auto ok = refuse_handler_target(dns->routes[k].target, true); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        if (auto ok = resolve_rule_target(rule, dns->routes[k].target, targets); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        rules.push_back(std::move(rule));
    }

    const Json* route = member_or_null(ir, "route");
    auto rule_sets = build_rule_set_table(route, settings);
    if (!rule_sets) {
        return std::unexpected(std::move(rule_sets.error()));
    }
    // One state for the whole document, so that its bounds hold across all route rules.
    RuleCompileState rule_state;
    const Json& route_rules = array_or_empty(route ? member_or_null(*route, "rules") : nullptr);
    for (std::size_t i = 0; i < route_rules.size(); ++i) {
        const std::size_t first = rules.size();
        if (auto ok = compile_route_rule(route_rules[i], i, *rule_sets, settings, targets, rules,
                                         &rule_state);
            !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        if (auto ok = refuse_api_targets(rules, first); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
    }
    Json final_rule = field_rule("vemla-final");
    final_rule["network"] = "tcp,udp";
    const Json* final_target = route ? member_or_null(*route, "final") : nullptr;
    const std::string target = final_target != nullptr && final_target->is_string()
                                   ? final_target->get<std::string>()
                                   : std::string("proxy");
    if (auto ok = refuse_handler_target(target, false); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    if (auto ok = resolve_rule_target(final_rule, target, targets); !ok) {
        return std::unexpected(std::move(ok.error()));
    }
    rules.push_back(std::move(final_rule));

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
    document["dns"] = std::move(dns->dns);
    document["inbounds"] = std::move(*inbounds);
    document["outbounds"] = std::move(*outbounds);
    Json& routing = document["routing"];
    routing["rules"] = std::move(rules);
    routing["balancers"] = std::move(groups->balancers);
    if (!groups->subjects.empty()) {
        Json subjects = Json::array();
        for (std::string& subject : groups->subjects) {
            subjects.push_back(std::move(subject));
        }
        document["observatory"] = Json{{"subjectSelector", std::move(subjects)},
                                       {"probeURL", std::move(groups->probe_url)},
                                       {"probeInterval", std::move(groups->probe_interval)},
                                       {"enableConcurrency", true}};
    }
    return document;
}

}  // namespace vemla::xray_native
