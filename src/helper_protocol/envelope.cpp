#include "helper_protocol/envelope.h"

#include <algorithm>
#include <cstdint>

namespace vemla::helper_protocol {

bool has_only_request_keys(const Json& request) {
    return std::ranges::all_of(request.items(), [](const auto& item) {
        return std::ranges::find(kRequestKeys, std::string_view(item.key())) !=
               std::end(kRequestKeys);
    });
}

bool is_protocol_version(const Json& request) {
    const auto found = request.find("version");
    if (found == request.end()) {
        return false;
    }
    if (found->is_number_unsigned()) {
        return found->get<std::uint64_t>() == 1;
    }
    return found->is_number_integer() && found->get<std::int64_t>() == 1;
}

bool asks_for_native_xray(const Json& request) {
    const auto found = request.find("native_xray");
    return found != request.end() && found->is_boolean() && found->get<bool>();
}

bool is_session_text(std::string_view session) {
    return session.size() == kSessionLength && std::ranges::all_of(session, [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

Check check_request_basics(const Json& request) {
    if (!request.is_object()) {
        return std::unexpected("Invalid request");
    }
    if (!has_only_request_keys(request)) {
        return std::unexpected("Unknown request field");
    }
    if (!is_protocol_version(request)) {
        return std::unexpected("Protocol version mismatch");
    }
    return {};
}

Check check_start_envelope(const Json& request) {
    if (auto basics = check_request_basics(request); !basics) {
        return basics;
    }
    const auto op = request.find("op");
    if (op == request.end() || !op->is_string() || op->get_ref<const std::string&>() != "start") {
        return std::unexpected("Not a start request");
    }
    if (!asks_for_native_xray(request)) {
        return std::unexpected("Этот помощник запускает только native Xray; обнови клиент Vemla");
    }
    const auto session = request.find("session");
    if (session == request.end() || !session->is_string()) {
        return std::unexpected("Missing client session");
    }
    if (!is_session_text(session->get_ref<const std::string&>())) {
        return std::unexpected("Invalid client session");
    }
    return {};
}

}  // namespace vemla::helper_protocol
