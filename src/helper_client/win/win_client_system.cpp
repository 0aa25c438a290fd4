#include "helper_client/win/win_client_system.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>

#include "helper_client/helper_request.h"
#include "helper_protocol/constants.h"
#include "win32/win32_text.h"

namespace vemla::helper_client::win {

using ::vemla::win::last_error_text;
using ::vemla::win::to_wide;
namespace {

// The server may learn who the client is, but may not act as the client.
constexpr DWORD kIdentificationOnly = SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION;
constexpr DWORD kServiceQueryAccess = SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS;

static_assert(sizeof(QUERY_SERVICE_CONFIGW) <= kMinConfigurationBytes,
              "a configuration buffer always holds the fixed part of the record");

}  // namespace

std::expected<std::uint32_t, std::string> Win32PipeEnd::server_pid() {
    ULONG pid = 0;
    if (!::GetNamedPipeServerProcessId(pipe_.get(), &pid)) {
        return std::unexpected(last_error_text());
    }
    return static_cast<std::uint32_t>(pid);
}

std::expected<void, std::string> Win32PipeEnd::make_nonblocking() {
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    if (!::SetNamedPipeHandleState(pipe_.get(), &mode, nullptr, nullptr)) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<std::size_t, std::string> Win32PipeEnd::write(std::string_view bytes) {
    const auto size =
        static_cast<DWORD>(std::min<std::size_t>(bytes.size(), std::numeric_limits<DWORD>::max()));
    DWORD written = 0;
    if (!::WriteFile(pipe_.get(), bytes.data(), size, &written, nullptr)) {
        return std::unexpected(last_error_text());
    }
    return std::size_t{written};
}

PipeRead Win32PipeEnd::read(std::span<char> buffer) {
    const auto size =
        static_cast<DWORD>(std::min<std::size_t>(buffer.size(), std::numeric_limits<DWORD>::max()));
    DWORD got = 0;
    if (!::ReadFile(pipe_.get(), buffer.data(), size, &got, nullptr)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_NO_DATA) {
            return {PipeRead::Kind::nothing, 0, {}};
        }
        return {PipeRead::Kind::failed, 0, ::vemla::win::os_error_text(error)};
    }
    return {got == 0 ? PipeRead::Kind::nothing : PipeRead::Kind::data, got, {}};
}

std::expected<void, std::string> Win32ServiceControl::connect() {
    manager_.reset(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager_) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<void, std::string> Win32ServiceControl::open_service() {
    const std::wstring name = to_wide(helper_protocol::kServiceName);
    service_.reset(::OpenServiceW(manager_.get(), name.c_str(), kServiceQueryAccess));
    if (!service_) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<std::uint32_t, std::string> Win32ServiceControl::process_id() {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(service_.get(), SC_STATUS_PROCESS_INFO,
                                reinterpret_cast<BYTE*>(&status), sizeof status, &needed)) {
        return std::unexpected(last_error_text());
    }
    return static_cast<std::uint32_t>(status.dwProcessId);
}

std::uint32_t Win32ServiceControl::configuration_size() {
    DWORD needed = 0;
    // Fails by design: it only reports the size.
    (void)::QueryServiceConfigW(service_.get(), nullptr, 0, &needed);
    return static_cast<std::uint32_t>(needed);
}

std::expected<std::uintptr_t, std::string> Win32ServiceControl::read_configuration(
    std::span<std::uint64_t> buffer) {
    const auto bytes = static_cast<DWORD>(buffer.size_bytes());
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    DWORD needed = 0;
    if (!::QueryServiceConfigW(service_.get(), config, bytes, &needed)) {
        return std::unexpected(last_error_text());
    }
    LPWSTR path = nullptr;
    std::memcpy(&path,
                reinterpret_cast<const std::byte*>(buffer.data()) +
                    offsetof(QUERY_SERVICE_CONFIGW, lpBinaryPathName),
                sizeof path);
    return reinterpret_cast<std::uintptr_t>(path);
}

std::expected<std::unique_ptr<PipeEnd>, OpenFailure> Win32ClientSystem::open_pipe() {
    const std::wstring name = to_wide(helper_protocol::kPipeName);
    UniqueHandle pipe(::CreateFileW(name.c_str(), helper_protocol::kPipeOwnerAccess, 0, nullptr,
                                    OPEN_EXISTING, kIdentificationOnly, nullptr));
    if (!pipe) {
        return std::unexpected(::GetLastError() == ERROR_PIPE_BUSY ? OpenFailure::busy
                                                                   : OpenFailure::other);
    }
    return std::make_unique<Win32PipeEnd>(std::move(pipe));
}

std::unique_ptr<ServiceControl> Win32ClientSystem::service_control() {
    return std::make_unique<Win32ServiceControl>();
}

}  // namespace vemla::helper_client::win

namespace vemla::helper_client {

std::expected<Json, std::string> helper_request(const Json& request,
                                                const ServicePathCheck& check) {
    win::Win32ClientSystem system;
    platform::SystemClock clock;
    return send_request(request, system, clock, check);
}

}  // namespace vemla::helper_client
