#include "helper_client/helper_request.h"

#include <exception>
#include <system_error>
#include <utility>

#include "helper_client/pipe_exchange.h"
#include "helper_protocol/constants.h"
#include "json/result.h"

namespace vemla::helper_client {
namespace {

constexpr std::string_view kLockFailed = "Helper communication lock failed";
// The service's limit counts the line feed; the text keeps the number of an older limit.
constexpr std::size_t kMaxRequestJsonBytes = helper_protocol::kMaxRequestBytes - 1;
constexpr std::string_view kRequestTooLarge = "Helper request exceeds 512 KiB";

}  // namespace

CommunicationLock::Hold::Hold(std::unique_lock<std::mutex> lock, bool& broken)
    : lock_(std::move(lock)), broken_(&broken), exceptions_at_start_(std::uncaught_exceptions()) {}

CommunicationLock::Hold::~Hold() {
    if (lock_.owns_lock() && std::uncaught_exceptions() > exceptions_at_start_) {
        *broken_ = true;
    }
}

std::expected<CommunicationLock::Hold, std::string> CommunicationLock::take() {
    std::unique_lock lock(mutex_, std::defer_lock);
    try {
        lock.lock();
    } catch (const std::system_error&) {
        return std::unexpected(std::string(kLockFailed));
    }
    if (broken_) {
        return std::unexpected(std::string(kLockFailed));
    }
    return Hold(std::move(lock), broken_);
}

CommunicationLock& communication_lock() {
    static CommunicationLock lock;
    return lock;
}

std::expected<std::string, std::string> frame_request(const Json& request) {
    // Measured first, so that an oversized request is never built as text.
    if (compact_json_size(request) > kMaxRequestJsonBytes) {
        return std::unexpected(std::string(kRequestTooLarge));
    }
    return to_compact_json(request) + "\n";
}

std::expected<Json, std::string> send_request(const Json& request, ClientSystem& system,
                                              platform::Clock& clock, const ServicePathCheck& check,
                                              CommunicationLock& lock) {
    const auto hold = lock.take();
    if (!hold) {
        return failure_of(hold);
    }
    const auto framed = frame_request(request);
    if (!framed) {
        return failure_of(framed);
    }
    auto pipe = connect_pipe(system, clock);
    if (!pipe) {
        return failure_of(pipe);
    }
    if (auto verified = verify_server(**pipe, system, check); !verified) {
        return failure_of(verified);
    }
    auto reply = exchange(**pipe, *framed, clock);
    pipe->reset();
    if (!reply) {
        return failure_of(reply);
    }
    return interpret_reply(*reply);
}

}  // namespace vemla::helper_client
