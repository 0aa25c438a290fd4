#include "win/win_process.h"

#include "win32/win32_text.h"

namespace vemla::service::win {

using namespace ::vemla::win;

bool Win32Process::has_ended() {
    return ::WaitForSingleObject(process_.get(), 0) == WAIT_OBJECT_0;
}

std::expected<std::optional<std::uint32_t>, std::string> Win32Process::exit_code() {
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.get(), &code)) {
        return std::unexpected(last_error_text());
    }
    // STILL_ACTIVE is also a code a process can exit with; only the signalled handle tells.
    if (code == STILL_ACTIVE && !has_ended()) {
        return std::nullopt;
    }
    return code;
}

std::expected<void, std::string> Win32Process::terminate(std::uint32_t code) {
    if (!::TerminateProcess(process_.get(), code)) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<void, std::string> Win32Process::wait() {
    if (::WaitForSingleObject(process_.get(), INFINITE) != WAIT_OBJECT_0) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<std::unique_ptr<Win32Process>, std::string> open_process(DWORD pid, DWORD access) {
    UniqueHandle process(::OpenProcess(access, FALSE, pid));
    if (!process) {
        return std::unexpected(last_error_text());
    }
    return std::make_unique<Win32Process>(std::move(process), UniqueHandle(), pid);
}

}  // namespace vemla::service::win
