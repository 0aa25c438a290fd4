// A client of the service's pipe in a process of its own, for the tests that need the client or
// the installer to be another process than the test. Never installed.
//
// Usage:
//   vemla_pipe_test_client send REQUEST      sends the JSON line, writes the reply, exits
//   vemla_pipe_test_client installer SESSION
//       runs `send` in a child process with a prepare_update request that names this process
//       as the installer owner, writes the child's reply, then stays until its standard input
//       ends (the test ends the installer that way)
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

int installer(const std::string& session) {
    const std::string request = R"({"op":"prepare_update","owner_pid":)" +
                                std::to_string(::GetCurrentProcessId()) + R"(,"session":")" +
                                session + R"(","version":1})";
    std::wstring command = L"\"" + (own_directory() / L"vemla_pipe_test_client.exe").wstring() +
                           L"\" send " + vemla::win::to_wide(vemla::platform::quote_windows_argument(request));
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return 2;
    }
    const UniqueHandle process(info.hProcess), thread(info.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    std::puts("installer holds");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "send") {
        return send(argv[2]);
    }
    if (argc == 3 && std::string(argv[1]) == "installer") {
        return installer(argv[2]);
    }
    std::fputs("usage: vemla_pipe_test_client send REQUEST | installer SESSION\n", stderr);
    return 2;
}
