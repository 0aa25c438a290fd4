#include "registration.h"

#include "helper_protocol/constants.h"
#include "json/result.h"

namespace vemla::service {
namespace {

constexpr std::string_view kNeedsConsent = "Service registration requires administrator consent: ";
constexpr std::string_view kCannotCreate = "Cannot create helper service: ";
constexpr std::string_view kCannotOpen = "Cannot change helper service configuration: ";
constexpr std::string_view kCannotConfigure = "Cannot configure exact helper executable: ";

std::unexpected<std::string> fail(std::string_view prefix, const std::string& text) {
    return std::unexpected(std::string(prefix) + text);
}

// Both executables, or the first message of the installation checks.
std::expected<std::filesystem::path, std::string> protected_executable(
    const InstallationChecks& checks, const InstallPathsResolver& resolve_paths,
    const RunningExecutable& running_executable) {
    const auto paths = resolve_paths();
    if (!paths) {
        return failure_of(paths);
    }
    const std::filesystem::path executable = installed_executable(*paths);
    if (auto installed = checks.check_protected_chain(executable); !installed) {
        return failure_of(installed);
    }
    const auto running = running_executable();
    if (!running) {
        return failure_of(running);
    }
    if (auto copy = checks.check_protected_chain(*running); !copy) {
        return failure_of(copy);
    }
    return executable;
}

}  // namespace

std::filesystem::path installed_executable(const InstallPaths& paths) {
    return paths.install_dir / helper_protocol::kServiceExecutableName;
}

NativeText quoted_binary_path(const std::filesystem::path& executable) {
    const auto quote = static_cast<std::filesystem::path::value_type>('"');
    NativeText text(1, quote);
    text += executable.native();
    text += quote;
    return text;
}

std::expected<void, std::string> register_service(const InstallationChecks& checks,
                                                  const InstallPathsResolver& resolve_paths,
                                                  const RunningExecutable& running_executable,
                                                  ServiceRegistrar& manager) {
    const auto executable = protected_executable(checks, resolve_paths, running_executable);
    if (!executable) {
        return failure_of(executable);
    }
    ServiceSettings settings;
    settings.binary_path = quoted_binary_path(*executable);
    if (auto opened = manager.open_manager(); !opened) {
        return fail(kNeedsConsent, opened.error());
    }
    const auto service = manager.open_service();
    if (!service && service.error() == kErrorServiceDoesNotExist) {
        settings.display_name = std::string(helper_protocol::kServiceDisplayName);
        if (auto created = manager.create_service(settings); !created) {
            return fail(kCannotCreate, created.error());
        }
        return {};
    }
    if (!service) {
        return fail(kCannotOpen, std::to_string(service.error()));
    }
    settings.account = std::string(kLocalSystemAccount);
    if (auto changed = manager.change_service(settings); !changed) {
        return fail(kCannotConfigure, changed.error());
    }
    return {};
}

std::expected<void, std::string> check_installed_service_path(
    std::string_view configured, const InstallPathsResolver& resolve_paths) {
    const auto paths = resolve_paths();
    if (!paths) {
        return failure_of(paths);
    }
    return check_exact_service_path(configured, installed_executable(*paths));
}

}  // namespace vemla::service
