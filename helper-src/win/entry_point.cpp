#include "win/entry_point.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <atomic>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "helper_client/helper_request.h"
#include "helper_protocol/constants.h"
#include "service_runtime.h"
#include "tun_recovery/recovery.h"
#include "tun_recovery/win/windows_recovery_system.h"
#include "win/path_security.h"
#include "win/registration_win.h"
#include "win/service_host.h"
#include "win/win_system.h"
#include "win32/win32_text.h"

namespace vemla::service::win {
namespace {

using ::vemla::win::to_utf8;
using ::vemla::win::to_wide;

constexpr DWORD kPendingWaitHintMs = 10000;

// What the service control handler shares with the service thread: both atomic.
StopFlag stop_flag;
std::atomic<SERVICE_STATUS_HANDLE> status_handle{nullptr};
// The policy the service main runs with, set once before the dispatcher starts.
const TrustPolicy* service_policy = nullptr;

void report_status(DWORD state, DWORD controls, DWORD wait_hint, DWORD exit_code = NO_ERROR) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls;
    status.dwWin32ExitCode = exit_code;
    status.dwWaitHint = wait_hint;
    ::SetServiceStatus(status_handle.load(), &status);
}

DWORD WINAPI control_handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        stop_flag.set();
        report_status(SERVICE_STOP_PENDING, 0, kPendingWaitHintMs);
    }
    return NO_ERROR;
}

static_assert(kServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);

// Everything the service runs with, made once on the service thread; the stopped report's exit
// code.
DWORD run_service_thread() {
    Win32System system;
    platform::SystemClock clock;
    Win32PathInspector inspector;
    const InstallationChecks checks(inspector, *service_policy);
    const auto recovery = tun_recovery::make_windows_recovery_system();
    ServiceContext context{system, clock, stop_flag, checks, [&](const Json& config) {
                               return tun_recovery::recover_tun_adapter(config, *recovery, clock);
                           }};
    Win32ServiceHost host(
        [] { report_status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN, 0); });
    return stopped_exit_code(run_service(host, context));
}

void WINAPI service_main(DWORD, wchar_t**) {
    const std::wstring name = to_wide(helper_protocol::kServiceName);
    const SERVICE_STATUS_HANDLE handle =
        ::RegisterServiceCtrlHandlerExW(name.c_str(), control_handler, nullptr);
    if (handle == nullptr) {
        return;
    }
    status_handle.store(handle);
    report_status(SERVICE_START_PENDING, 0, kPendingWaitHintMs);
    report_status(SERVICE_STOPPED, 0, 0, run_service_thread());
}

// Writes a failure's text and a line feed to standard error; the exit code of a failed mode.
int fail_with(const std::string& text) {
    std::fputs((text + "\n").c_str(), stderr);
    return 2;
}

int register_mode(const TrustPolicy& policy) {
    Win32PathInspector inspector;
    const InstallationChecks checks(inspector, policy);
    const auto registered = register_service(checks);
    return registered ? 0 : fail_with(registered.error());
}

int probe_status_mode() {
    const auto reply = helper_client::helper_request(status_request(), check_installed_service);
    if (!reply) {
        return fail_with(reply.error());
    }
    std::fputs((to_compact_json(*reply) + "\n").c_str(), stdout);
    return 0;
}

int prepare_update_mode(const std::vector<std::string>& args) {
    const auto options = parse_prepare_update(args);
    if (!options) {
        return 2;
    }
    const auto reply =
        helper_client::helper_request(prepare_update_request(*options), check_installed_service);
    return reply ? 0 : fail_with(reply.error());
}

int run_dispatcher(const TrustPolicy& policy) {
    service_policy = &policy;
    std::wstring name = to_wide(helper_protocol::kServiceName);
    const SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main}, {nullptr, nullptr}};
    // Started from a console the dispatcher fails at once; that is not an error of the program.
    ::StartServiceCtrlDispatcherW(table);
    return 0;
}

}  // namespace

void use_binary_standard_streams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

int run_helper_executable(int argc, wchar_t** argv, const TrustPolicy& policy) {
    use_binary_standard_streams();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(to_utf8(argv[i]));
    }
    const std::string mode = args.empty() ? std::string() : args.front();
    if (mode == "--register-service") {
        return register_mode(policy);
    }
    if (mode == "--probe-status") {
        return probe_status_mode();
    }
    if (mode == "--prepare-update") {
        return prepare_update_mode(args);
    }
    return run_dispatcher(policy);
}

}  // namespace vemla::service::win
