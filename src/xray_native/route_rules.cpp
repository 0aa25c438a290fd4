#include "xray_native/route_rules.h"

#include <algorithm>
#include <array>
#include <limits>
#include <tuple>
#include <utility>

#include "xray_native/messages.h"
#include "xray_native/rule_sets.h"

namespace vemla::xray_native {
namespace {

// Charged for every value held by a condition object: about what the DOM spends on a node
// besides its text.
constexpr std::size_t kValueWeight = 64;

// Rules nest through logical rules and rule sets hundreds of levels deep, so every function on
// that recursion keeps a small frame: the checks, the field building and the messages run in
// functions of their own that have returned before the recursion goes deeper.
[[gnu::noinline, gnu::cold]] Result<ConditionList> refuse(std::string_view message) {
    return fail(message);
}

// A string-or-list member whose every entry must be an address or CIDR, else `message`.
Result<StringList> cidr_list(const Json& rule, std::string_view key, std::string_view message) {
    auto list = string_or_list(rule, key);
    if (!list) {
        return list;
    }
    for (const std::string& entry : *list) {
        if (!is_ip_or_cidr(entry)) {
            return fail(message);
        }
    }
    return list;
}

// The entries of `list` followed by the private address list when `add_private` is set.
Json address_array(const StringList& list, bool add_private) {
    Json array = Json::array();
    Json::array_t& values = array.get_ref<Json::array_t&>();
    values.reserve(list.size() + (add_private ? kPrivateCidrs.size() : 0));
    for (const std::string& entry : list) {
        values.emplace_back(entry);
    }
    if (add_private) {
        for (const std::string& cidr : kPrivateCidrs) {
            values.emplace_back(cidr);
        }
    }
    return array;
}

// Parses one bound of a port range: an optional "+", then decimal digits, at most 65535.
std::optional<std::uint32_t> parse_port_bound(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 65535) {
            return std::nullopt;
        }
    }
    return value;
}

// A port given as a number: 1 to 65535. A signed integer here is negative or zero (positive
// integers parse as unsigned), or was built by code; it is taken only within range.
std::optional<std::uint64_t> port_number(const Json& value) {
    if (value.is_number_unsigned()) {
        const auto port = value.get<std::uint64_t>();
        return port >= 1 && port <= 65535 ? std::optional(port) : std::nullopt;
    }
    if (value.is_number_integer()) {
        const auto port = value.get<std::int64_t>();
        return port >= 1 && port <= 65535 ? std::optional(static_cast<std::uint64_t>(port))
                                          : std::nullopt;
    }
    return std::nullopt;
}

// Appends `entry` to a comma-separated list.
void append_listed(std::string& text, std::string_view entry) {
    if (!text.empty()) {
        text += ',';
    }
    text += entry;
}

Check append_port_number(const Json& value, std::string& text) {
    const auto port = port_number(value);
    if (!port) {
        return fail(messages::kBadPort);
    }
    append_listed(text, std::to_string(*port));
    return {};
}

// The numbers of `port_key`: one number or a list of them.
Check append_port_numbers(const Json& rule, std::string_view port_key, std::string& text) {
    const Json* ports = configured_member(rule, port_key);
    if (ports == nullptr) {
        return {};
    }
    if (!ports->is_array()) {
        return append_port_number(*ports, text);
    }
    for (const Json& element : *ports) {
        if (auto appended = append_port_number(element, text); !appended) {
            return appended;
        }
    }
    return {};
}

// The "lo:hi" (or "lo-hi") texts of `range_key`.
Check append_port_ranges(const Json& rule, std::string_view range_key, std::string& text) {
    auto ranges = string_or_list(rule, range_key);
    if (!ranges) {
        return failure_of(ranges);
    }
    for (const std::string& entry : *ranges) {
        std::size_t split = entry.find(':');
        if (split == std::string::npos) {
            split = entry.find('-');
        }
        if (split == std::string::npos) {
            return fail(messages::kRangeWithoutSeparator);
        }
        const auto low = parse_port_bound(std::string_view(entry).substr(0, split));
        const auto high = parse_port_bound(std::string_view(entry).substr(split + 1));
        if (!low || !high || *low < 1 || *high < *low) {
            return fail(messages::kBadPortBound);
        }
        append_listed(text, std::to_string(*low) + "-" + std::to_string(*high));
    }
    return {};
}

