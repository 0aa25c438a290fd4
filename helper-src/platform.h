#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "install_checks.h"
#include "platform/clock.h"

// What the service logic needs of the operating system, as interfaces that speak in outcomes.
// The Windows build puts handle owners behind them; the native tests put scripted fakes.
namespace vemla::service {

using platform::Clock;

// Set once, by the service control handler (or a test); read by every polling loop.
class StopFlag {
public:
    void set() { set_.store(true, std::memory_order_seq_cst); }
    bool is_set() const { return set_.load(std::memory_order_seq_cst); }

private:
    std::atomic<bool> set_{false};
};

// A process held by its handle(s); destroying the object closes every handle it holds.
class Process {
public:
    virtual ~Process() = default;
    virtual std::uint32_t pid() const = 0;
    // A wait with zero time-out is signalled.
    virtual bool has_ended() = 0;
    // The exit code once the process has exited, none while it runs; or the failure text.
    virtual std::expected<std::optional<std::uint32_t>, std::string> exit_code() = 0;
    virtual std::expected<void, std::string> terminate(std::uint32_t code) = 0;
    // Waits up to `limit` (none: without limit); true when the process has ended.
    virtual std::expected<bool, std::string> wait(
        std::optional<std::chrono::milliseconds> limit = std::nullopt) = 0;
    // The SID, as text, of the user of the process's token (needs query access).
    virtual std::expected<std::string, std::string> user_sid() = 0;
    // When the process was created, in the system's 100 ns ticks (needs query access).
    virtual std::expected<std::uint64_t, std::string> creation_time() = 0;
};

// A kill-on-close job: destroying the object ends every process in it.
class Job {
public:
    virtual ~Job() = default;
};

// What the service learns of another process when it may query it.
struct ProcessLineage {
    std::optional<std::uint32_t> parent_pid;  // none when the basic information is unreadable
    std::optional<std::uint64_t> created;     // none when the process times are unreadable
};

// A file of the service's own in the data directory, held open. Opening it never follows a link
// at its name: a link found there is opened as itself, so that what is judged and then written
// is the file behind this handle.
class OpenFile {
public:
    virtual ~OpenFile() = default;
    // What was found at the name; none when the open created the file, with the descriptor the
    // open was given.
    virtual const std::optional<FoundFile>& found() const = 0;
    // Gives a file that was found the descriptor the open was given, in place of its own.
    virtual std::expected<void, std::string> apply_descriptor() = 0;
    // Empties the file and writes `bytes` from its start.
    virtual std::expected<void, std::string> replace_contents(std::string_view bytes) = 0;
};

// Whether others may open a file while the service holds it.
enum class Sharing {
    exclusive,
    shared,  // for reading, writing and deleting
};

// The engine's command, exactly as it is to run.
struct EngineCommand {
    std::filesystem::path program;
    std::vector<std::string> arguments;
    std::filesystem::path working_directory;
    std::vector<std::string> environment;  // "NAME=value"; nothing else is inherited
};

struct LaunchedEngine {
    std::unique_ptr<Process> process;  // with its primary thread
    std::unique_ptr<Job> job;
};

struct EngineLaunchFailure {
    bool resume_failed = false;  // the process existed and was ended before the failure returned
    std::string text;            // the operating system's error text otherwise
};

// Everything else the service asks of the system, beyond the pipe.
class System {
public:
    virtual ~System() = default;

    // Processes.
    virtual std::expected<std::unique_ptr<Process>, std::string> open_for_monitoring(
        std::uint32_t pid) = 0;
    // None when the process cannot be opened for query.
    virtual std::optional<ProcessLineage> inspect_process(std::uint32_t pid) = 0;
    // Synchronise and limited query access: enough to watch it and read its token's user.
    virtual std::expected<std::unique_ptr<Process>, std::string> open_owner(std::uint32_t pid) = 0;

    // Files.
    // At most `limit` + 1 bytes, so that a caller sees an oversized file without reading it all.
    virtual std::expected<std::string, std::string> read_file(const std::filesystem::path& path,
                                                              std::size_t limit) = 0;
    // At most `limit` bytes from `offset` on; fewer only at the end of the file.
    virtual std::expected<std::string, std::string> read_file_from(
        const std::filesystem::path& path, std::uint64_t offset, std::size_t limit) = 0;
    // Opens the file at `path` for writing, or creates it with `descriptor` (SDDL: owner and a
    // DACL that inherits nothing), its contents left as they are.
    virtual std::expected<std::unique_ptr<OpenFile>, std::string> open_own_file(
        const std::filesystem::path& path, const std::string& descriptor, Sharing sharing) = 0;

    // The engine: created suspended without a window, its standard output and error the log,
    // in a new kill-on-close job, then resumed as a whole.
    virtual std::expected<LaunchedEngine, EngineLaunchFailure> launch_engine(
        const EngineCommand& command, OpenFile& log) = 0;

    // The service's own environment variable, none when unset.
    virtual std::optional<std::string> environment(std::string_view name) = 0;

    // One TCP connection to 127.0.0.1 at `port`, closed at once; true when it was accepted
    // within `limit`.
    virtual bool connect_loopback(std::uint16_t port, std::chrono::milliseconds limit) = 0;
};

enum class ConnectState {
    waiting,      // no client
    connected,    // a client is connected
    client_gone,  // a client connected and closed its end before being served
};

// The outcome of one read on the pipe.
struct PipeRead {
    enum class Kind { data, nothing_yet, closed, failed };
    Kind kind = Kind::nothing_yet;
    std::size_t size = 0;  // bytes read, for `data`
    std::string error;     // the operating system's error text, for `failed`
};

// The server end of the one pipe instance, non-blocking. Transport only.
class Pipe {
public:
    virtual ~Pipe() = default;
    virtual ConnectState connect() = 0;
    virtual void disconnect() = 0;
    virtual PipeRead read(std::span<char> buffer) = 0;
    // One write; whether it reached the client is not reported.
    virtual void write(std::string_view bytes) = 0;
    // The user SID, as text, of the token of the connected client.
    virtual std::expected<std::string, std::string> caller_sid() = 0;
    virtual std::expected<std::uint32_t, std::string> client_pid() = 0;
};

// At most `limit` bytes from the end of a file; empty when the file cannot be opened. Bytes read
// before a read failure are kept; when the length is unknown the read starts at the beginning.
std::string read_file_tail(const std::filesystem::path& file, std::size_t limit);

}  // namespace vemla::service
