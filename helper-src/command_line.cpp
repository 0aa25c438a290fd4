#include "command_line.h"

#include <limits>

#include "helper_protocol/constants.h"

namespace vemla::service {
namespace {

constexpr std::string_view kSessionFlag = "--session";
constexpr std::string_view kOwnerPidFlag = "--owner-pid";

}  // namespace

std::optional<std::uint32_t> parse_process_id(std::string_view text) {
    if (text.starts_with('+')) {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<PrepareUpdateOptions> parse_prepare_update(std::span<const std::string> arguments) {
    std::optional<std::string_view> session;
    std::optional<std::string_view> owner_pid;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view flag = arguments[i];
        std::optional<std::string_view>* value = flag == kSessionFlag    ? &session
                                                 : flag == kOwnerPidFlag ? &owner_pid
                                                                         : nullptr;
        if (value == nullptr) {
            continue;
        }
        if (i + 1 == arguments.size()) {
            break;  // a flag with nothing after it names no value
        }
        if (!value->has_value()) {
            *value = arguments[i + 1];
        }
        ++i;
    }
    if (!session || !owner_pid) {
        return std::nullopt;
    }
    const auto pid = parse_process_id(*owner_pid);
    if (!pid) {
        return std::nullopt;
    }
    return PrepareUpdateOptions{std::string(*session), *pid};
}

Json prepare_update_request(const PrepareUpdateOptions& options) {
    return Json{{"op", "prepare_update"},
                {"owner_pid", options.owner_pid},
                {"session", options.session},
                {"version", helper_protocol::kProtocolVersion}};
}

Json status_request() {
    return Json{{"op", "status"}, {"version", helper_protocol::kProtocolVersion}};
}

}  // namespace vemla::service
