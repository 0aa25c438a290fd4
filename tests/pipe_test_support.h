#pragma once

// The test server in its own process, and a client of its pipe, for the integration tests.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "helper_protocol/constants.h"
#include "json/json_text.h"
#include "platform/command_line.h"
#include "request_envelope.h"
#include "win/win_process.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::service::testing_support {

using namespace ::vemla::win;
using namespace std::chrono_literals;

inline constexpr const char* kIdleStatus =
    R"({"adapter_recovered":false,"available":true,"connection_tracking_schema":1,)"
    R"("engine_error":null,"installed":true,"maintenance":false,"native_api_port":18970,)"
    R"("native_xray":true,"ok":true,"owned":false,"pid":null,"running":false,)"
    R"("version":"2.20.26"})";
inline constexpr const char* kStatusRequest = "{\"version\":1,\"op\":\"status\"}\n";
inline constexpr const char* kOtherSid = "S-1-5-21-1-2-3-1001";

inline std::string error_line(const std::string& text) {
    return to_compact_json(error_reply(text)) + "\n";
}

inline std::string own_sid() {
    return win::process_user_sid().value_or("");
}

// The directory of the running test executable, where the test programs are built.
inline std::filesystem::path own_directory() {
    std::wstring path(MAX_PATH, L'\0');
    path.resize(::GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return std::filesystem::path(path).parent_path();
}

inline std::filesystem::path server_path() {
    return own_directory() / L"vemla_pipe_test_server.exe";
}

// This process's environment block with the given variables replaced or added.
inline std::string utf8(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

inline std::wstring environment_with(const std::vector<std::wstring>& overrides) {
    std::wstring block;
    wchar_t* current = ::GetEnvironmentStringsW();
    for (const wchar_t* entry = current; *entry != L'\0'; entry += wcslen(entry) + 1) {
        const std::wstring_view text(entry);
        const bool replaced = std::ranges::any_of(overrides, [&](const std::wstring& item) {
            const auto name = item.substr(0, item.find(L'=') + 1);
            return _wcsnicmp(text.data(), name.c_str(), name.size()) == 0;
        });
        if (!replaced) {
            block.append(text).push_back(L'\0');
        }
    }
    ::FreeEnvironmentStringsW(current);
    for (const std::wstring& item : overrides) {
        block.append(item).push_back(L'\0');
    }
    block.push_back(L'\0');
    return block;
}

// A test program as a child process, talked to through its standard input and output.
class TestProgram {
public:
    // `environment` replaces or adds variables of this process's environment.
    TestProgram(const std::filesystem::path& program, const std::vector<std::wstring>& arguments,
                const std::vector<std::wstring>& environment = {}) {
        SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        HANDLE input_read = nullptr, input_write = nullptr, output_read = nullptr,
               output_write = nullptr;
        ::CreatePipe(&input_read, &input_write, &inheritable, 0);
        ::CreatePipe(&output_read, &output_write, &inheritable, 0);
        const UniqueHandle child_input(input_read), child_output(output_write);
        input_.reset(input_write);
        output_.reset(output_read);
        ::SetHandleInformation(input_.get(), HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(output_.get(), HANDLE_FLAG_INHERIT, 0);

        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_input.get();
        startup.hStdOutput = child_output.get();
        startup.hStdError = child_output.get();
        std::wstring command = L"\"" + program.wstring() + L"\"";
        for (const std::wstring& argument : arguments) {
            command += L" \"" + argument + L"\"";
        }
        std::wstring block = environment_with(environment);
        PROCESS_INFORMATION info{};
        if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                             CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT, block.data(), nullptr,
                             &startup, &info)) {
            process_.reset(info.hProcess);
            UniqueHandle thread(info.hThread);
        }
    }

    TestProgram(const TestProgram&) = delete;
    TestProgram& operator=(const TestProgram&) = delete;
    ~TestProgram() {
        if (process_) {
            input_.reset();  // the end of its input stops the loop
            if (::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) {
                ::TerminateProcess(process_.get(), 1);
            }
        }
    }

    bool started() const { return static_cast<bool>(process_); }
    void close_input() { input_.reset(); }

    void send(const std::string& line) {
        const std::string text = line + "\n";
        DWORD written = 0;
        ::WriteFile(input_.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    }

    // The next line it writes; empty if none comes within 30 s.
    std::string read_line() {
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (const auto end = pending_.find('\n'); end != std::string::npos) {
                std::string line = pending_.substr(0, end);
                pending_.erase(0, end + 1);
                if (line.ends_with('\r')) {  // its standard output is in text mode
                    line.pop_back();
                }
                return line;
            }
            DWORD available = 0;
            if (!::PeekNamedPipe(output_.get(), nullptr, 0, nullptr, &available, nullptr)) {
                break;
            }
            if (available == 0) {
                std::this_thread::sleep_for(5ms);
                continue;
            }
            std::string chunk(available, '\0');
            DWORD got = 0;
            ::ReadFile(output_.get(), chunk.data(), available, &got, nullptr);
            pending_.append(chunk.data(), got);
        }
        return {};
    }

    std::optional<DWORD> exit_code(DWORD wait_ms) {
        if (::WaitForSingleObject(process_.get(), wait_ms) != WAIT_OBJECT_0) {
            return std::nullopt;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(process_.get(), &code);
        return code;
    }

private:
    UniqueHandle process_;
    UniqueHandle input_;
    UniqueHandle output_;
    std::string pending_;
};

// The test server: the service's pipe loop on a state made from its command line.
class TestServer : public TestProgram {
public:
    // `arguments` follow the owner SID on the command line.
    explicit TestServer(const std::string& owner_sid, std::vector<std::wstring> arguments = {},
                        const std::vector<std::wstring>& environment = {})
        : TestProgram(server_path(), with_first(to_wide(owner_sid), std::move(arguments)),
                      environment) {}

    // Sets the stop flag and returns how long the loop took to return, in microseconds.
    std::optional<long long> stop() {
        send("stop");
        const std::string line = read_line();
        if (!line.starts_with("stopped ")) {
            return std::nullopt;
        }
        return std::stoll(line.substr(8));
    }

private:
    static std::vector<std::wstring> with_first(std::wstring first,
                                                std::vector<std::wstring> rest) {
        rest.insert(rest.begin(), std::move(first));
        return rest;
    }
};

inline UniqueHandle try_open_client(DWORD& error) {
    const std::wstring name = to_wide(helper_protocol::kPipeName);
    UniqueHandle client(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
    error = client ? ERROR_SUCCESS : ::GetLastError();
    return client;
}

// Opens the pipe, waiting while the server is still busy with the previous client.
inline UniqueHandle open_client() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    DWORD error = 0;
    for (;;) {
        UniqueHandle client = try_open_client(error);
        if (client || std::chrono::steady_clock::now() >= deadline) {
            return client;
        }
        std::this_thread::sleep_for(5ms);
    }
}

inline bool write_all(HANDLE client, std::string_view bytes) {
    constexpr std::size_t kChunk = 1 << 20;
    while (!bytes.empty()) {
        const auto size = static_cast<DWORD>(std::min(bytes.size(), kChunk));
        DWORD written = 0;
        if (!::WriteFile(client, bytes.data(), size, &written, nullptr)) {
            return false;
        }
        bytes.remove_prefix(written);
    }
    return true;
}

// Everything up to and including the first line feed, or what came before the server let go.
inline std::string read_reply(HANDLE client) {
    std::string reply;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(client, chunk, sizeof chunk, &got, nullptr) || got == 0) {
            return reply;
        }
        reply.append(chunk, got);
        if (reply.back() == '\n') {
            return reply;
        }
    }
}

inline std::size_t bytes_waiting(HANDLE client) {
    DWORD available = 0;
    ::PeekNamedPipe(client, nullptr, 0, nullptr, &available, nullptr);
    return available;
}

inline std::string exchange(std::string_view request) {
    const UniqueHandle client = open_client();
    if (!client || !write_all(client.get(), request)) {
        return "(no connection)";
    }
    return read_reply(client.get());
}

}  // namespace vemla::service::testing_support
