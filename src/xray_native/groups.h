#pragma once

// Server groups (selector and urltest outbounds) become routing balancers; the members of the
// URL-test groups are measured by one shared observatory.

#include <string>
#include <unordered_map>
#include <vector>

#include "xray_native/compiler_common.h"

namespace vemla::xray_native {

using GroupMap = std::unordered_map<std::string, const Json*>;

// Bounds the members of all flattened groups together. Flattening is quadratic on hostile
// input: a chain of groups that each name the next and one outbound of their own gives every
// group every outbound below it, so 50000 groups would ask for over a billion balancer entries.
// A thousand groups of a thousand outbounds each stay within it.
inline constexpr std::size_t kMaxGroupMembers = 1000000;

// A group flattened to plain outbound tags (IR tags, without "~"), in first-seen order.
struct ResolvedGroup {
    std::vector<std::string> members;
    bool is_urltest = false;
};

// Flattens `tag` to plain outbounds. `visiting` holds the groups on the current resolution
// path; a group met again on it is a cycle. A selector follows only its chosen member.
Result<ResolvedGroup> resolve_group(const std::string& tag, const GroupMap& groups,
                                    const TagSet& outbound_tags, TagSet& visiting);

struct GroupsResult {
    Json balancers = Json::array();
    std::vector<std::string> subjects;  // Xray outbound tags the observatory measures
    std::string probe_url;
    std::string probe_interval;
};

// One balancer per group in ascending byte order of the group tag, and the observatory
// subjects; the probe URL and interval start from the settings and are overridden by each
// URL-test group that sets them, so the group whose tag sorts last wins.
Result<GroupsResult> compile_groups(const RoutingTargets& targets, const CompileSettings& settings);

}  // namespace vemla::xray_native
