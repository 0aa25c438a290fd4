// vemla-tun-helper.exe: the service and its command-line modes.
#include "win/entry_point.h"
#include "win/service_host.h"

int wmain(int argc, wchar_t** argv) {
    // Before anything else may load a library from beside the executable.
    if (!vemla::service::win::restrict_dll_loading()) {
        return 2;
    }
    return vemla::service::win::run_helper_executable(argc, argv, vemla::service::TrustPolicy());
}