enum class RuleKind { kNothing, kAnd, kOr, kPlain };

// What compile_rule checks before it compiles anything: the key list, the refused flags, the
// mode filter and the form of a logical rule.
[[gnu::noinline]] Result<RuleKind> classify_rule(const Json& rule, const std::string& mode);

[[gnu::noinline]] Result<ConditionList> compile_or(const Json& rules, RuleContext& context,
                                                   const TagSet& visited) {
    ConditionList alternatives;
    for (const Json& element : rules.get_ref<const Json::array_t&>()) {
        auto compiled = compile_rule(element, context, visited);
        if (!compiled) {
            return compiled;
        }
        // Tested before the objects are moved over, so the list never outgrows the bound.
        if (compiled->size() > kMaxConditionObjects - alternatives.size()) {
            return refuse(messages::kTooMuchWork);
        }
        for (Json& condition : *compiled) {
            alternatives.push_back(std::move(condition));
        }
    }
    return alternatives;
}

[[gnu::noinline]] Result<ConditionList> compile_and(const Json& rules, RuleContext& context,
                                                    const TagSet& visited) {
    ConditionList accumulated(1, Json::object());
    for (const Json& element : rules.get_ref<const Json::array_t&>()) {
        auto compiled = compile_rule(element, context, visited);
        if (!compiled) {
            return compiled;
        }
        compiled = and_merge(std::move(accumulated), std::move(*compiled), &context);
        if (!compiled) {
            return compiled;
        }
        accumulated = std::move(*compiled);
    }
    return accumulated;
}

// `network` joined into one text, then `protocol`, `inbound` and the sources as lists.
Check add_match_fields(const Json& rule, Json& base) {
    auto network = string_or_list(rule, "network");
    if (!network) {
        return failure_of(network);
    }
    if (!network->empty()) {
        std::string joined;
        for (const std::string& entry : *network) {
            append_listed(joined, entry);
        }
        base["network"] = std::move(joined);
    }
    for (const auto& [key, xray_key] :
         {std::pair{"protocol", "protocol"}, std::pair{"inbound", "inboundTag"}}) {
        auto entries = string_or_list(rule, key);
        if (!entries) {
            return failure_of(entries);
        }
        if (!entries->empty()) {
            base[xray_key] = string_array(entries->to_vector());
        }
    }
    auto sources = cidr_list(rule, "source_ip_cidr", messages::kBadSourceCidr);
    if (!sources) {
        return failure_of(sources);
    }
    const bool private_sources = is_true(find_member(rule, "source_ip_is_private"));
    if (!sources->empty() || private_sources) {
        base["source"] = address_array(*sources, private_sources);
    }
    return {};
}

Check add_port_fields(const Json& rule, Json& base) {
    for (const auto& [port_key, range_key, xray_key] :
         {std::tuple{"port", "port_range", "port"},
          std::tuple{"source_port", "source_port_range", "sourcePort"}}) {
        auto ports = compile_ports(rule, port_key, range_key);
        if (!ports) {
            return failure_of(ports);
        }
        if (*ports) {
            base[xray_key] = std::move(**ports);
        }
    }
    return {};
}

