// A program that is not the service serving a pipe of the service's name, for the pipe client's
// tests. Never installed.
//
// Writes "ready PID" once the pipe exists (or "create failed: TEXT" and exits with 3), waits for
// one client, counts the bytes it sends until it lets go, writes "received COUNT" and exits.
// The end of its standard input ends it at any time.
#include <windows.h>

#include <cstdio>
#include <string>
#include <thread>

#include "helper_protocol/constants.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace {

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int main() {
    const std::wstring name = vemla::win::to_wide(vemla::helper_protocol::kPipeName);
    const vemla::win::UniqueHandle pipe(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
    if (!pipe) {
        say("create failed: " + vemla::win::last_error_text());
        return 3;
    }
    std::thread([] {
        while (std::getchar() != EOF) {
        }
        ::ExitProcess(0);
    }).detach();
    say("ready " + std::to_string(::GetCurrentProcessId()));

    if (!::ConnectNamedPipe(pipe.get(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED) {
        say("connect failed: " + vemla::win::last_error_text());
        return 4;
    }
    unsigned long long received = 0;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(pipe.get(), chunk, sizeof chunk, &got, nullptr) || got > 0) {
        received += got;
    }
    say("received " + std::to_string(received));
    return 0;
}
