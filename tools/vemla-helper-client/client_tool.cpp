#include "client_tool.h"

#include <algorithm>

#include "helper_protocol/constants.h"

namespace vemla::tools {
namespace {

constexpr std::string_view kUsage =
    "usage: vemla-helper-client [--session HEX64] status\n"
    "       vemla-helper-client [--session HEX64] connect REQUEST.json\n"
    "       vemla-helper-client [--session HEX64] disconnect\n"
    "       vemla-helper-client --help\n"
    "\n"
    "Sends one request to the running VemlaTunHelper service over its pipe, after proving that\n"
    "the pipe belongs to the service registered with the protected installed executable.\n"
    "\n"
    "  status       the helper's status; \"owned\" tells whether this session's connection runs\n"
    "  connect      a start request read from REQUEST.json (\"-\": standard input), sent with\n"
    "               this session in place of the file's own; the helper keeps the connection\n"
    "               while this program runs, so it waits for Enter or the end of standard\n"
    "               input, then disconnects\n"
    "  disconnect   stops the connection this session started\n"
    "\n"
    "The session is the one given with --session, or else one generated once per user and kept\n"
    "in %LOCALAPPDATA%\\VemlaHelper\\client.session (%TEMP% when LOCALAPPDATA is not set).\n"
    "\n"
    "Exit codes: 0 the helper accepted the request, its reply as indented JSON on standard\n"
    "output; 1 the helper refused it or could not be reached, the reason on standard error;\n"
    "2 bad usage, or an unreadable request file or session file.\n";

constexpr std::size_t kSessionLength = 64;

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::unexpected<std::string> usage_error(const std::string& problem) {
    return std::unexpected(problem);
}

std::expected<Json, std::string> start_request(std::string_view request_text) {
    auto request = parse_json(request_text);
    if (!request) {
        return std::unexpected("the request file is not JSON: " + request.error());
    }
    const auto op = request->is_object() ? request->find("op") : request->end();
    if (!request->is_object() || op == request->end() || *op != "start") {
        return std::unexpected(std::string("the request file is not a start request object"));
    }
    return std::move(*request);
}

}  // namespace

std::string_view tool_usage() {
    return kUsage;
}

std::expected<ToolCommand, std::string> parse_tool_arguments(
    std::span<const std::string> arguments) {
    ToolCommand command;
    std::size_t i = 0;
    if (i < arguments.size() && arguments[i] == "--help") {
        return command;
    }
    if (i + 1 < arguments.size() && arguments[i] == "--session") {
        if (!is_session(arguments[i + 1])) {
            return usage_error("--session needs 64 hexadecimal digits");
        }
        command.session = arguments[i + 1];
        i += 2;
    }
    if (i == arguments.size()) {
        return usage_error("no command given");
    }
    const std::string& action = arguments[i++];
    const std::size_t operands = arguments.size() - i;
    if (action == "status" && operands == 0) {
        command.action = ToolAction::status;
    } else if (action == "disconnect" && operands == 0) {
        command.action = ToolAction::disconnect;
    } else if (action == "connect" && operands == 1) {
        command.action = ToolAction::connect;
        command.request_file = arguments[i];
    } else {
        return usage_error("unknown command or wrong number of arguments: " + action);
    }
    return command;
}

bool is_session(std::string_view text) {
    return text.size() == kSessionLength && std::ranges::all_of(text, is_hex_digit);
}

std::string session_from_random(std::span<const std::uint8_t, 32> bytes) {
    constexpr std::string_view kDigits = "0123456789abcdef";
    std::string session;
    for (const std::uint8_t byte : bytes) {
        session.push_back(kDigits[byte >> 4]);
        session.push_back(kDigits[byte & 0x0F]);
    }
    return session;
}

std::expected<Json, std::string> build_tool_request(const ToolCommand& command,
                                                    std::string_view session,
                                                    std::string_view request_text) {
    Json request;
    switch (command.action) {
        case ToolAction::connect: {
            auto start = start_request(request_text);
            if (!start) {
                return start;
            }
            request = std::move(*start);
            break;
        }
        case ToolAction::status:
            request = {{"op", "status"}, {"version", helper_protocol::kProtocolVersion}};
            break;
        case ToolAction::disconnect:
            request = {{"op", "stop"}, {"version", helper_protocol::kProtocolVersion}};
            break;
        case ToolAction::help:
            return std::unexpected(std::string("help sends no request"));
    }
    request["session"] = std::string(session);
    return request;
}

std::string readable_reply(const Json& reply) {
    return reply.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace vemla::tools
