#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <string>

#include "install_checks.h"
#include "platform.h"
#include "service_context.h"

// The service from its start-up checks to its orderly stop, over what the service control
// manager's side of the process provides.
namespace vemla::service {

// What the service's process offers the run besides the system of every request.
class ServiceHost {
public:
    virtual ~ServiceHost() = default;
    virtual std::expected<InstallPaths, std::string> resolve_install_paths() = 0;
    // The path of the executable this process runs.
    virtual std::expected<std::filesystem::path, std::string> running_executable() = 0;
    virtual std::expected<std::string, std::string> read_owner_sid(
        const std::filesystem::path& data_dir) = 0;
    // Restricts DLL loading to the system directory.
    virtual std::expected<void, std::string> restrict_dll_loading() = 0;
    // The pipe, owning its handle: destroying it closes the pipe.
    virtual std::expected<std::unique_ptr<Pipe>, std::string> create_pipe(
        const std::string& owner_sid) = 0;
    virtual void report_running() = 0;
};

// Whether two paths name the same file: component by component, ASCII letters compared without
// regard to case, as the file system compares them.
bool same_path(const std::filesystem::path& a, const std::filesystem::path& b);

// The start-up checks in their order, the pipe loop until the stop flag is set, then the one
// final stop of the connection. The first failure ends the run and is returned; the service
// then stops with its service-specific exit code.
std::expected<void, std::string> run_service(ServiceHost& host, ServiceContext& context);

// The Win32 exit code the stopped report carries after a failed run. The failure's text has no
// reader: this code is the service's only report.
inline constexpr std::uint32_t kServiceSpecificError = 1066;

// The exit code of the stopped report after `run`: 0, or the service-specific error.
std::uint32_t stopped_exit_code(const std::expected<void, std::string>& run);

}  // namespace vemla::service
