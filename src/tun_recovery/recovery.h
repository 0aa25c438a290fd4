#pragma once

#include <expected>
#include <string>

#include "json/json_text.h"
#include "platform/clock.h"
#include "tun_recovery/recovery_system.h"
#include "tun_recovery/windows_networks.h"

namespace vemla::tun_recovery {

// Asks Windows, through PowerShell, for every adapter name and every IPv4 address and route
// prefix on the machine. PowerShell gets 3 seconds; it never outlives the call.
std::expected<NetworkInventory, std::string> query_windows_networks(RecoverySystem& system,
                                                                    platform::Clock& clock);

// A copy of the configuration whose TUN inbound has a free adapter name and address, or the
// message for the user. The configuration is the normalised one the failed engine ran with.
std::expected<Json, std::string> recover_tun_adapter(const Json& configuration,
                                                     RecoverySystem& system,
                                                     platform::Clock& clock);

}  // namespace vemla::tun_recovery
