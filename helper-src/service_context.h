#pragma once

#include <expected>
#include <functional>
#include <string>

#include "json/json_text.h"
#include "platform.h"

namespace vemla::service {

class InstallationChecks;

// Repairs the TUN adapter after the engine failed on it: the configuration in use in, the one to
// try next (or the reason there is none) out.
using AdapterRecovery = std::function<std::expected<Json, std::string>(const Json& config)>;

// What a request may use besides the service state: the system, time, the stop flag, the
// installation checks and the adapter recovery. Owned by whoever runs the pipe loop.
struct ServiceContext {
    System& system;
    Clock& clock;
    const StopFlag& stop;
    const InstallationChecks& checks;
    AdapterRecovery recover_adapter;
};

}  // namespace vemla::service
