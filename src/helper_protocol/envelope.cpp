#include "helper_protocol/envelope.h"

#include <algorithm>
#include <cstdint>

#include "helper_protocol/messages.h"
#include "json/json_access.h"

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
    return is_true(find_member(request, "native_xray"));
}

bool is_session_text(std::string_view session) {
    return session.size() == kSessionLength && std::ranges::all_of(session, [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

Check check_request_basics(const Json& request) {
    if (!request.is_object()) {
        return fail(messages::kInvalidRequest);
    }
    if (!has_only_request_keys(request)) {
        return fail(messages::kUnknownRequestField);
    }
    if (!is_protocol_version(request)) {
        return fail(messages::kProtocolMismatch);
    }
    return {};
}

Check check_start_envelope(const Json& request) {
    if (auto basics = check_request_basics(request); !basics) {
        return basics;
    }
    if (!is_text(find_member(request, "op"), "start")) {
        return fail(messages::kNotStartRequest);
    }
    if (!asks_for_native_xray(request)) {
        return fail(messages::kNotNativeXray);
    }
    const std::string* session = as_text(find_member(request, "session"));
    if (session == nullptr) {
        return fail(messages::kMissingSession);
    }
    if (!is_session_text(*session)) {
        return fail(messages::kInvalidSession);
    }
    return {};
}

}  // namespace vemla::helper_protocol
