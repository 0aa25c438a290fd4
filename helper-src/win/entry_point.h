#pragma once

#include "install_checks.h"

namespace vemla::service::win {

// Standard output and standard error as bytes: a line feed is written as itself, never as the C
// runtime's CR LF, so that an installer reads exactly the line it was promised.
void use_binary_standard_streams();

// The executable after DLL loading has been restricted: a command-line mode, or the service
// dispatcher. `policy` is whom the installation checks trust; only test programs pass anything
// but the default.
int run_helper_executable(int argc, wchar_t** argv, const TrustPolicy& policy);

}  // namespace vemla::service::win
