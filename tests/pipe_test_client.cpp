// A client of the service's pipe in a process of its own, for the tests that need the client or
// the installer to be another process than the test. Never installed.
//
// Usage:
//   vemla_pipe_test_client send REQUEST      sends the JSON line, writes the reply, exits
//   vemla_pipe_test_client installer SESSION
//       runs `send` in a child process with a prepare_update request that names this process
//       as the installer owner, writes the child's reply, then stays until its standard input
//       ends (the test ends the installer that way)
//   vemla_pipe_test_client run-as-installer PROGRAM ARGS...
//       runs PROGRAM with ARGS, each "{pid}" replaced by this process's id, writes "exit N" with
//       its exit code, then stays until its standard input ends: an installer that delegates
//       the reservation to a program it starts
#include <windows.h>

#include <cstdio>
#include <string>

#include "pipe_test_support.h"

namespace {

using namespace vemla::service::testing_support;

int send(const std::string& request) {
    const std::string reply = exchange(request + "\n");
    std::fputs(reply.c_str(), stdout);
    std::fflush(stdout);
    return reply.empty() || reply == "(no connection)" ? 1 : 0;
}

// Starts the command line and waits for it; its exit code.
DWORD run_child(std::wstring command) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return 0xFFFFFFFF;
    }
    const UniqueHandle process(info.hProcess), thread(info.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 0;
    ::GetExitCodeProcess(process.get(), &code);
    return code;
}

void hold_until_input_ends() {
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
}

int run_as_installer(int argc, wchar_t** argv) {
    const std::wstring pid = std::to_wstring(::GetCurrentProcessId());
    std::wstring command;
    for (int i = 2; i < argc; ++i) {
        std::wstring argument = argv[i];
        for (auto at = argument.find(L"{pid}"); at != std::wstring::npos;
             at = argument.find(L"{pid}")) {
            argument.replace(at, 5, pid);
        }
        command += (i > 2 ? L" " : L"") +
                   vemla::win::to_wide(
                       vemla::platform::quote_windows_argument(vemla::win::to_utf8(argument)));
    }
    std::printf("exit %lu\n", run_child(command));
    hold_until_input_ends();
    return 0;
}

int installer(const std::string& session) {
    const std::string request = R"({"op":"prepare_update","owner_pid":)" +
                                std::to_string(::GetCurrentProcessId()) + R"(,"session":")" +
                                session + R"(","version":1})";
    std::wstring command = L"\"" + (own_directory() / L"vemla_pipe_test_client.exe").wstring() +
                           L"\" send " +
                           vemla::win::to_wide(vemla::platform::quote_windows_argument(request));
    if (run_child(command) == 0xFFFFFFFF) {
        return 2;
    }
    std::puts("installer holds");
    hold_until_input_ends();
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (argc == 3 && mode == L"send") {
        return send(vemla::win::to_utf8(argv[2]));
    }
    if (argc == 3 && mode == L"installer") {
        return installer(vemla::win::to_utf8(argv[2]));
    }
    if (argc > 2 && mode == L"run-as-installer") {
        return run_as_installer(argc, argv);
    }
    std::fputs(
        "usage: vemla_pipe_test_client send REQUEST | installer SESSION | run-as-installer "
        "PROGRAM ARGS...\n",
        stderr);
    return 2;
}
