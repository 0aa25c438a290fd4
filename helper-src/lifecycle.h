#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/json_text.h"
#include "service_context.h"
#include "service_state.h"

// The operations that change what the service holds: connecting, and reserving the service for
// an installer. Each returns the reply object or the failure text.
namespace vemla::service {

// Takes the request's `config` and `rules` out of it.
std::expected<Json, std::string> start_connection(ServiceContext& context, ServiceState& state,
                                                  Json& request, const std::string& session);

std::expected<Json, std::string> prepare_update(ServiceContext& context, ServiceState& state,
                                                const Json& request, const std::string& session,
                                                std::uint32_t client_pid);

std::expected<Json, std::string> cancel_update(ServiceState& state, std::string_view session);

}  // namespace vemla::service
