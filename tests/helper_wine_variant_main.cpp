// The helper executable for tests and the Wine scripts: the real service and command-line modes,
// except that the installation checks also trust the account this process runs as. Under Wine
// every file belongs to that account, so the real checks could never pass there. Never
// installed or shipped, and it will not run anywhere but under Wine: on Windows the same trust
// would let an ordinary account replace what the service runs.
#include <windows.h>

#include <cstdio>
#include <string>

#include "win/entry_point.h"
#include "win/service_host.h"
#include "win/win_process.h"

namespace {

constexpr const char* kNotUnderWine =
    "vemla-tun-helper-wine-variant runs only under Wine; use vemla-tun-helper.exe";
constexpr const char* kNoUserSid = "vemla-tun-helper-wine-variant cannot read its user's SID: ";

// Wine's ntdll exports its version; no Windows ntdll does.
bool under_wine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int refuse(const std::string& why) {
    std::fputs((why + "\n").c_str(), stderr);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (!vemla::service::win::restrict_dll_loading()) {
        return 2;
    }
    vemla::service::win::use_binary_standard_streams();
    if (!under_wine()) {
        return refuse(kNotUnderWine);
    }
    // Without the user's SID there is no one to add; an empty one would match a descriptor that
    // names no owner.
    const auto user = vemla::service::win::process_user_sid();
    if (!user) {
        return refuse(kNoUserSid + user.error());
    }
    const auto policy = vemla::service::TrustPolicy().also_trusting(*user);
    return vemla::service::win::run_helper_executable(argc, argv, policy);
}
