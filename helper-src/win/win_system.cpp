#include "win/win_system.h"

#include <windows.h>
#include <winsock2.h>
#include <winternl.h>

#include <algorithm>
#include <limits>
#include <mutex>

#include "json/result.h"
#include "win/win_process.h"
#include "win32/launch.h"
#include "win32/win32_text.h"

namespace vemla::service::win {
namespace {

using ::vemla::win::last_error_text;
using ::vemla::win::to_utf8;
using ::vemla::win::to_wide;

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

class Win32File final : public OpenFile {
public:
    explicit Win32File(UniqueHandle file) : file_(std::move(file)) {}
    HANDLE handle() const { return file_.get(); }

private:
    UniqueHandle file_;
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

bool Win32System::exists(const std::filesystem::path& path) {
    return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::expected<void, std::string> Win32System::write_file(const std::filesystem::path& path,
                                                         std::string_view bytes) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::unexpected(last_error_text());
    }
    while (!bytes.empty()) {
        DWORD written = 0;
        const auto size = static_cast<DWORD>(
            std::min<std::size_t>(bytes.size(), std::numeric_limits<int>::max()));
        if (!::WriteFile(file.get(), bytes.data(), size, &written, nullptr)) {
            return std::unexpected(last_error_text());
        }
        bytes.remove_prefix(written);
    }
    return {};
}

std::expected<std::string, std::string> Win32System::read_file(const std::filesystem::path& path,
                                                               std::size_t limit) {
    const UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_READ, kShareAll, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::unexpected(last_error_text());
    }
    std::string bytes;
    char chunk[65536];
    while (bytes.size() <= limit) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) {
            return std::unexpected(last_error_text());
        }
        if (got == 0) {
            break;
        }
        bytes.append(chunk, std::min<std::size_t>(got, limit + 1 - bytes.size()));
    }
    return bytes;
}

std::expected<std::unique_ptr<OpenFile>, std::string> Win32System::create_log(
    const std::filesystem::path& path) {
    UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        return std::unexpected(last_error_text());
    }
    return std::make_unique<Win32File>(std::move(file));
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
