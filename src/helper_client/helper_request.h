#pragma once

#include <expected>
#include <mutex>
#include <string>

#include "helper_client/client_system.h"
#include "helper_client/server_identity.h"
#include "json/json_text.h"
#include "platform/clock.h"

// One request to the running helper service and its reply, over the service's pipe.
namespace vemla::helper_client {

// Serialises a process's exchanges: at most one is on the pipe at a time. A holder that is left
// by an exception leaves the lock unusable, since the exchange it guarded ended half way.
class CommunicationLock {
public:
    // Held until destroyed.
    class Hold {
    public:
        Hold(Hold&&) noexcept = default;
        Hold& operator=(Hold&&) = delete;
        ~Hold();

    private:
        friend class CommunicationLock;
        Hold(std::unique_lock<std::mutex> lock, bool& broken);

        std::unique_lock<std::mutex> lock_;
        bool* broken_;
        int exceptions_at_start_;
    };

    // Waits for the lock; fails with "Helper communication lock failed" when it is unusable.
    std::expected<Hold, std::string> take();

private:
    std::mutex mutex_;
    bool broken_ = false;  // guarded by mutex_
};

// The one lock of the process.
CommunicationLock& communication_lock();

// The request as it goes on the wire: its compact JSON and a line feed. Fails when the JSON is
// longer than the service accepts.
std::expected<std::string, std::string> frame_request(const Json& request);

// The whole client over the given system: takes the lock, frames the request, opens the pipe,
// proves the server with `check`, exchanges and judges the reply. The pipe is closed and the
// lock released on every path.
std::expected<Json, std::string> send_request(const Json& request, ClientSystem& system,
                                              platform::Clock& clock, const ServicePathCheck& check,
                                              CommunicationLock& lock = communication_lock());

// send_request over the Windows pipe and service control manager, with the system clock.
// Defined by the Windows library (vemla_helper_client_win).
std::expected<Json, std::string> helper_request(const Json& request, const ServicePathCheck& check);

}  // namespace vemla::helper_client