// The domain entries with their prefixes, in key order and then in the rule's order.
Result<Json> domain_list(const Json& rule) {
    struct DomainKey {
        std::string_view key;
        std::string_view prefix;
    };
    constexpr std::array<DomainKey, 4> kDomainKeys{{{"domain", "full:"},
                                                    {"domain_suffix", "domain:"},
                                                    {"domain_keyword", "keyword:"},
                                                    {"domain_regex", "regexp:"}}};
    Json domains = Json::array();
    Json::array_t& values = domains.get_ref<Json::array_t&>();
    for (const DomainKey& domain_key : kDomainKeys) {
        auto entries = string_or_list(rule, domain_key.key);
        if (!entries) {
            return failure_of(entries);
        }
        values.reserve(values.size() + entries->size());
        for (std::string_view name : *entries) {
            if (name.empty()) {
                return fail(messages::kEmptyDomain);
            }
            if (domain_key.key == "domain_suffix") {
                name.remove_prefix(std::min(name.find_first_not_of('.'), name.size()));
            }
            std::string text;
            text.reserve(domain_key.prefix.size() + name.size());
            text.append(domain_key.prefix).append(name);
            values.emplace_back(std::move(text));
        }
    }
    return domains;
}

// sing-box matches a rule when any one destination item matches; an Xray rule needs all of its
// fields, so domains and addresses become separate alternatives.
ConditionList destination_alternatives(Json base, Json domains, const StringList& ips,
                                       bool private_ips) {
    ConditionList alternatives;
    const bool has_ips = !ips.empty() || private_ips;
    if (!domains.empty()) {
        Json with_domains = has_ips ? base : std::move(base);
        with_domains["domain"] = std::move(domains);
        alternatives.push_back(std::move(with_domains));
        if (!has_ips) {
            return alternatives;
        }
    }
    if (has_ips) {
        base["ip"] = address_array(ips, private_ips);
    }
    alternatives.push_back(std::move(base));
    return alternatives;
}

// The fields of a plain rule, before its rule sets are expanded.
struct PlainRule {
    bool matches_nothing = false;
    ConditionList alternatives;
    StringList rule_sets;
};

Check charge_alternatives(RuleContext& context, const ConditionList& alternatives) {
    std::size_t weight = 0;
    for (const Json& alternative : alternatives) {
        weight += condition_weight(alternative);
    }
    return charge_weight(context, weight);
}

// Kept out of line: rule sets nest hundreds of levels deep, and this frame, which holds every
// field being built, must not stay on the stack while the named sets are expanded below it.
[[gnu::noinline]] Result<PlainRule> compile_plain_fields(const Json& rule, RuleContext& context) {
    PlainRule plain;
    Json base = Json::object();
    if (auto added = add_match_fields(rule, base); !added) {
        return failure_of(added);
    }
    auto processes = translate_processes(rule);
    if (!processes) {
        return failure_of(processes);
    }
    if (processes->matches_nothing) {
        plain.matches_nothing = true;
        return plain;
    }
    if (!processes->processes.empty()) {
        base["process"] = string_array(std::move(processes->processes));
    }
    if (auto added = add_port_fields(rule, base); !added) {
        return failure_of(added);
    }
    auto domains = domain_list(rule);
    if (!domains) {
        return failure_of(domains);
    }
    auto ips = cidr_list(rule, "ip_cidr", messages::kBadCidr);
    if (!ips) {
        return failure_of(ips);
    }
    plain.alternatives = destination_alternatives(std::move(base), std::move(*domains), *ips,
                                                  is_true(find_member(rule, "ip_is_private")));
    if (auto charged = charge_alternatives(context, plain.alternatives); !charged) {
        return failure_of(charged);
    }
    auto rule_sets = string_or_list(rule, "rule_set");
    if (!rule_sets) {
        return failure_of(rule_sets);
    }
    plain.rule_sets = *rule_sets;
    return plain;
}

[[gnu::noinline]] Result<ConditionList> compile_plain(const Json& rule, RuleContext& context,
                                                      const TagSet& visited) {
    auto plain = compile_plain_fields(rule, context);
    if (!plain) {
        return failure_of(plain);
    }
    if (plain->matches_nothing) {
        return ConditionList{};
    }
    if (plain->rule_sets.empty()) {
        return std::move(plain->alternatives);
    }
    auto union_list = expand_rule_sets(plain->rule_sets, context, visited);
    if (!union_list) {
        return union_list;
    }
    return and_merge(std::move(plain->alternatives), std::move(*union_list), &context);
}

