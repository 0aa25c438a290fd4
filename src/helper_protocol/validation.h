#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "json/json_access.h"
#include "json/json_text.h"
#include "json/result.h"

namespace vemla::helper_protocol {

inline constexpr std::size_t kMaxValueDepth = 12;
inline constexpr std::size_t kMaxArrayElements = 100000;
inline constexpr std::size_t kMaxObjectMembers = 128;
inline constexpr std::size_t kMaxStringBytes = 8192;
inline constexpr std::size_t kMaxRulesMapBytes = 12582912;
inline constexpr std::size_t kMaxRuleSources = 256;
inline constexpr std::size_t kMaxRuleSourceBytes = 8388608;

// The rule sources shipped in the installation's `rules` directory.
inline constexpr std::string_view kBuiltInRuleSources[] = {"geoip-ru", "geosite-ru", "geosite-ads"};
bool is_built_in_rule_source(std::string_view tag);

// Checks the unprivileged client's configuration IR and rules map and returns the IR with the
// parts the helper alone decides (log, TUN inbound, rule-set entries) in canonical form.
// Reads no file: rule-set paths are computed from the two directories.
Result<Json> validate_privileged_config(Json configuration, const Json& rules,
                                        const std::filesystem::path& installation_directory,
                                        const std::filesystem::path& rule_directory);

Check check_value_limits(const Json& value, std::size_t depth);
// A key is allowed when it is in either list.
Check check_allowed_keys(const Json& value, KeyList keys, KeyList more_keys = {});
Check validate_rule(const Json& rule, bool route);
Check validate_outbound(const Json& outbound);
Check validate_tls(const Json& tls);
bool is_valid_rule_tag(std::string_view text);
bool is_duration_text(std::string_view text);

// Checks one rule source document (a rule set in source form).
Check validate_rule_source(const Json& document);

}  // namespace vemla::helper_protocol
