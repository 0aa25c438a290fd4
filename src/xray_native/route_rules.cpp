#include "xray_native/route_rules.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>

#include "xray_native/rule_sets.h"

namespace vemla::xray_native {
namespace {

constexpr std::string_view kTooMuchWork = "Xray: слишком много правил";

// Charged for every value held by a condition object: about what the DOM spends on a node
// besides its text.
constexpr std::size_t kValueWeight = 64;

bool is_true(const Json& rule, std::string_view key) {
    const auto member = rule.find(key);
    return member != rule.end() && member->is_boolean() && member->get<bool>();
}

const Json* find_member(const Json& rule, std::string_view key) {
    const auto member = rule.find(key);
    return member == rule.end() ? nullptr : &*member;
}

// A string-or-list member read in place: the same checks and messages as string_or_list, but
// the entries stay where they are, since rule sources may hold hundreds of thousands of them.
struct StringItems {
    const Json* data = nullptr;
    std::size_t size = 0;

    const std::string& operator[](std::size_t i) const {
        return data[i].get_ref<const std::string&>();
    }
};

Result<StringItems> string_items(const Json& rule, std::string_view key) {
    const auto member = rule.find(key);
    if (member == rule.end() || member->is_null()) {
        return StringItems{};
    }
    if (member->is_string()) {
        return StringItems{&*member, 1};
    }
    if (!member->is_array()) {
        return std::unexpected("Xray: нужна строка или список строк");
    }
    const Json::array_t& array = member->get_ref<const Json::array_t&>();
    for (const Json& entry : array) {
        if (!entry.is_string()) {
            return std::unexpected("Xray: нужен список строк");
        }
    }
    return StringItems{array.data(), array.size()};
}

// A string-or-list member whose every entry must be an address or CIDR, else `message`.
Result<StringItems> cidr_items(const Json& rule, std::string_view key, const char* message) {
    auto items = string_items(rule, key);
    if (!items) {
        return items;
    }
    for (std::size_t i = 0; i < items->size; ++i) {
        if (!is_ip_or_cidr((*items)[i])) {
            return std::unexpected(message);
        }
    }
    return items;
}

// The entries of `items` followed by the private address list when `add_private` is set.
Json address_array(const StringItems& items, bool add_private) {
    Json array = Json::array();
    Json::array_t& values = array.get_ref<Json::array_t&>();
    values.reserve(items.size + (add_private ? kPrivateCidrs.size() : 0));
    for (std::size_t i = 0; i < items.size; ++i) {
        values.emplace_back(items[i]);
    }
    if (add_private) {
        for (const std::string& cidr : kPrivateCidrs) {
            values.emplace_back(cidr);
        }
    }
    return array;
}

Json string_array(std::vector<std::string>&& entries) {
    Json array = Json::array();
    array.get_ref<Json::array_t&>().reserve(entries.size());
    for (std::string& entry : entries) {
        array.push_back(std::move(entry));
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

// Rules nest through logical rules and rule sets hundreds of levels deep, so every function on
// that recursion keeps a small frame: the checks, the field building and the messages run in
// functions of their own that have returned before the recursion goes deeper.
[[gnu::noinline, gnu::cold]] Result<ConditionList> refuse(std::string_view message) {
    return std::unexpected(std::string(message));
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
            return refuse("Xray: слишком много правил");
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

// Reads a string-or-list member and writes it to `base` under `xray_key` as an array.
Check add_list(const Json& rule, std::string_view key, Json& base, const char* xray_key) {
    auto entries = string_or_list(rule, key);
    if (!entries) {
        return std::unexpected(std::move(entries.error()));
    }
    if (!entries->empty()) {
        base[xray_key] = string_array(std::move(*entries));
    }
    return {};
}

// The fields of a plain rule, before its rule sets are expanded.
struct PlainRule {
    bool matches_nothing = false;
    ConditionList alternatives;
    std::vector<std::string> rule_sets;
};

// Kept out of line: rule sets nest hundreds of levels deep, and this frame, which holds every
// field being built, must not stay on the stack while the named sets are expanded below it.
[[gnu::noinline]] Result<PlainRule> compile_plain_fields(const Json& rule, RuleContext& context) {
    PlainRule plain;
    Json base = Json::object();

    auto network = string_or_list(rule, "network");
    if (!network) {
        return std::unexpected(std::move(network.error()));
    }
    if (!network->empty()) {
        std::string joined;
        for (std::size_t i = 0; i < network->size(); ++i) {
            if (i != 0) {
                joined += ',';
            }
            joined += (*network)[i];
        }
        base["network"] = std::move(joined);
    }
    if (auto added = add_list(rule, "protocol", base, "protocol"); !added) {
        return std::unexpected(std::move(added.error()));
    }
    if (auto added = add_list(rule, "inbound", base, "inboundTag"); !added) {
        return std::unexpected(std::move(added.error()));
    }
    auto sources = cidr_items(rule, "source_ip_cidr", "Xray: неверный source CIDR");
    if (!sources) {
        return std::unexpected(std::move(sources.error()));
    }
    const bool private_sources = is_true(rule, "source_ip_is_private");
    if (sources->size != 0 || private_sources) {
        base["source"] = address_array(*sources, private_sources);
    }

    auto processes = translate_processes(rule);
    if (!processes) {
        return std::unexpected(std::move(processes.error()));
    }
    if (processes->matches_nothing) {
        plain.matches_nothing = true;
        return plain;
    }
    if (!processes->processes.empty()) {
        base["process"] = string_array(std::move(processes->processes));
    }

    auto port = compile_ports(rule, "port", "port_range");
    if (!port) {
        return std::unexpected(std::move(port.error()));
    }
    if (*port) {
        base["port"] = std::move(**port);
    }
    auto source_port = compile_ports(rule, "source_port", "source_port_range");
    if (!source_port) {
        return std::unexpected(std::move(source_port.error()));
    }
    if (*source_port) {
        base["sourcePort"] = std::move(**source_port);
    }

    struct DomainKey {
        std::string_view key;
        std::string_view prefix;
    };
    constexpr std::array<DomainKey, 4> kDomainKeys{{{"domain", "full:"},
                                                    {"domain_suffix", "domain:"},
                                                    {"domain_keyword", "keyword:"},
                                                    {"domain_regex", "regexp:"}}};
    Json domains = Json::array();
    Json::array_t& domain_values = domains.get_ref<Json::array_t&>();
    for (const DomainKey& domain_key : kDomainKeys) {
        auto entries = string_items(rule, domain_key.key);
        if (!entries) {
            return std::unexpected(std::move(entries.error()));
        }
        domain_values.reserve(domain_values.size() + entries->size);
        for (std::size_t i = 0; i < entries->size; ++i) {
            std::string_view name = (*entries)[i];
            if (name.empty()) {
                return std::unexpected("Xray: пустой домен в правиле");
            }
            if (domain_key.key == "domain_suffix") {
                name.remove_prefix(std::min(name.find_first_not_of('.'), name.size()));
            }
            std::string text;
            text.reserve(domain_key.prefix.size() + name.size());
            text.append(domain_key.prefix).append(name);
            domain_values.emplace_back(std::move(text));
        }
    }

    auto ips = cidr_items(rule, "ip_cidr", "Xray: неверный CIDR");
    if (!ips) {
        return std::unexpected(std::move(ips.error()));
    }
    const bool private_ips = is_true(rule, "ip_is_private");

    // sing-box matches a rule when any one destination item matches; an Xray rule needs all
    // of its fields, so domains and addresses become separate alternatives.
    ConditionList& alternatives = plain.alternatives;
    const bool has_domains = !domains.empty();
    const bool has_ips = ips->size != 0 || private_ips;
    if (has_domains && has_ips) {
        Json with_domains = base;
        with_domains["domain"] = std::move(domains);
        alternatives.push_back(std::move(with_domains));
        base["ip"] = address_array(*ips, private_ips);
        alternatives.push_back(std::move(base));
    } else if (has_domains) {
        base["domain"] = std::move(domains);
        alternatives.push_back(std::move(base));
    } else if (has_ips) {
        base["ip"] = address_array(*ips, private_ips);
        alternatives.push_back(std::move(base));
    } else {
        alternatives.push_back(std::move(base));
    }
    std::size_t weight = 0;
    for (const Json& alternative : alternatives) {
        weight += condition_weight(alternative);
    }
    if (auto charged = charge_weight(context, weight); !charged) {
        return std::unexpected(std::move(charged.error()));
    }

    auto rule_set_tags = string_or_list(rule, "rule_set");
    if (!rule_set_tags) {
        return std::unexpected(std::move(rule_set_tags.error()));
    }
    plain.rule_sets = std::move(*rule_set_tags);
    return plain;
}

[[gnu::noinline]] Result<ConditionList> compile_plain(const Json& rule, RuleContext& context,
                                                      const TagSet& visited) {
    auto plain = compile_plain_fields(rule, context);
    if (!plain) {
        return std::unexpected(std::move(plain.error()));
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

constexpr std::array<std::string_view, 29> kRuleKeys{"type",
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

Result<RuleKind> classify_rule(const Json& rule, const std::string& mode) {
    if (!rule.is_object()) {
        return std::unexpected("Xray: правило должен быть объектом");
    }
    for (const auto& item : rule.items()) {
        if (std::find(kRuleKeys.begin(), kRuleKeys.end(), item.key()) == kRuleKeys.end()) {
            return std::unexpected("Xray: правило: параметр " + item.key() + " не поддерживается");
        }
    }
    if (is_true(rule, "invert")) {
        return std::unexpected("Xray: отрицание invert не поддерживается без изменения смысла");
    }
    if (is_true(rule, "rule_set_ip_cidr_match_source") ||
        is_true(rule, "rule_set_ipcidr_match_source")) {
        return std::unexpected("Xray: rule_set с source-IP требует отдельного перевода");
    }
    if (const Json* clash_mode = find_member(rule, "clash_mode");
        clash_mode != nullptr && clash_mode->is_string() &&
        clash_mode->get_ref<const std::string&>() != mode) {
        return RuleKind::kNothing;
    }
    const Json* type = find_member(rule, "type");
    if (type == nullptr || !type->is_string() || type->get_ref<const std::string&>() != "logical") {
        return RuleKind::kPlain;
    }
    const Json* rules = find_member(rule, "rules");
    if (rules == nullptr || !rules->is_array()) {
        return std::unexpected("Xray: logical.rules должен быть списком");
    }
    const Json* logical_mode = find_member(rule, "mode");
    if (logical_mode == nullptr || !logical_mode->is_string()) {
        return RuleKind::kAnd;
    }
    const std::string& text = logical_mode->get_ref<const std::string&>();
    if (text == "and") {
        return RuleKind::kAnd;
    }
    if (text == "or") {
        return RuleKind::kOr;
    }
    return std::unexpected("Xray: logical.mode должен быть and или or");
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
        return std::unexpected(std::string(kTooMuchWork));
    }
    state.weight += weight;
    return {};
}

Result<ConditionList> compile_rule(const Json& rule, RuleContext& context, const TagSet& visited) {
    const auto kind = classify_rule(rule, context.settings.mode);
    if (!kind) {
        return std::unexpected(kind.error());
    }
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

[[gnu::noinline]] Result<ConditionList> and_merge(ConditionList left, ConditionList right,
                                                  RuleContext* context) {
    const std::size_t left_size = left.size();
    const std::size_t right_size = right.size();
    if (left_size != 0 && right_size > std::numeric_limits<std::size_t>::max() / left_size) {
        return std::unexpected("Xray: слишком сложное логическое правило");
    }
    if (left_size * right_size > kMaxConditionObjects) {
        return std::unexpected("Xray: слишком сложное логическое правило");
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
        // Every merged object holds one left and one right object; the product is charged
        // before it is built.
        std::size_t left_weight = 0;
        for (const Json& object : left) {
            left_weight += condition_weight(object);
        }
        std::size_t right_weight = 0;
        for (const Json& object : right) {
            right_weight += condition_weight(object);
        }
        const std::size_t limit = context->state.weight_limit;
        if (left_weight > limit / right_size || right_weight > limit / left_size) {
            return std::unexpected(std::string(kTooMuchWork));
        }
        if (auto charged =
                charge_weight(*context, left_weight * right_size + right_weight * left_size);
            !charged) {
            return std::unexpected(std::move(charged.error()));
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
                    return std::unexpected("Xray: AND двух разных условий " + item.key() +
                                           " нельзя передать без изменения смысла");
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
    const auto append = [&text](std::string_view entry) {
        if (!text.empty()) {
            text += ',';
        }
        text += entry;
    };
    const auto port_entry = [](const Json& value) -> std::optional<std::uint64_t> {
        if (value.is_number_unsigned()) {
            const auto port = value.get<std::uint64_t>();
            if (port >= 1 && port <= 65535) {
                return port;
            }
        }
        // A signed integer here is negative or zero (positive integers parse as unsigned), or
        // was built by code; accept it only within range.
        if (value.is_number_integer() && !value.is_number_unsigned()) {
            const auto port = value.get<std::int64_t>();
            if (port >= 1 && port <= 65535) {
                return static_cast<std::uint64_t>(port);
            }
        }
        return std::nullopt;
    };
    if (const Json* ports = find_member(rule, port_key); ports != nullptr && !ports->is_null()) {
        if (ports->is_array()) {
            for (const Json& element : *ports) {
                const auto port = port_entry(element);
                if (!port) {
                    return std::unexpected("Xray: некорректный порт");
                }
                append(std::to_string(*port));
            }
        } else {
            const auto port = port_entry(*ports);
            if (!port) {
                return std::unexpected("Xray: некорректный порт");
            }
            append(std::to_string(*port));
        }
    }
    auto ranges = string_or_list(rule, range_key);
    if (!ranges) {
        return std::unexpected(std::move(ranges.error()));
    }
    for (const std::string& entry : *ranges) {
        std::size_t split = entry.find(':');
        if (split == std::string::npos) {
            split = entry.find('-');
        }
        if (split == std::string::npos) {
            return std::unexpected("Xray: нужен диапазон портов lo:hi");
        }
        const auto low = parse_port_bound(std::string_view(entry).substr(0, split));
        const auto high = parse_port_bound(std::string_view(entry).substr(split + 1));
        if (!low || !high || *low < 1 || *high < *low) {
            return std::unexpected("Xray: неверная граница порта");
        }
        append(std::to_string(*low) + "-" + std::to_string(*high));
    }
    if (text.empty()) {
        return std::optional<std::string>{};
    }
    return std::optional<std::string>{std::move(text)};
}

Check compile_route_rule(const Json& rule, std::size_t index, const RuleSetTable& rule_sets,
                         const CompileSettings& settings, const RoutingTargets& targets,
                         Json& routing_rules, RuleCompileState* state) {
    const Json* action_member = rule.is_object() ? find_member(rule, "action") : nullptr;
    const bool has_action = action_member != nullptr && action_member->is_string();
    const std::string action =
        has_action ? action_member->get<std::string>() : std::string("route");
    if (action == "sniff") {
        return {};
    }
    if (rule.is_object() && rule.contains("process_name")) {
        auto names = string_or_list(rule, "process_name");
        if (!names) {
            return std::unexpected(std::move(names.error()));
        }
        bool only_probe = true;
        for (const std::string& name : *names) {
            only_probe = only_probe && name == kProbeProcessName;
        }
        if (only_probe) {
            return {};
        }
    }
    std::string target;
    bool is_dns = false;
    if (action == "route") {
        const Json* outbound = rule.is_object() ? find_member(rule, "outbound") : nullptr;
        if (outbound == nullptr || !outbound->is_string()) {
            return std::unexpected("Xray: route rule без outbound");
        }
        target = outbound->get<std::string>();
    } else if (action == "reject") {
        target = "block";
    } else if (action == "hijack-dns") {
        target = "vemla-dns";
        is_dns = true;
    } else {
        return std::unexpected("Xray: действие маршрута " + action + " не поддерживается");
    }

    RuleCompileState own_state;
    RuleContext context{rule_sets, settings, state != nullptr ? *state : own_state};
    auto conditions = compile_rule(rule, context, TagSet{});
    if (!conditions) {
        return std::unexpected(std::move(conditions.error()));
    }
    if (conditions->empty()) {
        return {};
    }
    // Every rule of this IR rule resolves the same target, so an unknown one is reported
    // before the rule count, exactly as if each rule had been resolved in turn.
    Json probe = Json::object();
    if (auto resolved = resolve_rule_target(probe, target, targets); !resolved) {
        return resolved;
    }
    if (routing_rules.size() + conditions->size() > kMaxRoutingRules) {
        return std::unexpected("Xray: скомпилировано больше 50000 правил");
    }
    const std::string tag_prefix = "vemla-rule-" + std::to_string(index) + "-";
    for (std::size_t j = 0; j < conditions->size(); ++j) {
        Json& condition = (*conditions)[j];
        if (condition.empty()) {
            condition["network"] = "tcp,udp";
        }
        if (is_dns && !condition.contains("port")) {
            condition["port"] = "53";
        }
        condition["type"] = "field";
        condition["ruleTag"] = tag_prefix + std::to_string(j);
        for (const auto& item : probe.items()) {
            condition[item.key()] = item.value();
        }
        routing_rules.push_back(std::move(condition));
    }
    return {};
}

}  // namespace vemla::xray_native