const KeyList kRuleKeys = {"type",
                           "mode",
                           "rules",
                           "invert",
                           "clash_mode",
                           "domain",
                           "domain_suffix",
                           "domain_keyword",
                           "domain_regex",
                           "ip_cidr",
                           "ip_is_private",
                           "source_ip_cidr",
                           "source_ip_is_private",
                           "port",
                           "port_range",
                           "source_port",
                           "source_port_range",
                           "network",
                           "protocol",
                           "inbound",
                           "process_name",
                           "process_path",
                           "process_path_regex",
                           "rule_set",
                           "action",
                           "outbound",
                           "timeout",
                           "rule_set_ip_cidr_match_source",
                           "rule_set_ipcidr_match_source"};

// The logical kind of a rule whose `type` is "logical".
Result<RuleKind> logical_kind(const Json& rule) {
    const Json* rules = find_member(rule, "rules");
    if (rules == nullptr || !rules->is_array()) {
        return fail(messages::kLogicalRulesNotList);
    }
    const std::string* mode = as_text(find_member(rule, "mode"));
    if (mode == nullptr || *mode == "and") {
        return RuleKind::kAnd;
    }
    if (*mode == "or") {
        return RuleKind::kOr;
    }
    return fail(messages::kBadLogicalMode);
}

Result<RuleKind> classify_rule(const Json& rule, const std::string& mode) {
    if (auto checked = check_keys(rule, kRuleKeys, "правило"); !checked) {
        return failure_of(checked);
    }
    if (is_true(find_member(rule, "invert"))) {
        return fail(messages::kInvert);
    }
    if (is_true(find_member(rule, "rule_set_ip_cidr_match_source")) ||
        is_true(find_member(rule, "rule_set_ipcidr_match_source"))) {
        return fail(messages::kRuleSetSourceIp);
    }
    if (const std::string* clash_mode = as_text(find_member(rule, "clash_mode"));
        clash_mode != nullptr && *clash_mode != mode) {
        return RuleKind::kNothing;
    }
    if (!is_text(find_member(rule, "type"), "logical")) {
        return RuleKind::kPlain;
    }
    return logical_kind(rule);
}

// The engine matches `protocol` only against what its sniffers recognise, and none of them
// recognises DNS: a rule that names it never fires, and the queries it was meant to catch leak
// past it. DNS is caught by its port instead, unless the rule names a port of its own.
Check catch_dns_by_port(Json& condition) {
    const auto protocol = condition.find("protocol");
    if (protocol == condition.end()) {
        return {};
    }
    const Json::array_t& names = protocol->get_ref<const Json::array_t&>();
    const auto dns = static_cast<std::size_t>(std::count(names.begin(), names.end(), Json("dns")));
    if (dns == 0) {
        return {};
    }
    if (dns != names.size()) {
        return fail(messages::kDnsWithOtherProtocols);
    }
    condition.erase(protocol);
    if (!condition.contains("port")) {
        condition["port"] = "53";
    }
    return {};
}

// What a route rule does with the traffic it matches.
struct RouteTarget {
    bool skipped = false;  // the rule produces nothing
    std::string target;
    bool is_dns = false;
};

// A rule whose `process_name` holds only the probe sentinel (or nothing) is the client's probe.
Result<bool> is_probe_rule(const Json& rule) {
    if (!rule.is_object() || !rule.contains("process_name")) {
        return false;
    }
    auto names = string_or_list(rule, "process_name");
    if (!names) {
        return failure_of(names);
    }
    return std::all_of(names->begin(), names->end(),
                       [](const std::string& name) { return name == kProbeProcessName; });
}

