// Runs the service's pipe loop on a state made here, for the integration tests. Never installed.
// Its one difference from the service: the installation checks also trust this process's own
// account, since under Wine every file belongs to it.
//
// Usage: vemla_pipe_test_server OWNER_SID [INSTALL_DIR DATA_DIR [WINDOWS_DIR]]
// (the directories default to the current one; WINDOWS_DIR is where the adapter recovery looks
// for PowerShell instead of SystemRoot, which Wine does not let a parent choose). Writes "ready"
// once the pipe exists, or "create_pipe failed: TEXT" and exits with 3. Reads commands on standard
// input, one a line:
//   handles  answers "handles SYSTEM_COUNT PROBED_COUNT THREADS"
//   stop     sets the stop flag; once the loop has returned, "stopped MICROSECONDS" is written
// The end of standard input stops the loop too.
#include <windows.h>
// After windows.h, whose types it uses.
#include <tlhelp32.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "install_checks.h"
#include "pipe_server.h"
#include "service_state.h"
#include "tun_recovery/recovery.h"
#include "tun_recovery/win/windows_recovery_system.h"
#include "win/path_security.h"
#include "win/pipe_win.h"
#include "win/win_process.h"
#include "win/win_system.h"

namespace {

using namespace vemla::service;

std::mutex output_lock;
StopFlag stop_flag;
std::atomic<std::chrono::steady_clock::time_point::rep> stop_requested_at{0};

void say(const std::string& line) {
    const std::lock_guard lock(output_lock);
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// Counts the process's open handles by asking about every small handle value: the system's own
// count is not kept under every runtime this test runs on.
unsigned long probe_handle_count() {
    unsigned long count = 0;
    for (std::uintptr_t value = 4; value < (1u << 16); value += 4) {
        DWORD flags = 0;
        if (::GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
            ++count;
        }
    }
    return count;
}

unsigned long thread_count() {
    const vemla::win::UniqueHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    unsigned long count = 0;
    for (BOOL more = ::Thread32First(snapshot.get(), &entry); more;
         more = ::Thread32Next(snapshot.get(), &entry)) {
        count += entry.th32OwnerProcessID == ::GetCurrentProcessId() ? 1u : 0u;
    }
    return count;
}

// The system's recovery, looking for PowerShell under another Windows directory when one is
// given.
class RecoveryWithWindowsDir final : public vemla::tun_recovery::RecoverySystem {
public:
    RecoveryWithWindowsDir(std::unique_ptr<RecoverySystem> system,
                           std::optional<std::filesystem::path> windows_dir)
        : system_(std::move(system)), windows_dir_(std::move(windows_dir)) {}
    std::optional<std::filesystem::path> system_root() override {
        return windows_dir_ ? windows_dir_ : system_->system_root();
    }
    std::expected<std::unique_ptr<vemla::tun_recovery::QueryProcess>, std::string> start_query(
        const std::filesystem::path& program, const std::vector<std::string>& arguments) override {
        return system_->start_query(program, arguments);
    }
    std::expected<std::uint32_t, std::string> random32() override { return system_->random32(); }

private:
    std::unique_ptr<RecoverySystem> system_;
    std::optional<std::filesystem::path> windows_dir_;
};

void read_commands() {
    std::string line;
    for (int c = std::getchar();; c = std::getchar()) {
        if (c == EOF) {
            break;
        }
        if (c != '\n') {
            if (c != '\r') {
                line.push_back(static_cast<char>(c));
            }
            continue;
        }
        if (line == "handles") {
            DWORD system_count = 0;
            ::GetProcessHandleCount(::GetCurrentProcess(), &system_count);
            say("handles " + std::to_string(system_count) + " " +
                std::to_string(probe_handle_count()) + " " + std::to_string(thread_count()));
        } else if (line == "stop") {
            break;
        }
        line.clear();
    }
    stop_requested_at = std::chrono::steady_clock::now().time_since_epoch().count();
    stop_flag.set();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc == 3 || argc > 5) {
        std::fputs("usage: vemla_pipe_test_server OWNER_SID [INSTALL_DIR DATA_DIR [WINDOWS_DIR]]\n",
                   stderr);
        return 2;
    }
    ServiceState state;
    state.owner_sid = argv[1];
    state.install_dir =
        argc >= 4 ? std::filesystem::path(argv[2]) : std::filesystem::current_path();
    state.data_dir = argc >= 4 ? std::filesystem::path(argv[3]) : std::filesystem::current_path();

    auto pipe = win::create_pipe(state.owner_sid);
    if (!pipe) {
        say("create_pipe failed: " + pipe.error());
        return 3;
    }
    std::thread commands(read_commands);
    say("ready");

    win::Win32Pipe endpoint(pipe->get());
    win::Win32System system;
    vemla::platform::SystemClock clock;
    win::Win32PathInspector inspector;
    const InstallationChecks checks(
        inspector, TrustPolicy().also_trusting(win::process_user_sid().value_or("")));
    const auto recovery = std::make_unique<RecoveryWithWindowsDir>(
        vemla::tun_recovery::make_windows_recovery_system(),
        argc == 5 ? std::optional<std::filesystem::path>(argv[4]) : std::nullopt);
    ServiceContext context{system, clock, stop_flag, checks, [&](const vemla::Json& config) {
                               return vemla::tun_recovery::recover_tun_adapter(config, *recovery,
                                                                               clock);
                           }};
    serve(context, endpoint, state);

    const auto returned = std::chrono::steady_clock::now().time_since_epoch().count();
    const auto waited = std::chrono::steady_clock::duration(returned - stop_requested_at.load());
    say("stopped " +
        std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(waited).count()));
    commands.join();
    (void)stop_connection(state);
    pipe->reset();
    return 0;
}
