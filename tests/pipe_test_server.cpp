// Runs the pipe loop on a state made here, for the pipe tests. Never installed.
//
// Usage: vemla_pipe_test_server OWNER_SID
// Writes "ready" once the pipe exists, or "create_pipe failed: TEXT" and exits with 3.
// Reads commands on standard input, one a line:
//   handles  answers "handles SYSTEM_COUNT PROBED_COUNT"
//   stop     sets the stop flag; once the loop has returned, "stopped MICROSECONDS" is written
// The end of standard input stops the loop too.
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "install_checks.h"
#include "pipe_server.h"
#include "service_state.h"
#include "win/pipe_win.h"
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
                std::to_string(probe_handle_count()));
        } else if (line == "stop") {
            break;
        }
        line.clear();
    }
    stop_requested_at = std::chrono::steady_clock::now().time_since_epoch().count();
    stop_flag.set();
}

// TEMPORARY until the installation checks land.
class TrustAllPlaceholder final : public InstallationChecks {
public:
    std::expected<void, std::string> check_protected_path(const std::filesystem::path&,
                                                          std::uint32_t) const override {
        return {};
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: vemla_pipe_test_server OWNER_SID\n", stderr);
        return 2;
    }
    ServiceState state;
    state.owner_sid = argv[1];
    state.install_dir = std::filesystem::current_path();
    state.data_dir = std::filesystem::current_path();

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
    TrustAllPlaceholder checks;
    ServiceContext context{system, clock, stop_flag, checks, [](const vemla::Json&) {
                               return std::expected<vemla::Json, std::string>(std::unexpect,
                                                                              "recovery not wired");
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
