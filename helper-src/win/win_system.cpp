#include "win/win_system.h"

#include <aclapi.h>
#include <sddl.h>
#include <windows.h>
#include <winsock2.h>
#include <winternl.h>

#include <algorithm>
#include <limits>
#include <mutex>

#include "json/result.h"
#include "win/path_security.h"
#include "win/win_process.h"
#include "win32/launch.h"
#include "win32/win32_text.h"

namespace vemla::service::win {
namespace {

using ::vemla::win::last_error_text;
using ::vemla::win::os_error_text;
using ::vemla::win::to_utf8;
using ::vemla::win::to_wide;
using ::vemla::win::UniqueLocal;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A descriptor from its SDDL text; owned until the handle is dropped.
std::expected<UniqueLocal, std::string> descriptor_from_sddl(const std::string& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(
            to_wide(sddl).c_str(), SDDL_REVISION_1, &descriptor, nullptr)) {
        return std::unexpected(last_error_text());
    }
    return UniqueLocal(descriptor);
}

// Facts of the file behind the handle, not of whatever its name leads to now.
FoundFile found_through(HANDLE file) {
    FoundFile found;
    BY_HANDLE_FILE_INFORMATION information{};
    if (!::GetFileInformationByHandle(file, &information)) {
        found.security = std::unexpected(last_error_text());
        return found;
    }
    found.is_reparse_point = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    found.link_count = information.nNumberOfLinks;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD status = ::GetSecurityInfo(file, SE_FILE_OBJECT,
                                           OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                           nullptr, nullptr, nullptr, nullptr, &descriptor);
    if (status != ERROR_SUCCESS) {
        found.security = std::unexpected(os_error_text(status));
        return found;
    }
    const UniqueLocal descriptor_owner(descriptor);
    found.security = security_from_descriptor(descriptor);
    return found;
}

class Win32File final : public OpenFile {
public:
    Win32File(UniqueHandle file, UniqueLocal descriptor, std::optional<FoundFile> found)
        : file_(std::move(file)), descriptor_(std::move(descriptor)), found_(std::move(found)) {}
    HANDLE handle() const { return file_.get(); }

    const std::optional<FoundFile>& found() const override { return found_; }

    std::expected<void, std::string> apply_descriptor() override {
        BOOL present = FALSE;
        BOOL defaulted = FALSE;
        PACL dacl = nullptr;
        if (!::GetSecurityDescriptorDacl(descriptor_.get(), &present, &dacl, &defaulted)) {
            return std::unexpected(last_error_text());
        }
        // The owner stays: it was judged trusted, and only the DACL lets others in.
        const DWORD status =
            ::SetSecurityInfo(file_.get(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr);
        if (status != ERROR_SUCCESS) {
            return std::unexpected(os_error_text(status));
        }
        return {};
    }

    std::expected<void, std::string> replace_contents(std::string_view bytes) override {
        if (!::SetFilePointerEx(file_.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN) ||
            !::SetEndOfFile(file_.get())) {
            return std::unexpected(last_error_text());
        }
        while (!bytes.empty()) {
            DWORD written = 0;
            const auto size = static_cast<DWORD>(
                std::min<std::size_t>(bytes.size(), std::numeric_limits<int>::max()));
            if (!::WriteFile(file_.get(), bytes.data(), size, &written, nullptr)) {
                return std::unexpected(last_error_text());
            }
            bytes.remove_prefix(written);
        }
        return {};
    }

private:
    UniqueHandle file_;
    UniqueLocal descriptor_;
    std::optional<FoundFile> found_;
};

std::expected<std::unique_ptr<Process>, std::string> as_process(
    std::expected<std::unique_ptr<Win32Process>, std::string> opened) {
    if (!opened) {
        return failure_of(opened);
    }
    return std::unique_ptr<Process>(std::move(*opened));
}

std::optional<std::uint32_t> parent_of(HANDLE process) {
    PROCESS_BASIC_INFORMATION basic{};
    ULONG size = 0;
    if (::NtQueryInformationProcess(process, ProcessBasicInformation, &basic, sizeof basic,
                                    &size) != 0) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(basic.InheritedFromUniqueProcessId);
}

// The socket closes when this goes out of scope.
class Socket {
public:
    Socket() : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (socket_ != INVALID_SOCKET) {
            ::closesocket(socket_);
        }
    }
    SOCKET get() const { return socket_; }

private:
    SOCKET socket_;
};

bool winsock_ready() {
    static const bool ready = [] {
        WSADATA data{};
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return ready;
}

}  // namespace

std::expected<std::unique_ptr<Process>, std::string> Win32System::open_for_monitoring(
    std::uint32_t pid) {
    return as_process(open_process(pid, SYNCHRONIZE));
}

std::optional<ProcessLineage> Win32System::inspect_process(std::uint32_t pid) {
    auto process = open_process(pid, PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION);
    if (!process) {
        return std::nullopt;
    }
    ProcessLineage lineage;
    lineage.parent_pid = parent_of((*process)->handle());
    if (const auto created = (*process)->creation_time()) {
        lineage.created = *created;
    }
    return lineage;
}

std::expected<std::unique_ptr<Process>, std::string> Win32System::open_owner(std::uint32_t pid) {
    return as_process(open_process(pid, SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION));
}

std::expected<std::string, std::string> Win32System::read_file(const std::filesystem::path& path,
                                                               std::size_t limit) {
    return read_file_from(path, 0, limit + 1);
}

std::expected<std::string, std::string> Win32System::read_file_from(
    const std::filesystem::path& path, std::uint64_t offset, std::size_t limit) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::unexpected(last_error_text());
    }
    LARGE_INTEGER start{};
    start.QuadPart = static_cast<LONGLONG>(offset);
    if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN)) {
        return std::unexpected(last_error_text());
    }
    // Grown as bytes come: the probe asks often, and mostly for nothing new.
    std::string bytes;
    char chunk[65536];
    while (bytes.size() < limit) {
        DWORD got = 0;
        const auto want = static_cast<DWORD>(std::min(sizeof chunk, limit - bytes.size()));
        if (!::ReadFile(file.get(), chunk, want, &got, nullptr)) {
            return std::unexpected(last_error_text());
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk, got);
    }
    return bytes;
}

