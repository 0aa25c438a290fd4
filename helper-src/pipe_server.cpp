#include "pipe_server.h"

#include <algorithm>
#include <array>
#include <new>

#include "json/result.h"
#include "request_envelope.h"
#include "text.h"

namespace vemla::service {
namespace {

constexpr std::string_view kSidPrefix = "S-1-5-21-";
constexpr std::size_t kMinSidBytes = 9;
constexpr std::size_t kMaxSidBytes = 184;
constexpr std::string_view kOutOfMemoryReply =
    R"({"error":"Not enough memory for the request","ok":false})"
    "\n";

// Waits for the client to let go of the pipe, so that it can read the reply before the
// disconnect discards it.
void linger(Pipe& pipe, Clock& clock, const StopFlag& stop) {
    const auto until = clock.now() + kLingerLimit;
    while (!stop.is_set() && clock.now() < until) {
        char byte = 0;
        const PipeRead got = pipe.read(std::span<char>(&byte, 1));
        if (got.kind == PipeRead::Kind::data || got.kind == PipeRead::Kind::closed) {
            return;
        }
        clock.pause(kReadPoll);
    }
}

// Reads, handles and replies to one client. A request the memory does not suffice for is refused
// with a reply made without memory; what it held is freed as the failure unwinds, a connection it
// made but could not report is ended, and the service goes on with the next client.
void answer(ServiceContext& context, Pipe& pipe, ServiceState& state) {
    const bool was_running = state.engine != nullptr;
    try {
        auto request = read_request(pipe, context.clock, context.stop, state.owner_sid);
        const auto reply = request
                               ? handle_connection(context, pipe, state, std::move(*request))
                               : std::expected<Json, std::string>(std::unexpect, request.error());
        pipe.write(to_compact_json(reply ? *reply : error_reply(reply.error())) + "\n");
    } catch (const std::bad_alloc&) {
        if (!was_running && state.engine != nullptr) {
            (void)stop_connection(state);
        }
        pipe.write(kOutOfMemoryReply);
    }
}

// What every snapshot does first, between clients. Short of memory, it is tried again at the next
// poll; nothing of the state has changed by then.
void keep_house(ServiceState& state) {
    try {
        refresh_state(state);
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace

bool is_owner_sid_text(std::string_view sid) {
    return sid.size() >= kMinSidBytes && sid.size() <= kMaxSidBytes &&
           sid.starts_with(kSidPrefix) && std::ranges::all_of(sid, [](char c) {
               return (c >= '0' && c <= '9') || c == '-' || c == 'S';
           });
}

std::expected<std::string, std::string> parse_owner_sid(std::string_view content) {
    std::string sid = encode_utf8(trim_white_space(decode_utf8_lossy(content)));
    if (!is_owner_sid_text(sid)) {
        return std::unexpected(std::string(kInvalidOwnerSid));
    }
    return sid;
}

std::expected<Json, std::string> read_request(Pipe& pipe, Clock& clock, const StopFlag& stop,
                                              const std::string& owner_sid) {
    const auto deadline = clock.now() + kRequestDeadline;
    std::string request;
    bool authenticated = false;
    std::array<char, kReadChunkBytes> chunk{};
    for (;;) {
        if (stop.is_set() || clock.now() >= deadline) {
            return std::unexpected("Request deadline exceeded");
        }
        const PipeRead got = pipe.read(chunk);
        if (got.kind == PipeRead::Kind::failed || got.kind == PipeRead::Kind::closed) {
            return std::unexpected(got.error);
        }
        if (got.kind == PipeRead::Kind::nothing_yet || got.size == 0) {
            clock.pause(kReadPoll);
            continue;
        }
        // The client's token can be borrowed only once it has written; nothing it sent is kept
        // before it is known to be the owner.
        if (!authenticated) {
            const auto sid = pipe.caller_sid();
            if (!sid) {
                return failure_of(sid);
            }
            if (*sid != owner_sid) {
                return std::unexpected("Caller SID is not the installation owner");
            }
            authenticated = true;
        }
        request.append(chunk.data(), got.size);
        if (request.size() > kMaxRequestBytes) {
            return std::unexpected(std::string(helper_protocol::kRequestTooLarge));
        }
        if (request.back() == '\n') {
            return parse_json(request);
        }
    }
}

std::expected<Json, std::string> handle_connection(ServiceContext& context, Pipe& pipe,
                                                   ServiceState& state, Json request) {
    const auto client_pid = pipe.client_pid();
    if (!client_pid) {
        return failure_of(client_pid);
    }
    const auto op = request.is_object() ? request.find("op") : request.end();
    const bool is_start =
        op != request.end() && op->is_string() && op->get_ref<const std::string&>() == "start";
    std::unique_ptr<Process> client;
    if (is_start) {
        auto opened = context.system.open_for_monitoring(*client_pid);
        if (!opened) {
            return failure_of(opened);
        }
        client = std::move(*opened);
    }
    auto reply = handle_request(context, state, std::move(request), *client_pid);
    // The client is watched only while a connection holds an engine: after an engine that died
    // before the reply's snapshot, its later exit would stop the next client's connection.
    if (is_start && reply && state.engine) {
        state.client_process = std::move(client);
    }
    return reply;
}

void serve(ServiceContext& context, Pipe& pipe, ServiceState& state) {
    while (!context.stop.is_set()) {
        const ConnectState connection = pipe.connect();
        if (connection != ConnectState::connected) {
            if (connection == ConnectState::client_gone) {
                pipe.disconnect();
            }
            keep_house(state);
            context.clock.pause(kIdlePoll);
            continue;
        }
        answer(context, pipe, state);
        linger(pipe, context.clock, context.stop);
        pipe.disconnect();
        keep_house(state);
    }
}

}  // namespace vemla::service
