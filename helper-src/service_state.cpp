#include "service_state.h"

#include "engine_exit.h"
#include "json/result.h"

namespace vemla::service {
namespace {

// How long an engine whose job was closed may take to end before its termination failure counts.
constexpr std::chrono::seconds kEndingGrace{5};

std::expected<void, std::string> reap(Process& engine) {
    const auto waited = engine.wait();
    if (!waited) {
        return failure_of(waited);
    }
    return {};
}

std::expected<void, std::string> terminate_and_reap(Process& engine) {
    auto terminated = engine.terminate(1);
    if (terminated) {
        return reap(engine);
    }
    // Terminating a process that is already ending fails; its end is what counts.
    const auto ended = engine.wait(kEndingGrace);
    if (!ended || !*ended) {
        return failure_of(terminated);
    }
    return {};
}

}  // namespace

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

std::expected<void, std::string> end_engine(std::unique_ptr<Job> job,
                                            std::unique_ptr<Process> engine) {
    job.reset();
    if (!engine) {
        return {};
    }
    const auto status = engine->exit_code();
    // An engine whose status cannot be read may still be running, so it is ended all the same;
    // the query's failure is still the one reported.
    const bool exited = status && status->has_value();
    auto ended = exited ? reap(*engine) : terminate_and_reap(*engine);
    if (!status) {
        return failure_of(status);
    }
    return ended;
}

std::expected<void, std::string> stop_connection(ServiceState& state) {
    state.job.reset();
    state.client_process.reset();
    state.session.reset();
    auto ended = end_engine(nullptr, std::move(state.engine));
    if (ended) {
        state.rule_source_tags.clear();
    }
    return ended;
}

}  // namespace vemla::service
