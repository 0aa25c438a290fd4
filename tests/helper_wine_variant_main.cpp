// The helper executable for tests and the Wine scripts: the real service and command-line modes,
// except that the installation checks also trust the account this process runs as. Under Wine
// every file belongs to that account, so the real checks could never pass there. Never
// installed or shipped.
#include <windows.h>

#include "win/entry_point.h"
#include "win/service_host.h"
#include "win/win_process.h"

int wmain(int argc, wchar_t** argv) {
    if (!vemla::service::win::restrict_dll_loading()) {
        return 2;
    }
    const auto policy = vemla::service::TrustPolicy().also_trusting(
        vemla::service::win::process_user_sid().value_or(""));
    return vemla::service::win::run_helper_executable(argc, argv, policy);
}
