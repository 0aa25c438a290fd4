#include "request_envelope.h"

#include "helper_protocol/constants.h"
#include "helper_protocol/envelope.h"
#include "json/result.h"
#include "lifecycle.h"

namespace vemla::service {
namespace {

using helper_protocol::asks_for_native_xray;
using helper_protocol::is_session_text;

std::expected<Json, std::string> stop(ServiceState& state) {
    if (auto stopped = stop_connection(state); !stopped) {
        return failure_of(stopped);
    }
    return build_status(state);
}

}  // namespace

Json build_status(ServiceState& state) {
    refresh_state(state);
    Json snapshot = Json::object();
    snapshot["ok"] = true;
    snapshot["native_xray"] = true;
    snapshot["connection_tracking_schema"] = std::uint64_t{1};
    snapshot["native_api_port"] = std::uint64_t{helper_protocol::kNativeApiPort};
    snapshot["available"] = !state.reservation.has_value();
    snapshot["installed"] = true;
    snapshot["maintenance"] = state.reservation.has_value();
    snapshot["version"] = helper_protocol::kHelperVersion;
    snapshot["running"] = state.engine != nullptr;
    snapshot["pid"] = state.engine ? Json(std::uint64_t{state.engine->pid()}) : Json(nullptr);
    snapshot["engine_error"] = state.engine_error ? Json(*state.engine_error) : Json(nullptr);
    snapshot["adapter_recovered"] = state.adapter_recovered;
    return snapshot;
}

Json error_reply(std::string_view text) {
    return Json{{"error", text}, {"ok", false}};
}

std::expected<Json, std::string> handle_request(ServiceContext& context, ServiceState& state,
                                                Json request, std::uint32_t client_pid) {
    if (auto basics = helper_protocol::check_request_basics(request); !basics) {
        return failure_of(basics);
    }
    // An `op` that is missing or not text matches no operation.
    const auto op_member = request.find("op");
    const std::string_view op = op_member != request.end() && op_member->is_string()
                                    ? std::string_view(op_member->get_ref<const std::string&>())
                                    : std::string_view();
    if (op == "start" && !asks_for_native_xray(request)) {
        return std::unexpected("Этот помощник запускает только native Xray; обнови клиент Vemla");
    }

    Json snapshot = build_status(state);
    const bool running = snapshot["running"].get<bool>();
    if (op == "status" && !request.contains("session")) {
        snapshot["owned"] = false;
        return snapshot;
    }

    const auto session_member = request.find("session");
    if (session_member == request.end() || !session_member->is_string()) {
        return std::unexpected("Missing client session");
    }
    const std::string& session = session_member->get_ref<const std::string&>();
    if (client_pid == 0 || !is_session_text(session)) {
        return std::unexpected("Invalid client session");
    }

    if (op == "cancel_update") {
        return cancel_update(state, session);
    }
    if (op == "prepare_update") {
        return prepare_update(context, state, request, session, client_pid);
    }

    const bool owned = state.session.has_value() && *state.session == session;
    if ((op == "stop" || op == "update_rules") && running && !owned) {
        return std::unexpected("Connection belongs to another client session");
    }

    if (op == "stop") {
        return stop(state);
    }
    if (op == "start") {
        return start_connection(context, state, request, session);
    }
    if (op == "status") {
        snapshot["owned"] = running && owned;
        return snapshot;
    }
    if (op == "update_rules") {
        return std::unexpected(
            "Правила обновляются через Xray controller; файл и действующая конфигурация не "
            "изменены");
    }
    return std::unexpected("Operation not permitted");
}

}  // namespace vemla::service
