#include "helper_client/pipe_exchange.h"

#include <algorithm>
#include <array>

#include "helper_protocol/constants.h"
#include "json/result.h"

namespace vemla::helper_client {
namespace {

constexpr std::string_view kNotAvailable =
    "Защищённый помощник недоступен. Установите его один раз с подтверждением Windows.";
constexpr std::string_view kWriteTimeout = "Helper write timeout";
constexpr std::string_view kResponseTimeout = "Helper response timeout";
constexpr std::string_view kResponseTooLarge = "Helper response too large";
constexpr std::string_view kHelperFailed = "Helper failed";

std::unexpected<std::string> fail(std::string_view message) {
    return std::unexpected(std::string(message));
}

using Deadline = std::chrono::steady_clock::time_point;

std::expected<void, std::string> write_request(PipeEnd& pipe, std::string_view rest, Clock& clock,
                                               Deadline deadline) {
    while (!rest.empty()) {
        const auto written = pipe.write(rest);
        if (!written) {
            return failure_of(written);
        }
        rest.remove_prefix(std::min(*written, rest.size()));
        if (clock.now() >= deadline) {
            return fail(kWriteTimeout);
        }
        if (*written == 0) {
            clock.pause(kExchangePause);
        }
    }
    return {};
}

std::expected<std::string, std::string> read_reply(PipeEnd& pipe, Clock& clock, Deadline deadline) {
    std::string reply;
    std::array<char, kReadChunkBytes> chunk{};
    for (;;) {
        if (clock.now() >= deadline) {
            return fail(kResponseTimeout);
        }
        const PipeRead got = pipe.read(chunk);
        if (got.kind == PipeRead::Kind::failed) {
            return std::unexpected(got.error);
        }
        if (got.kind == PipeRead::Kind::nothing || got.size == 0) {
            clock.pause(kExchangePause);
            continue;
        }
        reply.append(chunk.data(), std::min(got.size, chunk.size()));
        if (reply.size() > helper_protocol::kMaxReplyBytes) {
            return fail(kResponseTooLarge);
        }
        if (reply.back() == '\n') {
            return reply;
        }
    }
}

}  // namespace

std::expected<std::unique_ptr<PipeEnd>, std::string> connect_pipe(ClientSystem& system,
                                                                  Clock& clock) {
    const auto began = clock.now();
    for (;;) {
        auto pipe = system.open_pipe();
        if (pipe) {
            return std::move(*pipe);
        }
        if (pipe.error() != OpenFailure::busy || clock.now() - began >= kConnectWindow) {
            return fail(kNotAvailable);
        }
        clock.pause(kConnectRetry);
    }
}

std::expected<std::string, std::string> exchange(PipeEnd& pipe, std::string_view framed_request,
                                                 Clock& clock) {
    if (auto mode = pipe.make_nonblocking(); !mode) {
        return failure_of(mode);
    }
    const Deadline deadline = clock.now() + kExchangeWindow;
    if (auto written = write_request(pipe, framed_request, clock, deadline); !written) {
        return failure_of(written);
    }
    auto reply = read_reply(pipe, clock, deadline);
    if (reply) {
        // The reply is complete whatever becomes of this byte.
        (void)pipe.write(kAcknowledgement);
    }
    return reply;
}

std::expected<Json, std::string> interpret_reply(std::string_view reply) {
    auto parsed = parse_json(reply);
    if (!parsed) {
        return failure_of(parsed);
    }
    if (parsed->is_object()) {
        const auto ok = parsed->find("ok");
        if (ok != parsed->end() && ok->is_boolean() && ok->get<bool>()) {
            return std::move(*parsed);
        }
        const auto error = parsed->find("error");
        if (error != parsed->end() && error->is_string()) {
            return std::unexpected(error->get<std::string>());
        }
    }
    return fail(kHelperFailed);
}

}  // namespace vemla::helper_client