Result<RouteTarget> route_target(const Json& rule) {
    const std::string* action_text = as_text(find_member(rule, "action"));
    const std::string action = action_text != nullptr ? *action_text : "route";
    if (action == "sniff") {
        return RouteTarget{true, "", false};
    }
    auto probe = is_probe_rule(rule);
    if (!probe) {
        return failure_of(probe);
    }
    if (*probe) {
        return RouteTarget{true, "", false};
    }
    if (action == "route") {
        const std::string* outbound = as_text(find_member(rule, "outbound"));
        if (outbound == nullptr) {
            return fail(messages::kRouteWithoutOutbound);
        }
        return RouteTarget{false, *outbound, false};
    }
    if (action == "reject") {
        return RouteTarget{false, "block", false};
    }
    if (action == "hijack-dns") {
        return RouteTarget{false, "vemla-dns", true};
    }
    return fail(messages::unsupported_action(action));
}

// The routing rules of one route rule: its condition objects, each made a complete rule with
// the rule's target.
Check append_routing_rules(ConditionList& conditions, std::size_t index, const RouteTarget& target,
                           const RoutingTargets& targets, Json& routing_rules) {
    for (Json& condition : conditions) {
        if (auto caught = catch_dns_by_port(condition); !caught) {
            return caught;
        }
    }
    // Every rule of this IR rule resolves the same target, so an unknown one is reported
    // before the rule count, exactly as if each rule had been resolved in turn.
    Json resolved = Json::object();
    if (auto found = resolve_rule_target(resolved, target.target, targets); !found) {
        return found;
    }
    if (routing_rules.size() + conditions.size() > kMaxRoutingRules) {
        return fail(messages::kTooManyRoutingRules);
    }
    const std::string tag_prefix = "vemla-rule-" + std::to_string(index) + "-";
    for (std::size_t j = 0; j < conditions.size(); ++j) {
        Json& condition = conditions[j];
        if (condition.empty()) {
            condition["network"] = "tcp,udp";
        }
        if (target.is_dns && !condition.contains("port")) {
            condition["port"] = "53";
        }
        condition["type"] = "field";
        condition["ruleTag"] = tag_prefix + std::to_string(j);
        condition.update(resolved);
        routing_rules.push_back(std::move(condition));
    }
    return {};
}

}  // namespace

std::size_t condition_weight(const Json& condition) {
    std::size_t weight = kValueWeight;
    if (condition.is_string()) {
        weight += condition.get_ref<const std::string&>().size();
    } else if (condition.is_array()) {
        for (const Json& element : condition) {
            weight += condition_weight(element);
        }
    } else if (condition.is_object()) {
        for (const auto& item : condition.items()) {
            weight += item.key().size() + condition_weight(item.value());
        }
    }
    return weight;
}

Check charge_weight(RuleContext& context, std::size_t weight) {
    RuleCompileState& state = context.state;
    if (weight > state.weight_limit || state.weight > state.weight_limit - weight) {
        return fail(messages::kTooMuchWork);
    }
    state.weight += weight;
    return {};
}

Result<ConditionList> compile_rule(const Json& rule, RuleContext& context, const TagSet& visited) {
    std::size_t& depth = context.state.depth;
    if (depth >= context.state.depth_limit) {
        return refuse(messages::kRulesTooDeep);
    }
    const auto kind = classify_rule(rule, context.settings.mode);
    if (!kind) {
        return refuse(kind.error());
    }
    // Counted on the way down and given back on the way up, whatever the outcome.
    struct Level {
        std::size_t& depth;
        explicit Level(std::size_t& d) : depth(++d) {}
        ~Level() { --depth; }
    } level(depth);
    switch (*kind) {
        case RuleKind::kNothing:
            return ConditionList{};
        case RuleKind::kAnd:
            return compile_and(rule.at("rules"), context, visited);
        case RuleKind::kOr:
            return compile_or(rule.at("rules"), context, visited);
        case RuleKind::kPlain:
            break;
    }
    return compile_plain(rule, context, visited);
}

