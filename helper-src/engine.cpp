#include "engine.h"

#include <algorithm>
#include <array>
#include <utility>

#include "helper_protocol/constants.h"
#include "install_checks.h"
#include "json/result.h"
#include "pipe_server.h"
#include "text.h"

namespace vemla::service {
namespace {

namespace facts = helper_protocol;

constexpr std::string_view kStartMarker = "[Warning] core: Xray ";
constexpr std::string_view kStartEnd = " started";
// Enough of a line's end to find the banner split between two reads and to see how it ends.
constexpr std::size_t kKeptLineEnd = kStartMarker.size() - 1;
static_assert(kKeptLineEnd > kStartEnd.size());

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

// Opened without following a link at its name, and judged on the handle that is then written.
std::expected<std::unique_ptr<OpenFile>, std::string> open_engine_file(
    ServiceContext& context, const std::filesystem::path& path, const std::string& descriptor,
    Sharing sharing) {
    auto file = context.system.open_own_file(path, descriptor, sharing);
    if (!file) {
        return failure_of(file);
    }
    if (const auto& found = (*file)->found()) {
        if (auto trusted = context.checks.check_found_file(path, *found, kFullWriteMask);
            !trusted) {
            return failure_of(trusted);
        }
        // A file left by an earlier version may let others read it.
        if (auto applied = (*file)->apply_descriptor(); !applied) {
            return failure_of(applied);
        }
    }
    return std::move(*file);
}

std::expected<void, std::string> write_active_config(ServiceContext& context,
                                                     const std::filesystem::path& path,
                                                     const std::string& descriptor,
                                                     const Json& document) {
    auto file = open_engine_file(context, path, descriptor, Sharing::exclusive);
    if (!file) {
        return failure_of(file);
    }
    return (*file)->replace_contents(to_compact_json(document));
}

std::expected<std::unique_ptr<OpenFile>, std::string> create_log(ServiceContext& context,
                                                                 const std::filesystem::path& path,
                                                                 const std::string& descriptor) {
    auto log = open_engine_file(context, path, descriptor, Sharing::shared);
    if (!log) {
        return failure_of(log);
    }
    if (auto emptied = (*log)->replace_contents({}); !emptied) {
        return failure_of(emptied);
    }
    return std::move(*log);
}

// Feeds the scanner what the engine appended to its log since the last pass. A log that cannot
// be read now is tried again on the next pass.
void read_appended(System& system, const std::filesystem::path& log, std::uint64_t& offset,
                   StartLineScanner& scanner) {
    for (;;) {
        const auto bytes = system.read_file_from(log, offset, kLogReadChunkBytes);
        if (!bytes) {
            return;
        }
        scanner.feed(*bytes);
        offset += bytes->size();
        if (bytes->size() < kLogReadChunkBytes) {
            return;
        }
    }
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
    const auto descriptor = engine_file_descriptor(files.owner_sid);
    if (!descriptor) {
        return failure_of(descriptor);
    }
    const auto active = in_dir(files.data_dir, facts::kActiveConfigFileName);
    if (auto written = write_active_config(context, active, *descriptor, document); !written) {
        return failure_of(written);
    }
    if (auto trusted = check_engine_files(context, files.install_dir); !trusted) {
        return failure_of(trusted);
    }
    auto log = create_log(context, in_dir(files.data_dir, facts::kEngineLogFileName), *descriptor);
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

std::expected<std::string, std::string> engine_file_descriptor(std::string_view owner_sid) {
    // The SID is spliced into the descriptor's text, so nothing but a SID may reach it.
    if (!is_owner_sid_text(owner_sid)) {
        return std::unexpected(std::string(kInvalidOwnerSid));
    }
    return "O:SYG:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;" + std::string(owner_sid) + ")";
}

void StartLineScanner::feed(std::string_view appended) {
    for (;;) {
        const std::size_t feed_at = appended.find('\n');
        if (feed_at == std::string_view::npos) {
            feed_line_part(appended);
            return;
        }
        feed_line_part(appended.substr(0, feed_at));
        end_line();
        appended.remove_prefix(feed_at + 1);
    }
}

void StartLineScanner::feed_line_part(std::string_view part) {
    if (part.empty()) {
        return;
    }
    line_utf8_.feed(part);
    if (!line_marked_) {
        // The banner may begin in the kept end of the line and finish in this part.
        std::array<char, 2 * kKeptLineEnd> straddling{};
        const std::string_view head = part.substr(0, std::min(part.size(), kKeptLineEnd));
        std::ranges::copy(head, std::ranges::copy(line_end_, straddling.begin()).out);
        const std::string_view joined(straddling.data(), line_end_.size() + head.size());
        line_marked_ = joined.find(kStartMarker) != std::string_view::npos ||
                       part.find(kStartMarker) != std::string_view::npos;
    }
    line_end_.append(part.substr(part.size() - std::min(part.size(), kKeptLineEnd)));
    line_end_.erase(0, line_end_.size() - std::min(line_end_.size(), kKeptLineEnd));
}

bool StartLineScanner::line_is_start(bool ended) const {
    std::string_view end = line_end_;
    if (ended && end.ends_with('\r')) {
        end.remove_suffix(1);
    }
    return line_marked_ && end.ends_with(kStartEnd);
}

void StartLineScanner::end_line() {
    if (!line_utf8_.is_valid()) {
        broken_ = true;
    } else if (line_is_start(true)) {
        found_ = true;
    }
    line_utf8_.reset();
    line_marked_ = false;
    line_end_.clear();
}

bool StartLineScanner::started() const {
    // Until the line being written ends at a character boundary the log is not valid UTF-8.
    if (broken_ || !line_utf8_.is_valid()) {
        return false;
    }
    return found_ || line_is_start(false);
}

bool has_start_line(std::string_view log) {
    StartLineScanner scanner;
    scanner.feed(log);
    return scanner.started();
}

ProbeResult probe_ready(ServiceContext& context, Process& engine, std::uint16_t port,
                        const std::filesystem::path& data_dir) {
    using Kind = ProbeResult::Kind;
    const auto deadline = context.clock.now() + kReadinessDeadline;
    const auto log_path = in_dir(data_dir, facts::kEngineLogFileName);
    StartLineScanner scanner;
    std::uint64_t log_read = 0;
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
        // Only what the engine appended since the last pass is read.
        read_appended(context.system, log_path, log_read, scanner);
        if (scanner.started()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
            if (context.system.connect_loopback(port, std::min(kProbeConnectLimit, left))) {
                return {Kind::ready, 0, {}};
            }
        }
        context.clock.pause(kProbePause);
    }
}

}  // namespace vemla::service
