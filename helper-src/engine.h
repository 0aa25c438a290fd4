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
#include "text.h"

// Launching the engine, deciding when it is ready, and nothing else: what follows is the
// connection lifecycle's.
namespace vemla::service {

inline constexpr std::chrono::seconds kReadinessDeadline{10};
inline constexpr std::chrono::milliseconds kProbePause{25};
inline constexpr std::chrono::milliseconds kProbeConnectLimit{50};

// The size of each read of the engine's log while the probe catches up with it.
inline constexpr std::size_t kLogReadChunkBytes = 1 << 20;

struct EngineFiles {
    std::filesystem::path install_dir;
    std::filesystem::path data_dir;
    std::string owner_sid;  // the installation owner, who may read the engine's files
};

// The descriptor active.json and engine.log are created with: LocalSystem and the administrators
// may do anything, the installation owner may read, and nothing is inherited from the data
// directory, whose inheritable entries would otherwise hand the API secret and the proxy
// credentials to whoever they name, or let them rewrite the engine's configuration.
std::expected<std::string, std::string> engine_file_descriptor(std::string_view owner_sid);

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

// Whether the engine's log, fed as it grows, holds its start line: the whole log valid UTF-8 and
// some line (the last one may lack its feed) holding the core's banner and ending in " started".
// Lines end at line feeds, a carriage return before one dropped. Only the last few bytes of the
// line being fed are kept, so a log of any size costs time linear in its size and no memory.
class StartLineScanner {
public:
    void feed(std::string_view appended);
    bool started() const;

private:
    void feed_line_part(std::string_view part);
    void end_line();
    bool line_is_start(bool ended) const;

    bool found_ = false;    // a complete line was the start line
    bool broken_ = false;   // a complete line was not valid UTF-8
    Utf8Stream line_utf8_;  // the line being fed
    bool line_marked_ = false;
    bool line_empty_ = true;
    std::string line_end_;  // its last bytes, enough to hold the banner and the end
};

// Whether a whole log holds the start line.
bool has_start_line(std::string_view log);

}  // namespace vemla::service
