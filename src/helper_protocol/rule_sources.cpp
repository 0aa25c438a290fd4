#include "helper_protocol/rule_sources.h"

#include <utility>

#include "helper_protocol/messages.h"
#include "helper_protocol/validation.h"
#include "json/json_access.h"
#include "json/result.h"

namespace vemla::helper_protocol {
namespace {

// A built-in rule source, read, parsed and checked like a client document.
Result<Json> read_built_in_rule_source(const std::string& tag,
                                       const BuiltInRuleSourceReader& read_built_in) {
    if (!is_built_in_rule_source(tag)) {
        return fail(messages::kMissingNativeRuleSource);
    }
    auto bytes = read_built_in(tag);
    if (!bytes) {
        return failure_of(bytes);
    }
    if (bytes->size() > kMaxBuiltInRuleSourceBytes) {
        return fail(messages::kBuiltInRuleSourceTooLarge);
    }
    auto document = parse_json(*bytes);
    if (!document) {
        return document;
    }
    if (auto checked = validate_rule_source(*document); !checked) {
        return failure_of(checked);
    }
    return document;
}

}  // namespace

std::expected<Json, std::string> collect_rule_sources(
    const Json& validated_config, Json rules, const BuiltInRuleSourceReader& read_built_in) {
    if (!rules.is_object()) {
        return fail(messages::kMissingRules);
    }
    const Json* route = find_member(validated_config, "route");
    const Json* entries = route != nullptr ? find_member(*route, "rule_set") : nullptr;
    if (entries == nullptr || !entries->is_array()) {
        return fail(messages::kMissingRuleSets);
    }
    for (const Json& entry : *entries) {
        const std::string* tag = as_text(find_member(entry, "tag"));
        if (tag == nullptr) {
            return fail(messages::kMissingRuleTag);
        }
        if (rules.contains(*tag)) {
            continue;
        }
        auto document = read_built_in_rule_source(*tag, read_built_in);
        if (!document) {
            return failure_of(document);
        }
        rules[*tag] = std::move(*document);
    }
    return rules;
}

}  // namespace vemla::helper_protocol
