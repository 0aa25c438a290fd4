#pragma once

#include <windows.h>

#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "install_checks.h"
#include "registration.h"
#include "win32/unique_object.h"

namespace vemla::service::win {

// The local service control manager and the helper's entry in it.
class Win32ServiceRegistrar final : public ServiceRegistrar {
public:
    std::expected<void, std::string> open_manager() override;
    std::expected<void, std::uint32_t> open_service() override;
    std::expected<void, std::string> create_service(const ServiceSettings& settings) override;
    std::expected<void, std::string> change_service(const ServiceSettings& settings) override;

private:
    // Declared first, so that the service's handle is closed before the manager's.
    ::vemla::win::UniqueServiceHandle manager_;
    ::vemla::win::UniqueServiceHandle service_;
};

// The module file name of this process; or the operating system's text.
std::expected<std::filesystem::path, std::string> running_executable_path();

// register_service for this process, with the system's directories and manager. `checks`
// decide what counts as protected (a test program may trust its own account).
std::expected<void, std::string> register_service(const InstallationChecks& checks);

// The check the pipe client runs on the service's configured binary path: exactly the quoted
// executable of the installation the registry names.
std::expected<void, std::string> check_installed_service(std::string_view configured);

}  // namespace vemla::service::win