Result<ConditionList> compile_rule(const Json& rule, const RuleSetTable& rule_sets,
                                   const CompileSettings& settings, const TagSet& visited) {
    RuleCompileState state;
    RuleContext context{rule_sets, settings, state};
    return compile_rule(rule, context, visited);
}

namespace {

// Every merged object holds one left and one right object; the product is charged before it
// is built.
[[gnu::noinline]] Check charge_product(RuleContext& context, const ConditionList& left,
                                       const ConditionList& right) {
    std::size_t left_weight = 0;
    for (const Json& object : left) {
        left_weight += condition_weight(object);
    }
    std::size_t right_weight = 0;
    for (const Json& object : right) {
        right_weight += condition_weight(object);
    }
    const std::size_t limit = context.state.weight_limit;
    if (left_weight > limit / right.size() || right_weight > limit / left.size()) {
        return fail(messages::kTooMuchWork);
    }
    return charge_weight(context, left_weight * right.size() + right_weight * left.size());
}

}  // namespace

[[gnu::noinline]] Result<ConditionList> and_merge(ConditionList left, ConditionList right,
                                                  RuleContext* context) {
    const std::size_t left_size = left.size();
    const std::size_t right_size = right.size();
    const bool overflows =
        left_size != 0 && right_size > std::numeric_limits<std::size_t>::max() / left_size;
    if (overflows || left_size * right_size > kMaxConditionObjects) {
        return fail(messages::kAndTooComplex);
    }
    if (left_size == 0 || right_size == 0) {
        return ConditionList{};
    }
    // One empty object on the left (a rule with no field of its own, or the start of an
    // "and") leaves the right list as it is; no object needs to be copied.
    if (left_size == 1 && left.front().empty()) {
        return right;
    }
    if (right_size == 1 && right.front().empty()) {
        return left;
    }
    if (context != nullptr) {
        if (auto charged = charge_product(*context, left, right); !charged) {
            return failure_of(charged);
        }
    }
    ConditionList merged;
    merged.reserve(left_size * right_size);
    for (std::size_t i = 0; i < left_size; ++i) {
        const bool last_left = i + 1 == left_size;
        for (std::size_t k = 0; k < right_size; ++k) {
            // The last pairing of each object may take the object itself.
            Json object = k + 1 == right_size ? std::move(left[i]) : left[i];
            for (auto& item : right[k].items()) {
                const auto present = object.find(item.key());
                if (present == object.end()) {
                    object[item.key()] = last_left ? std::move(item.value()) : item.value();
                } else if (*present != item.value()) {
                    return fail(messages::and_conflict(item.key()));
                }
            }
            merged.push_back(std::move(object));
        }
    }
    return merged;
}

Result<std::optional<std::string>> compile_ports(const Json& rule, std::string_view port_key,
                                                 std::string_view range_key) {
    std::string text;
    if (auto appended = append_port_numbers(rule, port_key, text); !appended) {
        return failure_of(appended);
    }
    if (auto appended = append_port_ranges(rule, range_key, text); !appended) {
        return failure_of(appended);
    }
    if (text.empty()) {
        return std::optional<std::string>{};
    }
    return std::optional<std::string>{std::move(text)};
}

Check compile_route_rule(const Json& rule, std::size_t index, const RuleSetTable& rule_sets,
                         const CompileSettings& settings, const RoutingTargets& targets,
                         Json& routing_rules, RuleCompileState* state) {
    auto target = route_target(rule);
    if (!target) {
        return failure_of(target);
    }
    if (target->skipped) {
        return {};
    }
    RuleCompileState own_state;
    RuleContext context{rule_sets, settings, state != nullptr ? *state : own_state};
    auto conditions = compile_rule(rule, context, TagSet{});
    if (!conditions) {
        return failure_of(conditions);
    }
    if (conditions->empty()) {
        return {};
    }
    return append_routing_rules(*conditions, index, *target, targets, routing_rules);
}

}  // namespace vemla::xray_native
