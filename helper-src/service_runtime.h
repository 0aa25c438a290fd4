#pragma once

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

}  // namespace vemla::service
