#pragma once

// Rule sets are inlined: every named set is expanded into condition objects. Process fields
// become the Xray `process` list; of the regular expressions only the exact-executable-name
// form is accepted and turned back into the name.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "xray_native/route_rules.h"

namespace vemla::xray_native {

// Case-insensitive, then start of text, a backslash or a slash (two backslash characters).
inline constexpr std::string_view kExactNamePrefix = "(?i)(?:^|[\\\\/])";
static_assert(kExactNamePrefix.size() == 15);

// The regular expression a client sends when it excludes no process.
inline constexpr std::string_view kNoExclusionSentinel =
    "(?i)^vemla-no-excluded-process\\\\never\\\\matches$";
static_assert(kNoExclusionSentinel.size() == 47);

// A process name that the client uses for a probe rule that must match nothing.
inline constexpr std::string_view kProbeProcessName = "vemla-process-probe-no-match";

// The union of the condition objects of every named set, in order; a set named twice is
// expanded twice. `visited` holds the sets on the current expansion path.
Result<ConditionList> expand_rule_sets(const StringList& tags, RuleContext& context,
                                       const TagSet& visited);

// The outcome of the process fields of one rule.
struct ProcessMatch {
    // The rule excludes processes but names none: it must match nothing.
    bool matches_nothing = false;
    // The `process` list; empty adds no field.
    std::vector<std::string> processes;
};
Result<ProcessMatch> translate_processes(const Json& rule);

// The executable name written in an exact-name `process_path_regex` entry (without the prefix
// and the final "$"), unescaped.
Result<std::string> unescape_process_name(std::string_view escaped);

}  // namespace vemla::xray_native
