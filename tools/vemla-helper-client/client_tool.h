#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json/json_text.h"

// vemla-helper-client: what it is asked to do, the request it sends and how it shows the reply.
// The pipe, the session file and the console are in main.cpp.
namespace vemla::tools {

enum class ToolAction { help, status, connect, disconnect };

struct ToolCommand {
    ToolAction action = ToolAction::help;
    std::string request_file;            // for connect
    std::optional<std::string> session;  // given with --session; none: the stored one
};

// Exit codes.
inline constexpr int kExitDone = 0;
inline constexpr int kExitRefused = 1;
inline constexpr int kExitUsage = 2;

// The usage text, with the exit codes.
std::string_view tool_usage();

// The command, or a line saying what is wrong with the arguments.
std::expected<ToolCommand, std::string> parse_tool_arguments(
    std::span<const std::string> arguments);

// 64 characters of 0-9, a-f, A-F: what the service accepts as a session.
bool is_session(std::string_view text);

// 32 random bytes as a session of lower-case hex digits.
std::string session_from_random(std::span<const std::uint8_t, 32> bytes);

// The request for `command` in `session`. For connect, `request_text` is the request file's
// content: a start request object, sent with `session` in place of its own.
std::expected<Json, std::string> build_tool_request(const ToolCommand& command,
                                                    std::string_view session,
                                                    std::string_view request_text = {});

// The reply as people read it: indented JSON and a line feed.
std::string readable_reply(const Json& reply);

}  // namespace vemla::tools
