#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json_text.h"
#include "service_context.h"
#include "service_state.h"

namespace vemla::service {

// Checks the envelope of one request and carries out its operation. Returns the reply object,
// or the failure text that error_reply turns into the reply. The request is taken, so that a
// start can hand its configuration and rules on without copying them.
std::expected<Json, std::string> handle_request(ServiceContext& context, ServiceState& state,
                                                Json request, std::uint32_t client_pid);

// Runs the housekeeping, then describes the state (the `status` reply without `owned`).
Json build_status(ServiceState& state);

Json error_reply(std::string_view text);

}  // namespace vemla::service
