#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "json/json_text.h"

// The arguments of the command-line modes that talk to the running service, and the requests
// they send.
namespace vemla::service {

// What `--prepare-update` names: the installer's session and its process.
struct PrepareUpdateOptions {
    std::string session;
    std::uint32_t owner_pid = 0;
};

// A decimal unsigned 32-bit number: ASCII digits with at most one "+" before them, and nothing
// else (no "-", no spaces).
std::optional<std::uint32_t> parse_process_id(std::string_view text);

// `--session <text>` and `--owner-pid <number>` from anywhere in `arguments` (the arguments
// after the program name). Each flag takes the argument right after it as its value, which is
// then not read as a flag itself; the first occurrence of a flag counts. None when a flag is
// missing, has no argument after it, or the number does not parse.
std::optional<PrepareUpdateOptions> parse_prepare_update(std::span<const std::string> arguments);

// {"op":"prepare_update","owner_pid":N,"session":S,"version":1}
Json prepare_update_request(const PrepareUpdateOptions& options);

// {"op":"status","version":1}
Json status_request();

}  // namespace vemla::service
