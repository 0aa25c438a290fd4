#pragma once

#include <memory>

#include "tun_recovery/recovery_system.h"

namespace vemla::tun_recovery {

// The recovery's system on Windows: SystemRoot from the process environment, PowerShell in a
// kill-on-close job with its standard output drained by a reader thread, and the system's
// random generator.
std::unique_ptr<RecoverySystem> make_windows_recovery_system();

}  // namespace vemla::tun_recovery
