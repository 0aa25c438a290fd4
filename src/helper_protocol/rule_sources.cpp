#include "helper_protocol/rule_sources.h"

#include <utility>

#include "helper_protocol/validation.h"

namespace vemla::helper_protocol {

std::expected<Json, std::string> collect_rule_sources(
    const Json& validated_config, Json rules, const BuiltInRuleSourceReader& read_built_in) {
    if (!rules.is_object()) {
        return std::unexpected("Missing rules");
    }
    const auto route = validated_config.find("route");
    const Json* entries = nullptr;
    if (route != validated_config.end() && route->is_object()) {
        const auto rule_set = route->find("rule_set");
        entries = rule_set == route->end() ? nullptr : &*rule_set;
    }
    if (entries == nullptr || !entries->is_array()) {
        return std::unexpected("Missing rule sets");
    }
    for (const Json& entry : *entries) {
        const auto tag_it = entry.is_object() ? entry.find("tag") : entry.end();
        if (tag_it == entry.end() || !tag_it->is_string()) {
            return std::unexpected("Missing rule tag");
        }
        const auto& tag = tag_it->get_ref<const std::string&>();
        if (rules.contains(tag)) {
            continue;
        }
        if (!is_built_in_rule_source(tag)) {
            return std::unexpected("Missing validated native rule source");
        }
        auto bytes = read_built_in(tag);
        if (!bytes) {
            return std::unexpected(std::move(bytes.error()));
        }
        if (bytes->size() > kMaxBuiltInRuleSourceBytes) {
            return std::unexpected("Protected native rule source is too large");
        }
        auto document = parse_json(*bytes);
        if (!document) {
            return std::unexpected(std::move(document.error()));
        }
        if (auto ok = validate_rule_source(*document); !ok) {
            return std::unexpected(std::move(ok.error()));
        }
        rules[tag] = std::move(*document);
    }
    return rules;
}

}  // namespace vemla::helper_protocol
