// Stands in for powershell.exe in the recovery tests. It writes the arguments it received, as a
// JSON array, to stand-in.arguments beside itself and its process id to stand-in.pid, then
// follows the words of stand-in.behaviour beside it, in order:
//   answer      writes the bytes of stand-in.answer to standard output
//   exit N      ends at once with exit code N
//   silent      waits forever
//   grandchild  starts a copy of itself that holds standard output open and waits forever, and
//               writes that copy's process id to stand-in.grandchild
// After the last word it ends with exit code 0; an unknown word ends it with 99.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>

#include "json/json_text.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace {

namespace fs = std::filesystem;
using vemla::win::UniqueHandle;

constexpr std::wstring_view kHoldOutput = L"--hold-output";

fs::path own_path() {
    std::wstring path(32768, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const fs::path& path, std::string_view content) {
    std::ofstream(path, std::ios::binary)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
}

void write_output(std::string_view bytes) {
    const HANDLE output = ::GetStdHandle(STD_OUTPUT_HANDLE);
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 65536));
        if (!::WriteFile(output, bytes.data(), chunk, &written, nullptr)) {
            return;
        }
        bytes.remove_prefix(written);
    }
}

void start_grandchild(const fs::path& self) {
    HANDLE output = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetStdHandle(STD_OUTPUT_HANDLE),
                           ::GetCurrentProcess(), &output, 0, TRUE, DUPLICATE_SAME_ACCESS)) {
        return;
    }
    const UniqueHandle inherited(output);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    std::wstring command = L"\"" + self.wstring() + L"\" " + std::wstring(kHoldOutput);
    PROCESS_INFORMATION created{};
    if (!::CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &created)) {
        return;
    }
    const UniqueHandle process(created.hProcess), thread(created.hThread);
    write_file(self.parent_path() / "stand-in.grandchild", std::to_string(created.dwProcessId));
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && argv[1] == kHoldOutput) {
        ::Sleep(INFINITE);
    }
    const fs::path self = own_path();
    const fs::path directory = self.parent_path();
    vemla::Json arguments = vemla::Json::array();
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(vemla::win::to_utf8(argv[i]));
    }
    write_file(directory / "stand-in.arguments", vemla::to_compact_json(arguments));
    write_file(directory / "stand-in.pid", std::to_string(::GetCurrentProcessId()));

    std::istringstream behaviour(read_file(directory / "stand-in.behaviour"));
    std::string word;
    while (behaviour >> word) {
        if (word == "answer") {
            write_output(read_file(directory / "stand-in.answer"));
        } else if (word == "exit") {
            unsigned long code = 0;
            behaviour >> code;
            ::ExitProcess(static_cast<UINT>(code));
        } else if (word == "silent") {
            ::Sleep(INFINITE);
        } else if (word == "grandchild") {
            start_grandchild(self);
        } else {
            return 99;
        }
    }
    return 0;
}
