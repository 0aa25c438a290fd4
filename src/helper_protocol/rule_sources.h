#pragma once

#include <cstddef>
#include <expected>
#include <functional>
#include <string>
#include <string_view>

#include "json/json_text.h"

namespace vemla::helper_protocol {

// A built-in rule source file larger than this is refused before it is parsed.
inline constexpr std::size_t kMaxBuiltInRuleSourceBytes = 8388608;

// Reads the bytes of the built-in rule source of a tag. The reader proves the file trustworthy
// and stops reading after kMaxBuiltInRuleSourceBytes + 1 bytes; failure is its message.
using BuiltInRuleSourceReader =
    std::function<std::expected<std::string, std::string>(std::string_view tag)>;

// Builds the rules map the compiler reads: the client's own documents (taken over, not copied)
// plus every built-in rule source that a rule-set entry of the validated configuration names
// and the client did not send, each read, parsed and checked like a client document.
std::expected<Json, std::string> collect_rule_sources(const Json& validated_config, Json rules,
                                                      const BuiltInRuleSourceReader& read_built_in);

}  // namespace vemla::helper_protocol
