#pragma once

#include <chrono>
#include <cstddef>
#include <expected>
#include <string>
#include <string_view>

#include "helper_protocol/constants.h"
#include "json/json_text.h"
#include "platform.h"
#include "service_context.h"
#include "service_state.h"

namespace vemla::service {

using helper_protocol::kMaxRequestBytes;
inline constexpr std::size_t kPipeBufferBytes = kMaxRequestBytes;
inline constexpr std::size_t kReadChunkBytes = 8192;
inline constexpr std::chrono::milliseconds kIdlePoll{50};
inline constexpr std::chrono::milliseconds kReadPoll{10};
inline constexpr std::chrono::seconds kRequestDeadline{10};
inline constexpr std::chrono::seconds kLingerLimit{2};

inline constexpr std::string_view kInvalidOwnerSid = "Invalid installation owner SID";

// A domain or local account SID: "S-1-5-21-", then digits, "-" and "S" only, 9 to 184 bytes.
bool is_owner_sid_text(std::string_view sid);

// Checks the content of `owner.sid` (already known to be UTF-8) and returns the SID text.
std::expected<std::string, std::string> parse_owner_sid(std::string_view content);

// Reads one request: bytes up to a line feed that is the last byte received so far, under the
// deadline and the size limit, from a caller proved to run as the installation owner.
std::expected<Json, std::string> read_request(Pipe& pipe, Clock& clock, const StopFlag& stop,
                                              const std::string& owner_sid);

// Learns who is calling and hands the request to the envelope.
std::expected<Json, std::string> handle_connection(ServiceContext& context, Pipe& pipe,
                                                   ServiceState& state, Json request);

// Serves one client at a time until the stop flag is set.
void serve(ServiceContext& context, Pipe& pipe, ServiceState& state);

}  // namespace vemla::service
