#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vemla::tun_recovery {

// What one look at the query process found.
struct QueryPoll {
    enum class State { running, exited, failed };
    State state = State::running;
    std::uint32_t exit_code = 0;  // set when exited
};

// The PowerShell process of one query, with the thread that drains its standard output so that
// it never blocks on a full pipe.
class QueryProcess {
public:
    virtual ~QueryProcess() = default;
    // Does not block.
    virtual QueryPoll poll() = 0;
    // Ends the process and everything it started.
    virtual void kill() = 0;
    // Waits without limit for the process to end.
    virtual void wait() = 0;
    // Ends whatever the process started that still holds its output, joins the reader and
    // returns what it read (at least the first kMaxInventoryBytes + 1 bytes of a longer output),
    // or nothing when reading failed.
    virtual std::optional<std::string> finish() = 0;
};

// What a recovery needs of the operating system.
class RecoverySystem {
public:
    virtual ~RecoverySystem() = default;
    // The value of the SystemRoot environment variable; none when it is not set.
    virtual std::optional<std::filesystem::path> system_root() = 0;
    // Starts the program without a window, with exactly these arguments, standard output
    // captured and standard input and error on the null device, and starts the reader. The
    // failure is the operating system's text.
    virtual std::expected<std::unique_ptr<QueryProcess>, std::string> start_query(
        const std::filesystem::path& program, const std::vector<std::string>& arguments) = 0;
    // 32 bits from the system's random generator, or the operating system's text when it gives
    // none.
    virtual std::expected<std::uint32_t, std::string> random32() = 0;
};

}  // namespace vemla::tun_recovery
