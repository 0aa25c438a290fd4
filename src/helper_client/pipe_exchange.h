#pragma once

#include <chrono>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "helper_client/client_system.h"
#include "json/json_text.h"
#include "platform/clock.h"

// The transport of one request: opening the pipe, writing the request, reading the reply and
// judging it. The server is proved to be the service in between (server_identity.h).
namespace vemla::helper_client {

using platform::Clock;

// While every pipe instance is busy, opening is retried this long, at this interval.
inline constexpr std::chrono::milliseconds kConnectWindow{2000};
inline constexpr std::chrono::milliseconds kConnectRetry{20};
// Writing the request and reading the reply together take at most this long; a call that moved
// no byte is retried after the pause.
inline constexpr std::chrono::milliseconds kExchangeWindow{15000};
inline constexpr std::chrono::milliseconds kExchangePause{10};
inline constexpr std::size_t kReadChunkBytes = 4096;
// Written once the reply is in, so that the service stops waiting for the client to let go.
inline constexpr std::string_view kAcknowledgement = "!";

// Opens the pipe, retrying while it is busy; any other failure, or a pipe still busy after the
// connect window, gives the "not available" text meant for the user.
std::expected<std::unique_ptr<PipeEnd>, std::string> connect_pipe(ClientSystem& system,
                                                                  Clock& clock);

// Makes the pipe non-blocking, writes `framed_request` and reads the reply up to a line feed
// that is the last byte received, all within the exchange window, then acknowledges it.
// Returns the reply's bytes, its line feed included (at most kMaxReplyBytes).
std::expected<std::string, std::string> exchange(PipeEnd& pipe, std::string_view framed_request,
                                                 Clock& clock);

// The reply object when its `ok` is true; otherwise its `error` text unchanged, "Helper failed",
// or the parser's text.
std::expected<Json, std::string> interpret_reply(std::string_view reply);

}  // namespace vemla::helper_client
