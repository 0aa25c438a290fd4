#pragma once

#include "service_runtime.h"

namespace vemla::service::win {

// The service's process on Windows as the run sees it. `report_running` is the service control
// manager's part; the host only passes it on.
class Win32ServiceHost final : public ServiceHost {
public:
    explicit Win32ServiceHost(std::function<void()> report_running)
        : report_running_(std::move(report_running)) {}

    std::expected<InstallPaths, std::string> resolve_install_paths() override;
    std::expected<std::filesystem::path, std::string> running_executable() override;
    std::expected<std::string, std::string> read_owner_sid(
        const std::filesystem::path& data_dir) override;
    std::expected<void, std::string> restrict_dll_loading() override;
    std::expected<std::unique_ptr<Pipe>, std::string> create_pipe(
        const std::string& owner_sid) override;
    void report_running() override { report_running_(); }

private:
    std::function<void()> report_running_;
};

// Restricts DLL loading to the system directory.
std::expected<void, std::string> restrict_dll_loading();

}  // namespace vemla::service::win
