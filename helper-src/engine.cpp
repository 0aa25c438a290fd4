#include "engine.h"

#include <algorithm>
#include <utility>

#include "helper_protocol/constants.h"
#include "install_checks.h"
#include "json/result.h"
#include "text.h"

namespace vemla::service {
namespace {

namespace facts = helper_protocol;

constexpr std::string_view kStartMarker = "[Warning] core: Xray ";
constexpr std::string_view kStartEnd = " started";

std::filesystem::path in_dir(const std::filesystem::path& dir, std::string_view name) {
    return dir / std::filesystem::path(std::u8string(name.begin(), name.end()));
}

// The engine sees only these variables.
std::vector<std::string> engine_environment(const std::string& system_root,
                                            const EngineFiles& files) {
    const std::string data = path_text(files.data_dir);
    return {"SystemRoot=" + system_root, "TEMP=" + data, "TMP=" + data,
            "XRAY_LOCATION_ASSET=" + path_text(files.install_dir)};
}

std::expected<void, std::string> write_active_config(ServiceContext& context,
                                                     const std::filesystem::path& path,
                                                     const Json& document) {
    if (context.system.exists(path)) {
        if (auto trusted = context.checks.check_protected_path(path, kFullWriteMask); !trusted) {
            return trusted;
        }
    }
    return context.system.write_file(path, to_compact_json(document));
}

std::expected<void, std::string> check_engine_files(ServiceContext& context,
                                                    const std::filesystem::path& install_dir) {
    for (const std::string_view name : {facts::kEngineExecutableName, facts::kTunDriverName}) {
        if (auto trusted =
                context.checks.check_protected_path(in_dir(install_dir, name), kFullWriteMask);
            !trusted) {
            return trusted;
        }
    }
    return {};
}

}  // namespace

std::expected<LaunchedEngine, std::string> start_engine(ServiceContext& context,
                                                        const EngineFiles& files,
                                                        const Json& document) {
    const auto active = in_dir(files.data_dir, facts::kActiveConfigFileName);
    if (auto written = write_active_config(context, active, document); !written) {
        return failure_of(written);
    }
    if (auto trusted = check_engine_files(context, files.install_dir); !trusted) {
        return failure_of(trusted);
    }
    auto log = context.system.create_log(in_dir(files.data_dir, facts::kEngineLogFileName));
    if (!log) {
        return failure_of(log);
    }
    const auto system_root = context.system.environment("SystemRoot");
    if (!system_root) {
        return std::unexpected("Missing system root");
    }
    const EngineCommand command{in_dir(files.install_dir, facts::kEngineExecutableName),
                                {"run", "-c", path_text(active)},
                                files.install_dir,
                                engine_environment(*system_root, files)};
    auto launched = context.system.launch_engine(command, **log);
    if (!launched) {
        return std::unexpected(launched.error().resume_failed ? "Cannot resume protected engine"
                                                              : std::move(launched.error().text));
    }
    return std::move(*launched);
}

bool has_start_line(std::string_view log) {
    std::size_t begin = 0;
    while (begin < log.size()) {
        std::size_t end = log.find('\n', begin);
        const bool has_feed = end != std::string_view::npos;
        if (!has_feed) {
            end = log.size();
        }
        std::string_view line = log.substr(begin, end - begin);
        if (has_feed && line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        if (line.find(kStartMarker) != std::string_view::npos && line.ends_with(kStartEnd)) {
            return true;
        }
        begin = end + 1;
    }
    return false;
}

ProbeResult probe_ready(ServiceContext& context, Process& engine, std::uint16_t port,
                        const std::filesystem::path& data_dir) {
    using Kind = ProbeResult::Kind;
    const auto deadline = context.clock.now() + kReadinessDeadline;
    const auto log_path = in_dir(data_dir, facts::kEngineLogFileName);
    for (;;) {
        const auto status = engine.exit_code();
        if (!status) {
            return {Kind::failed, 0, status.error()};
        }
        if (status->has_value()) {
            return {Kind::exited, **status, {}};
        }
        const auto now = context.clock.now();
        if (now >= deadline) {
            return {Kind::timed_out, 0, {}};
        }
        // The engine is trusted to keep its own log small; the whole of it is read each pass.
        const auto log = context.system.read_file(log_path, facts::kMaxRequestBytes);
        if (log && is_valid_utf8(*log) && has_start_line(*log)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            if (context.system.connect_loopback(port, std::min(kProbeConnectLimit, left))) {
                return {Kind::ready, 0, {}};
            }
        }
        context.clock.pause(kProbePause);
    }
}

}  // namespace vemla::service