std::expected<std::unique_ptr<OpenFile>, std::string> Win32System::open_own_file(
    const std::filesystem::path& path, const std::string& descriptor, Sharing sharing) {
    auto owned_descriptor = descriptor_from_sddl(descriptor);
    if (!owned_descriptor) {
        return failure_of(owned_descriptor);
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, owned_descriptor->get(), FALSE};
    constexpr DWORD kAccess = GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL | WRITE_DAC;
    // OPEN_REPARSE_POINT: a link at the name is opened as itself, and then refused.
    UniqueHandle file(::CreateFileW(
        path.c_str(), kAccess, sharing == Sharing::shared ? kShareAll : 0, &attributes, OPEN_ALWAYS,
        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        return std::unexpected(last_error_text());
    }
    // The descriptor is applied only to a file the call created.
    std::optional<FoundFile> found;
    if (::GetLastError() == ERROR_ALREADY_EXISTS) {
        found = found_through(file.get());
    }
    return std::make_unique<Win32File>(std::move(file), std::move(*owned_descriptor),
                                       std::move(found));
}

std::expected<LaunchedEngine, EngineLaunchFailure> Win32System::launch_engine(
    const EngineCommand& command, OpenFile& log) {
    const UniqueHandle null_device(::CreateFileW(L"NUL", GENERIC_READ, kShareAll, nullptr,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!null_device) {
        return std::unexpected(EngineLaunchFailure{false, last_error_text()});
    }
    const HANDLE log_handle = static_cast<Win32File&>(log).handle();
    auto launched = ::vemla::win::launch_in_job({command.program, command.arguments,
                                                 command.working_directory, command.environment,
                                                 null_device.get(), log_handle, log_handle});
    if (!launched) {
        using Step = ::vemla::win::LaunchFailure::Step;
        return std::unexpected(
            EngineLaunchFailure{launched.error().step == Step::resume, launched.error().text});
    }
    LaunchedEngine engine;
    engine.process = std::make_unique<Win32Process>(std::move(launched->process),
                                                    std::move(launched->thread), launched->pid);
    engine.job = std::make_unique<Win32Job>(std::move(launched->job));
    return engine;
}

std::optional<std::string> Win32System::environment(std::string_view name) {
    const std::wstring wide_name = to_wide(name);
    const DWORD needed = ::GetEnvironmentVariableW(wide_name.c_str(), nullptr, 0);
    if (needed == 0) {
        return std::nullopt;
    }
    std::wstring value(needed, L'\0');
    const DWORD length = ::GetEnvironmentVariableW(wide_name.c_str(), value.data(), needed);
    value.resize(std::min(length, needed));
    return to_utf8(value);
}

bool Win32System::connect_loopback(std::uint16_t port, std::chrono::milliseconds limit) {
    if (!winsock_ready()) {
        return false;
    }
    const Socket socket;
    u_long non_blocking = 1;
    if (socket.get() == INVALID_SOCKET ||
        ::ioctlsocket(socket.get(), static_cast<long>(FIONBIO), &non_blocking) != 0) {
        return false;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = ::htons(port);
    address.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return true;
    }
    if (::WSAGetLastError() != WSAEWOULDBLOCK) {
        return false;
    }
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(socket.get(), &writable);
    FD_SET(socket.get(), &failed);
    const auto count = std::max<long long>(limit.count(), 0);
    timeval timeout{static_cast<long>(count / 1000), static_cast<long>((count % 1000) * 1000)};
    if (::select(0, nullptr, &writable, &failed, &timeout) <= 0) {
        return false;
    }
    return FD_ISSET(socket.get(), &writable) && !FD_ISSET(socket.get(), &failed);
}

}  // namespace vemla::service::win
