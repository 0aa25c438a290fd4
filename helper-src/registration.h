#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "install_checks.h"

// Registration of the service with the service control manager: exactly one entry, running the
// protected installed executable as LocalSystem. The decisions are here; the manager sits behind
// ServiceRegistrar.
namespace vemla::service {

// Finds the installation and data directories; the failure is the operating system's text.
using InstallPathsResolver = std::function<std::expected<InstallPaths, std::string>()>;
// The path of the running executable; the failure is the operating system's text.
using RunningExecutable = std::function<std::expected<std::filesystem::path, std::string>()>;

// The file name text of the operating system, so that a path is written as it is.
using NativeText = std::filesystem::path::string_type;

inline constexpr std::uint32_t kServiceWin32OwnProcess = 0x10;
inline constexpr std::uint32_t kServiceAutoStart = 2;
inline constexpr std::uint32_t kServiceErrorNormal = 1;
inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr std::string_view kLocalSystemAccount = "LocalSystem";

// What one call writes into the service's entry.
struct ServiceSettings {
    std::uint32_t type = kServiceWin32OwnProcess;
    std::uint32_t start = kServiceAutoStart;
    std::uint32_t error_control = kServiceErrorNormal;
    NativeText binary_path;
    // None: left as it is.
    std::optional<std::string> display_name;
    // Empty: the manager's default, LocalSystem.
    std::string account;
};

// The service control manager, one call per method; the service is the helper's. Destroying it
// closes every handle it opened, the service's before the manager's.
class ServiceRegistrar {
public:
    virtual ~ServiceRegistrar() = default;
    // The local manager, for connecting and creating services; failure: the OS text.
    virtual std::expected<void, std::string> open_manager() = 0;
    // The existing service, for changing its configuration; failure: the OS error code.
    virtual std::expected<void, std::uint32_t> open_service() = 0;
    // A new service with these settings (its handle is closed at once); failure: the OS text.
    virtual std::expected<void, std::string> create_service(const ServiceSettings& settings) = 0;
    // The opened service's configuration; failure: the OS text.
    virtual std::expected<void, std::string> change_service(const ServiceSettings& settings) = 0;
};

// The service executable of an installation.
std::filesystem::path installed_executable(const InstallPaths& paths);

// The binary path the service is registered with: the executable in double quotation marks.
NativeText quoted_binary_path(const std::filesystem::path& executable);

// Creates the service entry, or rewrites the existing one, so that it runs the installed
// executable. Both the installed and the running executable must be protected (by `checks`)
// before the manager is touched, so registration works only from a protected copy, and always
// registers the installed one. Nothing is rolled back after a failure.
std::expected<void, std::string> register_service(const InstallationChecks& checks,
                                                  const InstallPathsResolver& resolve_paths,
                                                  const RunningExecutable& running_executable,
                                                  ServiceRegistrar& manager);

// Whether `configured`, the binary path the manager holds for the service, is exactly the
// installed executable of the installation `resolve_paths` finds. The pipe client's check.
std::expected<void, std::string> check_installed_service_path(
    std::string_view configured, const InstallPathsResolver& resolve_paths);

}  // namespace vemla::service
