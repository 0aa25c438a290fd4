#include "service_state.h"

#include "engine_exit.h"

namespace vemla::service {

std::atomic<bool>& stop_flag() {
    static std::atomic<bool> flag{false};
    return flag;
}

void refresh_state(ServiceState& state) {
    if (state.reservation && state.reservation->owner->has_ended()) {
        state.reservation.reset();
    }
    if (state.client_process && state.client_process->has_ended()) {
        (void)stop_connection(state);
    }
    if (state.engine) {
        // A failed query leaves the engine counted as running.
        const auto status = state.engine->exit_code();
        if (status && status->has_value()) {
            state.engine_error = engine_exit_message(state.data_dir, **status);
            state.engine.reset();
            state.job.reset();
            state.client_process.reset();
            state.session.reset();
            state.rule_source_tags.clear();
        }
    }
}

std::expected<void, std::string> stop_connection(ServiceState& state) {
    // Closing the job ends the engine and everything it started.
    state.job.reset();
    state.client_process.reset();
    state.session.reset();
    const std::unique_ptr<Process> engine = std::move(state.engine);
    if (!engine) {
        state.rule_source_tags.clear();
        return {};
    }
    const auto status = engine->exit_code();
    if (!status) {
        return std::unexpected(status.error());
    }
    if (!status->has_value()) {
        if (auto ended = engine->terminate(1); !ended) {
            return std::unexpected(ended.error());
        }
    }
    if (auto waited = engine->wait(); !waited) {
        return std::unexpected(waited.error());
    }
    state.rule_source_tags.clear();
    return {};
}

}  // namespace vemla::service
