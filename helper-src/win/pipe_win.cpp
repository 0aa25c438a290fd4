#include "win/pipe_win.h"

#include <sddl.h>

#include <algorithm>
#include <limits>

#include "helper_protocol/constants.h"
#include "pipe_server.h"
#include "text.h"
#include "win/win_process.h"
#include "win32/win32_text.h"

namespace vemla::service::win {
namespace {

using ::vemla::win::last_error_text;
using ::vemla::win::os_error_text;
using ::vemla::win::to_wide;
using ::vemla::win::UniqueLocal;

constexpr DWORD kPipeDefaultTimeoutMs = 1000;
// owner.sid holds one SID and white space; anything longer is not an owner SID.
constexpr std::size_t kMaxOwnerFileBytes = 4096;

// Runs the enclosed code as the pipe client and reverts when it ends, however it ends. Only
// error codes are kept while it is active: nothing that allocates or formats runs as the client.
class PipeClientIdentity {
public:
    explicit PipeClientIdentity(HANDLE pipe) noexcept
        : active_(::ImpersonateNamedPipeClient(pipe) != 0),
          error_(active_ ? 0 : ::GetLastError()) {}
    PipeClientIdentity(const PipeClientIdentity&) = delete;
    PipeClientIdentity& operator=(const PipeClientIdentity&) = delete;
    ~PipeClientIdentity() {
        // Going on under the client's identity would hand it the service's work.
        if (active_ && !::RevertToSelf()) {
            ::TerminateProcess(::GetCurrentProcess(), ERROR_CANNOT_IMPERSONATE);
        }
    }
    DWORD error() const noexcept { return error_; }

private:
    bool active_;
    DWORD error_;
};

// The client's impersonation token, opened as the service; or the error code.
DWORD open_client_token(HANDLE pipe, HANDLE& token) noexcept {
    const PipeClientIdentity identity(pipe);
    if (identity.error() != 0) {
        return identity.error();
    }
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) {
        return ::GetLastError();
    }
    return 0;
}

DWORD clamp_size(std::size_t size) {
    return static_cast<DWORD>(std::min<std::size_t>(size, std::numeric_limits<DWORD>::max()));
}

}  // namespace

std::expected<std::string, std::string> read_owner_sid(const std::filesystem::path& data_dir) {
    const std::filesystem::path file = data_dir / std::string(helper_protocol::kOwnerSidFileName);
    const UniqueHandle handle(::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle) {
        return std::unexpected(last_error_text());
    }
    std::string content(kMaxOwnerFileBytes + 1, '\0');
    DWORD got = 0;
    if (!::ReadFile(handle.get(), content.data(), clamp_size(content.size()), &got, nullptr)) {
        return std::unexpected(last_error_text());
    }
    content.resize(got);
    if (!is_valid_utf8(content)) {
        return std::unexpected(os_error_text(ERROR_NO_UNICODE_TRANSLATION));
    }
    return parse_owner_sid(content);
}

std::expected<UniqueHandle, std::string> create_pipe(const std::string& owner_sid) {
    if (!is_owner_sid_text(owner_sid)) {
        return std::unexpected(std::string(kInvalidOwnerSid));
    }
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

PipeRead Win32Pipe::read(std::span<char> buffer) {
    DWORD got = 0;
    if (::ReadFile(pipe_, buffer.data(), clamp_size(buffer.size()), &got, nullptr)) {
        return got == 0 ? PipeRead{} : PipeRead{PipeRead::Kind::data, got, {}};
    }
    const DWORD code = ::GetLastError();
    switch (code) {
        case ERROR_NO_DATA:
            return PipeRead{};
        case ERROR_BROKEN_PIPE:
            return PipeRead{PipeRead::Kind::closed, 0, os_error_text(code)};
        default:
            return PipeRead{PipeRead::Kind::failed, 0, os_error_text(code)};
    }
}

void Win32Pipe::write(std::string_view bytes) {
    DWORD written = 0;
    ::WriteFile(pipe_, bytes.data(), clamp_size(bytes.size()), &written, nullptr);
}

std::expected<std::string, std::string> Win32Pipe::caller_sid() {
    HANDLE token = nullptr;
    if (const DWORD error = open_client_token(pipe_, token); error != 0) {
        return std::unexpected(os_error_text(error));
    }
    const UniqueHandle token_owner(token);
    return token_user_sid_text(token);
}

std::expected<std::uint32_t, std::string> Win32Pipe::client_pid() {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe_, &pid)) {
        return std::unexpected(last_error_text());
    }
    return pid;
}

}  // namespace vemla::service::win
