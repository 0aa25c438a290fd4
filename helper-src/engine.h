#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <string_view>

#include "json/json_text.h"
#include "platform.h"
#include "service_context.h"

// Launching the engine, deciding when it is ready, and nothing else: what follows is the
// connection lifecycle's.
namespace vemla::service {

inline constexpr std::chrono::seconds kReadinessDeadline{10};
inline constexpr std::chrono::milliseconds kProbePause{25};
inline constexpr std::chrono::milliseconds kProbeConnectLimit{50};

struct EngineFiles {
    std::filesystem::path install_dir;
    std::filesystem::path data_dir;
};

// Writes the document to active.json and starts the engine on it, running, in its job.
std::expected<LaunchedEngine, std::string> start_engine(ServiceContext& context,
                                                        const EngineFiles& files,
                                                        const Json& document);

struct ProbeResult {
    enum class Kind { ready, exited, timed_out, failed };
    Kind kind = Kind::timed_out;
    std::uint32_t exit_code = 0;  // for `exited`
    std::string error;            // for `failed`
};

// Waits until the engine has logged its start and its API port accepts a connection, it exits,
// or the deadline passes.
ProbeResult probe_ready(ServiceContext& context, Process& engine, std::uint16_t port,
                        const std::filesystem::path& data_dir);

// Whether the engine's log holds its start line. Lines end at line feeds, a carriage return
// before one dropped.
bool has_start_line(std::string_view log);

}  // namespace vemla::service
