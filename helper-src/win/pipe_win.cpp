#include "win/pipe_win.h"

#include <sddl.h>

#include <limits>
#include <vector>

#include "pipe_server.h"
#include "text.h"
#include "win/win_process.h"
#include "win32/win32_text.h"

namespace vemla::service::win {

using namespace ::vemla::win;
namespace {

constexpr DWORD kMaxTokenInformationBytes = 65536;
constexpr DWORD kPipeDefaultTimeoutMs = 1000;

}  // namespace

std::expected<std::string, std::string> read_owner_sid(const std::filesystem::path& data_dir) {
    const std::filesystem::path file = data_dir / L"owner.sid";
    const UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        return std::unexpected(last_error_text());
    }
    std::string content;
    char chunk[4096];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(handle.get(), chunk, sizeof chunk, &got, nullptr)) {
            return std::unexpected(last_error_text());
        }
        if (got == 0) {
            break;
        }
        content.append(chunk, got);
    }
    if (!is_valid_utf8(content)) {
        return std::unexpected(os_error_text(ERROR_NO_UNICODE_TRANSLATION));
    }
    return parse_owner_sid(content);
}

std::expected<UniqueHandle, std::string> create_pipe(const std::string& owner_sid) {
    const std::wstring sddl = L"D:P(A;;GA;;;SY)(A;;0x12019b;;;" + to_wide(owner_sid) + L")";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr)) {
        return std::unexpected(last_error_text());
    }
    const UniqueLocal descriptor_owner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), descriptor, FALSE};
    const std::wstring name = to_wide(helper_protocol::kPipeName);
    UniqueHandle pipe(::CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_NOWAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
        static_cast<DWORD>(kPipeBufferBytes), static_cast<DWORD>(kPipeBufferBytes),
        kPipeDefaultTimeoutMs, &attributes));
    if (!pipe) {
        return std::unexpected(last_error_text());
    }
    return pipe;
}

std::expected<std::string, std::string> token_user_sid_text(HANDLE token) {
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0 || size > kMaxTokenInformationBytes) {
        return std::unexpected("Invalid token size");
    }
    // Pointer-aligned storage, as TOKEN_USER holds a pointer.
    std::vector<void*> storage((size + sizeof(void*) - 1) / sizeof(void*));
    if (!::GetTokenInformation(token, TokenUser, storage.data(), size, &size)) {
        return std::unexpected(last_error_text());
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(storage.data());
    wchar_t* text = nullptr;
    if (!::ConvertSidToStringSidW(user->User.Sid, &text)) {
        return std::unexpected(last_error_text());
    }
    const UniqueLocal text_owner(text);
    return to_utf8(text);
}

ConnectState Win32Pipe::connect() {
    // On a non-blocking pipe, success only says the instance is listening again.
    if (::ConnectNamedPipe(pipe_, nullptr)) {
        return ConnectState::waiting;
    }
    switch (::GetLastError()) {
        case ERROR_PIPE_CONNECTED:
            return ConnectState::connected;
        case ERROR_NO_DATA:
            return ConnectState::client_gone;
        default:
            return ConnectState::waiting;
    }
}

void Win32Pipe::disconnect() {
    ::DisconnectNamedPipe(pipe_);
}

std::expected<std::size_t, PipeError> Win32Pipe::read(std::span<char> buffer) {
    DWORD got = 0;
    const DWORD wanted =
        static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::numeric_limits<DWORD>::max()));
    if (::ReadFile(pipe_, buffer.data(), wanted, &got, nullptr)) {
        return got;
    }
    const DWORD code = ::GetLastError();
    // "No data yet" comes every 10 ms while a client is slow; its text is never shown.
    return std::unexpected(
        PipeError{code, code == ERROR_NO_DATA ? std::string() : os_error_text(code)});
}

void Win32Pipe::write(std::string_view bytes) {
    DWORD written = 0;
    ::WriteFile(
        pipe_, bytes.data(),
        static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::numeric_limits<DWORD>::max())),
        &written, nullptr);
}

std::expected<std::string, std::string> Win32Pipe::caller_sid() {
    if (!::ImpersonateNamedPipeClient(pipe_)) {
        return std::unexpected(last_error_text());
    }
    std::expected<std::string, std::string> sid;
    HANDLE token = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        const UniqueHandle token_owner(token);
        sid = token_user_sid_text(token);
    } else {
        sid = std::unexpected(last_error_text());
    }
    // Going on under the client's identity would hand it the service's work.
    if (!::RevertToSelf()) {
        ::TerminateProcess(::GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
    }
    return sid;
}

std::expected<std::uint32_t, std::string> Win32Pipe::client_pid() {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe_, &pid)) {
        return std::unexpected(last_error_text());
    }
    return pid;
}

std::expected<std::unique_ptr<Process>, std::string> Win32Pipe::open_process(std::uint32_t pid) {
    auto opened = win::open_process(pid, SYNCHRONIZE);
    if (!opened) {
        return std::unexpected(opened.error());
    }
    return std::unique_ptr<Process>(std::move(*opened));
}

}  // namespace vemla::service::win
