#include "xray_native/rule_sets.h"

#include <utility>

#include "xray_native/messages.h"

namespace vemla::xray_native {
namespace {

// What a backslash may make literal in an exact process name, and what gives an expression
// more than one match when it stands unescaped.
constexpr std::string_view kLiteralAfterBackslash = "$()+.[\\]^{|}";
constexpr std::string_view kMetacharacters = "$()*+.?[]^{|}";

bool is_in(char c, std::string_view set) {
    return set.find(c) != std::string_view::npos;
}

bool ends_with_exe(std::string_view name) {
    if (name.size() < 4) {
        return false;
    }
    const std::string_view tail = name.substr(name.size() - 4);
    constexpr std::string_view kExe = ".exe";
    for (std::size_t i = 0; i < 4; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != kExe[i]) {
            return false;
        }
    }
    return true;
}

// Tested before the objects are moved over, so the union never outgrows the bound.
[[gnu::noinline]] Check append_conditions(ConditionList& union_list, ConditionList&& conditions) {
    if (conditions.size() > kMaxConditionObjects - union_list.size()) {
        return fail(messages::kTooManyRuleSetRules);
    }
    for (Json& condition : conditions) {
        union_list.push_back(std::move(condition));
    }
    return {};
}

}  // namespace

Result<std::string> unescape_process_name(std::string_view escaped) {
    std::string name;
    name.reserve(escaped.size());
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        const char c = escaped[i];
        if (c == '\\') {
            if (i + 1 == escaped.size()) {
                return fail(messages::kCutProcessEscape);
            }
            const char next = escaped[++i];
            if (!is_in(next, kLiteralAfterBackslash)) {
                return fail(messages::kUnsupportedProcessEscape);
            }
            name += next;
        } else if (is_in(c, kMetacharacters)) {
            return fail(messages::kProcessWildcard);
        } else {
            name += c;
        }
    }
    return name;
}

namespace {

// The executable name of one `process_path_regex` entry: the exact-name prefix, the escaped
// name, then "$".
Result<std::string> exact_process_name(const std::string& expression) {
    if (expression.size() <= kExactNamePrefix.size() || !expression.starts_with(kExactNamePrefix) ||
        !expression.ends_with('$')) {
        return fail(messages::kArbitraryProcessRegex);
    }
    auto name = unescape_process_name(
        std::string_view(expression)
            .substr(kExactNamePrefix.size(), expression.size() - kExactNamePrefix.size() - 1));
    if (!name) {
        return name;
    }
    if (!ends_with_exe(*name) || name->find_first_of("\\/") != std::string::npos) {
        return fail(messages::kProcessNotExeName);
    }
    return name;
}

}  // namespace

Result<ProcessMatch> translate_processes(const Json& rule) {
    ProcessMatch match;
    for (std::string_view key : {"process_name", "process_path"}) {
        auto entries = string_or_list(rule, key);
        if (!entries) {
            return failure_of(entries);
        }
        match.processes.insert(match.processes.end(), entries->begin(), entries->end());
    }
    auto expressions = string_or_list(rule, "process_path_regex");
    if (!expressions) {
        return failure_of(expressions);
    }
    for (const std::string& expression : *expressions) {
        if (expression == kNoExclusionSentinel) {
            continue;
        }
        auto name = exact_process_name(expression);
        if (!name) {
            return failure_of(name);
        }
        match.processes.push_back(std::move(*name));
    }
    // An exclusion rule whose list holds only the sentinel excludes nothing, so it must match
    // nothing rather than everything.
    match.matches_nothing = rule.contains("process_path_regex") && match.processes.empty();
    return match;
}

namespace {

// Looks a named set up. A set reused from an earlier expansion is appended to `union_list` at
// once and gives nullptr; otherwise the set's rules, which the caller compiles. Out of line, as
// the rule sets' recursion passes through the caller.
[[gnu::noinline]] Result<const Json*> open_rule_set(const std::string& tag, RuleContext& context,
                                                    const TagSet& visited,
                                                    ConditionList& union_list) {
    if (visited.contains(tag)) {
        return fail(messages::kRuleSetCycle);
    }
    // A set's union does not depend on the path that named it (a set that would reach a set
    // above it reaches itself first and fails), so a kept union is reused as it is.
    if (const auto kept = context.state.expanded.find(tag); kept != context.state.expanded.end()) {
        if (kept->second.conditions.size() > kMaxConditionObjects - union_list.size()) {
            return fail(messages::kTooManyRuleSetRules);
        }
        if (auto charged = charge_weight(context, kept->second.weight); !charged) {
            return failure_of(charged);
        }
        union_list.insert(union_list.end(), kept->second.conditions.begin(),
                          kept->second.conditions.end());
        return nullptr;
    }
    const auto entry = context.rule_sets.find(tag);
    if (entry == context.rule_sets.end() || entry->second == nullptr) {
        return fail(messages::rule_set_not_prepared(tag));
    }
    const Json* rules = find_member(*entry->second, "rules");
    if (rules == nullptr || !rules->is_array()) {
        return fail(messages::kRuleSetWithoutRules);
    }
    return rules;
}

// The first expansion of a set keeps nothing, so that a set named once costs no copy; the
// second keeps the union (the objects from `start` on) for every later use.
[[gnu::noinline]] Check keep_union(const std::string& tag, RuleContext& context,
                                   const ConditionList& union_list, std::size_t start) {
    RuleCompileState& state = context.state;
    if (state.expanded_once.insert(tag).second) {
        return {};
    }
    ExpandedRuleSet kept;
    kept.conditions.assign(union_list.begin() + static_cast<std::ptrdiff_t>(start),
                           union_list.end());
    for (const Json& condition : kept.conditions) {
        kept.weight += condition_weight(condition);
    }
    if (auto charged = charge_weight(context, kept.weight); !charged) {
        return charged;
    }
    state.expanded.emplace(tag, std::move(kept));
    return {};
}

// The path one set further down; its own copy, so sibling expansions do not see each other.
[[gnu::noinline]] TagSet extend_path(const TagSet& visited, const std::string& tag) {
    TagSet path = visited;
    path.insert(tag);
    return path;
}

}  // namespace

Result<ConditionList> expand_rule_sets(const StringList& tags, RuleContext& context,
                                       const TagSet& visited) {
    ConditionList union_list;
    for (const std::string& tag : tags) {
        auto rules = open_rule_set(tag, context, visited, union_list);
        if (!rules) {
            return failure_of(rules);
        }
        if (*rules == nullptr) {
            continue;
        }
        const TagSet inner = extend_path(visited, tag);
        const std::size_t start = union_list.size();
        for (const Json& rule : (*rules)->get_ref<const Json::array_t&>()) {
            auto compiled = compile_rule(rule, context, inner);
            if (!compiled) {
                return compiled;
            }
            if (auto appended = append_conditions(union_list, std::move(*compiled)); !appended) {
                return failure_of(appended);
            }
        }
        if (auto kept = keep_union(tag, context, union_list, start); !kept) {
            return failure_of(kept);
        }
    }
    return union_list;
}

}  // namespace vemla::xray_native
