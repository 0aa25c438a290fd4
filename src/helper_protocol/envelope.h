#pragma once

#include <string_view>

#include "helper_protocol/validation.h"
#include "json/json_text.h"

namespace vemla::helper_protocol {

// The members a request may carry; any other member refuses the whole request.
inline constexpr std::string_view kRequestKeys[] = {
    "version", "op", "session", "native_xray", "config", "rules", "owner_pid", "tag", "document"};

inline constexpr std::size_t kSessionLength = 64;

bool has_only_request_keys(const Json& request);

// `version` is present and is the integer 1 (not 1.0, not "1").
bool is_protocol_version(const Json& request);

// `native_xray` is present and is the boolean true.
bool asks_for_native_xray(const Json& request);

// A client session: exactly 64 characters, each 0-9, a-f or A-F.
bool is_session_text(std::string_view session);

// The checks every request passes first: an object, only known members, version 1.
Check check_request_basics(const Json& request);

// The checks a start request passes before the service looks at its own state, in the order
// the service makes them. Used by tools that tell offline whether the service would accept a
// request; a request whose `op` is not "start" fails with "Not a start request".
Check check_start_envelope(const Json& request);

}  // namespace vemla::helper_protocol
