#include "win/registration_win.h"

#include "helper_protocol/constants.h"
#include "win/path_security.h"
#include "win32/win32_text.h"

namespace vemla::service::win {

using ::vemla::win::last_error_text;
using ::vemla::win::to_wide;
namespace {

constexpr DWORD kManagerAccess = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
constexpr DWORD kServiceAccess = SERVICE_CHANGE_CONFIG | SERVICE_QUERY_STATUS;
// Longer than any path the file system accepts.
constexpr DWORD kMaxModuleChars = 32768;

const wchar_t* or_null(const std::wstring& text) {
    return text.empty() ? nullptr : text.c_str();
}

}  // namespace

std::expected<void, std::string> Win32ServiceRegistrar::open_manager() {
    manager_.reset(::OpenSCManagerW(nullptr, nullptr, kManagerAccess));
    if (!manager_) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<void, std::uint32_t> Win32ServiceRegistrar::open_service() {
    const std::wstring name = to_wide(helper_protocol::kServiceName);
    service_.reset(::OpenServiceW(manager_.get(), name.c_str(), kServiceAccess));
    if (!service_) {
        return std::unexpected(static_cast<std::uint32_t>(::GetLastError()));
    }
    return {};
}

std::expected<void, std::string> Win32ServiceRegistrar::create_service(
    const ServiceSettings& settings) {
    const std::wstring name = to_wide(helper_protocol::kServiceName);
    const std::wstring display_name = to_wide(settings.display_name.value_or(""));
    const std::wstring account = to_wide(settings.account);
    const ::vemla::win::UniqueServiceHandle created(::CreateServiceW(
        manager_.get(), name.c_str(), or_null(display_name), kServiceAccess, settings.type,
        settings.start, settings.error_control, settings.binary_path.c_str(), nullptr, nullptr,
        nullptr, or_null(account), nullptr));
    if (!created) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<void, std::string> Win32ServiceRegistrar::change_service(
    const ServiceSettings& settings) {
    const std::wstring display_name = to_wide(settings.display_name.value_or(""));
    const std::wstring account = to_wide(settings.account);
    // A built-in account has no password: the empty one says so.
    if (!::ChangeServiceConfigW(service_.get(), settings.type, settings.start,
                                settings.error_control, settings.binary_path.c_str(), nullptr,
                                nullptr, nullptr, or_null(account), account.empty() ? nullptr : L"",
                                or_null(display_name))) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<std::filesystem::path, std::string> running_executable_path() {
    std::wstring path(kMaxModuleChars, L'\0');
    const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), kMaxModuleChars);
    if (length == 0) {
        return std::unexpected(last_error_text());
    }
    if (length >= kMaxModuleChars) {
        return std::unexpected(::vemla::win::os_error_text(ERROR_INSUFFICIENT_BUFFER));
    }
    path.resize(length);
    return std::filesystem::path(path);
}

std::expected<void, std::string> register_service(const InstallationChecks& checks) {
    Win32ServiceRegistrar manager;
    return ::vemla::service::register_service(checks, resolve_install_paths,
                                              running_executable_path, manager);
}

std::expected<void, std::string> check_installed_service(std::string_view configured) {
    return check_installed_service_path(configured, resolve_install_paths);
}

}  // namespace vemla::service::win
