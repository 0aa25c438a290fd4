#pragma once

// Route rules: one IR rule becomes a list of condition objects (Xray matching fields only, a
// disjunction of conjunctions), and each condition object becomes one routing rule with the
// rule's target. A rule whose meaning cannot be carried over unchanged is refused.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

// Condition objects: each is a conjunction of its fields, the list a disjunction.
using ConditionList = std::vector<Json>;

// Objects per "or" list and per rule-set union, and the bound on an "and" product.
inline constexpr std::size_t kMaxConditionObjects = 50000;

// Bounds the memory that condition objects may take in one compilation. The object and product
// limits count objects, not their size: one rule set holding 100000 domains, named from 50000
// places, would otherwise be copied into a document of hundreds of gigabytes. The measure is
// the text of the entries plus a fixed charge per value; the README gives what it admits. (Time
// is bounded apart from this: a set is compiled at most twice per compilation, then reused.)
inline constexpr std::size_t kMaxConditionWeight = std::size_t{256} << 20;

// How deep rules may nest, through logical rules and rule sets together, before the compilation
// is refused: the recursion must stay far from the end of the stack. Validation admits about a
// thousand levels (the depth limit of every document times the number of rule sources); a
// test states the relation.
inline constexpr std::size_t kMaxRuleDepth = 2048;

// A rule set's union, kept once the set has been named a second time.
struct ExpandedRuleSet {
    ConditionList conditions;
    std::size_t weight = 0;
};

// What the rules of one compilation share. One instance should serve every route rule of a
// compilation, so that the weight bound holds for the whole document and a rule set named by
// many rules is expanded once.
struct RuleCompileState {
    std::size_t weight = 0;
    std::size_t weight_limit = kMaxConditionWeight;
    std::size_t depth = 0;  // rules being compiled, one inside the other
    std::size_t depth_limit = kMaxRuleDepth;
    TagSet expanded_once;
    std::unordered_map<std::string, ExpandedRuleSet> expanded;
};

struct RuleContext {
    const RuleSetTable& rule_sets;
    const CompileSettings& settings;
    RuleCompileState& state;
};

// Charges `weight` to the compilation; fails once the bound is crossed.
Check charge_weight(RuleContext& context, std::size_t weight);

// The weight of one condition object (see kMaxConditionWeight).
std::size_t condition_weight(const Json& condition);

// One IR rule (route rule, logical sub-rule or rule of a rule set) to condition objects.
// `visited` holds the rule-set tags on the current expansion path.
Result<ConditionList> compile_rule(const Json& rule, RuleContext& context, const TagSet& visited);
Result<ConditionList> compile_rule(const Json& rule, const RuleSetTable& rule_sets,
                                   const CompileSettings& settings, const TagSet& visited);

// The conjunction of two alternatives lists: every left object merged with every right one,
// left first. A field present on both sides with different values cannot be expressed and is
// refused. Both lists are consumed. `context`, when given, is charged for the product.
Result<ConditionList> and_merge(ConditionList left, ConditionList right,
                                RuleContext* context = nullptr);

// `port_key` (numbers) and `range_key` ("lo:hi" texts) of `rule` as one comma-separated port
// string; nothing when both are empty.
Result<std::optional<std::string>> compile_ports(const Json& rule, std::string_view port_key,
                                                 std::string_view range_key);

// Appends the routing rules of the IR route rule at position `index` to `routing_rules`,
// tagged "vemla-rule-{index}-{j}", and fails when the list then holds more than
// kMaxRoutingRules rules. `state` should be one object shared by all route rules of the
// compilation; without it each rule is bounded on its own.
Check compile_route_rule(const Json& rule, std::size_t index, const RuleSetTable& rule_sets,
                         const CompileSettings& settings, const RoutingTargets& targets,
                         Json& routing_rules, RuleCompileState* state = nullptr);

}  // namespace vemla::xray_native
