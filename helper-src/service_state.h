#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "platform.h"

namespace vemla::service {

struct Reservation {
    std::string session;             // the installer session
    std::unique_ptr<Process> owner;  // the installer owner process
};

// The one record of the service: at most one connection and at most one maintenance
// reservation. Every handle lives in a unique owner, so emptying or replacing a field closes it.
struct ServiceState {
    std::unique_ptr<Job> job;
    std::unique_ptr<Process> client_process;
    std::unique_ptr<Process> engine;  // owns the engine's process and primary thread handles
    std::string owner_sid;
    std::filesystem::path install_dir;
    std::filesystem::path data_dir;
    std::optional<std::string> session;
    std::optional<Reservation> reservation;
    std::optional<std::string> engine_error;
    std::set<std::string> rule_source_tags;
    bool adapter_recovered = false;
};

// Drops what refers to processes that have ended: the reservation of an installer owner that
// ended, the connection of a client that ended, and an engine that exited (keeping its message).
void refresh_state(ServiceState& state);

// Ends the connection. Steps already done stay done when a later one fails.
std::expected<void, std::string> stop_connection(ServiceState& state);

// The one way an engine is ended: close its job (which ends it and everything it started),
// terminate it, and wait for it. An engine already ending because its job closed counts as
// ended, even though terminating it then fails. An engine whose exit status cannot be read is
// ended all the same, and that failure is the one reported.
std::expected<void, std::string> end_engine(std::unique_ptr<Job> job,
                                            std::unique_ptr<Process> engine);

}  // namespace vemla::service
