#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "helper_protocol/constants.h"
#include "json/json_text.h"
#include "platform.h"
#include "service_state.h"

namespace vemla::service {

using helper_protocol::kMaxRequestBytes;
inline constexpr std::size_t kPipeBufferBytes = kMaxRequestBytes;
inline constexpr std::size_t kReadChunkBytes = 8192;
inline constexpr std::chrono::milliseconds kIdlePoll{50};
inline constexpr std::chrono::milliseconds kReadPoll{10};
inline constexpr std::chrono::seconds kRequestDeadline{10};
inline constexpr std::chrono::seconds kLingerLimit{2};

// Checks the content of `owner.sid` (already known to be UTF-8) and returns the SID text.
std::expected<std::string, std::string> parse_owner_sid(std::string_view content);

// Reads one request: bytes up to a line feed that is the last byte received so far, under the
// deadline and the size limit, from a caller proved to run as the installation owner.
std::expected<Json, std::string> read_request(Pipe& pipe, Clock& clock,
                                              const std::string& owner_sid);

// Learns who is calling and hands the request to the envelope.
std::expected<Json, std::string> handle_connection(Pipe& pipe, ServiceState& state,
                                                   const Json& request);

// Serves one client at a time until the stop flag is set.
void serve(Pipe& pipe, Clock& clock, ServiceState& state);

}  // namespace vemla::service
