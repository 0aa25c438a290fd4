#include "win/win_process.h"

#include <sddl.h>

#include <vector>

#include "win32/win32_text.h"

namespace vemla::service::win {
namespace {

using ::vemla::win::last_error_text;
using ::vemla::win::to_utf8;
using ::vemla::win::UniqueLocal;

constexpr DWORD kMaxTokenInformationBytes = 65536;

}  // namespace

bool Win32Process::has_ended() {
    return ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

std::expected<std::optional<std::uint32_t>, std::string> Win32Process::exit_code() {
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.get(), &code)) {
        return std::unexpected(last_error_text());
    }
    if (code != STILL_ACTIVE) {
        return code;
    }
    // STILL_ACTIVE is also a code a process can exit with; only the signalled handle tells. A
    // process that ended between the two calls has its real code by now.
    if (!has_ended()) {
        return std::nullopt;
    }
    if (!::GetExitCodeProcess(process_.get(), &code)) {
        return std::unexpected(last_error_text());
    }
    return code;
}

std::expected<void, std::string> Win32Process::terminate(std::uint32_t code) {
    if (!::TerminateProcess(process_.get(), code)) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<bool, std::string> Win32Process::wait(
    std::optional<std::chrono::milliseconds> limit) {
    const DWORD milliseconds = limit ? static_cast<DWORD>(limit->count()) : INFINITE;
    switch (::WaitForSingleObject(process_.get(), milliseconds)) {
        case WAIT_OBJECT_0:
            return true;
        case WAIT_TIMEOUT:
            return false;
        default:
            return std::unexpected(last_error_text());
    }
}

std::expected<std::string, std::string> Win32Process::user_sid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(process_.get(), TOKEN_QUERY, &token)) {
        return std::unexpected(last_error_text());
    }
    const UniqueHandle owner(token);
    return token_user_sid_text(token);
}

std::expected<std::uint64_t, std::string> Win32Process::creation_time() {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(process_.get(), &created, &exited, &kernel, &user)) {
        return std::unexpected(last_error_text());
    }
    return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

std::expected<std::unique_ptr<Win32Process>, std::string> open_process(DWORD pid, DWORD access) {
    UniqueHandle process(::OpenProcess(access, FALSE, pid));
    if (!process) {
        return std::unexpected(last_error_text());
    }
    return std::make_unique<Win32Process>(std::move(process), UniqueHandle(), pid);
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

std::expected<std::string, std::string> process_user_sid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return std::unexpected(last_error_text());
    }
    const UniqueHandle owner(token);
    return token_user_sid_text(token);
}

}  // namespace vemla::service::win
