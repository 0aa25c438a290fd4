#include "service_runtime.h"

#include <algorithm>

#include "helper_protocol/constants.h"
#include "json/result.h"
#include "pipe_server.h"
#include "service_state.h"

namespace vemla::service {
namespace {

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool same_component(const std::filesystem::path& a, const std::filesystem::path& b) {
    const std::string left = path_text(a);
    const std::string right = path_text(b);
    return std::ranges::equal(left, right,
                              [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

// The directories, their protection and the service's own executable, in that order.
std::expected<InstallPaths, std::string> check_installation(ServiceHost& host,
                                                            const InstallationChecks& checks) {
    auto paths = host.resolve_install_paths();
    if (!paths) {
        return paths;
    }
    for (const auto& directory : {paths->install_dir, paths->data_dir}) {
        if (auto protected_dir = checks.check_protected_chain(directory); !protected_dir) {
            return failure_of(protected_dir);
        }
    }
    const auto running = host.running_executable();
    if (!running) {
        return failure_of(running);
    }
    const auto installed =
        paths->install_dir / std::string(helper_protocol::kServiceExecutableName);
    if (!same_path(*running, installed)) {
        return std::unexpected("Service executable is outside protected install");
    }
    if (auto entries = checks.check_installation_entries(paths->install_dir, paths->data_dir);
        !entries) {
        return failure_of(entries);
    }
    return paths;
}

}  // namespace

bool same_path(const std::filesystem::path& a, const std::filesystem::path& b) {
    const auto left = a.lexically_normal();
    const auto right = b.lexically_normal();
    return std::ranges::equal(left, right, same_component);
}

std::expected<void, std::string> run_service(ServiceHost& host, ServiceContext& context) {
    const auto paths = check_installation(host, context.checks);
    if (!paths) {
        return failure_of(paths);
    }
    auto owner_sid = host.read_owner_sid(paths->data_dir);
    if (!owner_sid) {
        return failure_of(owner_sid);
    }
    if (auto restricted = host.restrict_dll_loading(); !restricted) {
        return restricted;
    }
    auto pipe = host.create_pipe(*owner_sid);
    if (!pipe) {
        return failure_of(pipe);
    }
    ServiceState state;
    state.owner_sid = std::move(*owner_sid);
    state.install_dir = paths->install_dir;
    state.data_dir = paths->data_dir;
    host.report_running();
    serve(context, **pipe, state);
    auto stopped = stop_connection(state);
    pipe->reset();
    return stopped;
}

std::uint32_t stopped_exit_code(const std::expected<void, std::string>& run) {
    return run ? 0 : kServiceSpecificError;
}

}  // namespace vemla::service
