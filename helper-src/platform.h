#pragma once

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

#include "platform/clock.h"

// What the service logic needs of the operating system, as interfaces. The Windows build puts
// handle owners behind them; the native tests put scripted fakes behind them.
namespace vemla::service {

// An object the service holds only to close it (a job object: closing it ends what runs in it).
class OwnedObject {
public:
    virtual ~OwnedObject() = default;
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
    // Waits without limit for the process to end.
    virtual std::expected<void, std::string> wait() = 0;
};

// Windows error codes the pipe logic tells apart.
inline constexpr std::uint32_t kErrorBrokenPipe = 109;
inline constexpr std::uint32_t kErrorNoData = 232;

enum class ConnectState {
    waiting,      // no client
    connected,    // a client is connected
    client_gone,  // a client connected and closed its end before being served
};

struct PipeError {
    std::uint32_t code = 0;
    std::string text;  // the operating system's error text for the code
};

// The server end of the one pipe instance, non-blocking.
class Pipe {
public:
    virtual ~Pipe() = default;
    virtual ConnectState connect() = 0;
    virtual void disconnect() = 0;
    // Bytes read (possibly none), or the failure of the read.
    virtual std::expected<std::size_t, PipeError> read(std::span<char> buffer) = 0;
    // One write; whether it reached the client is not reported.
    virtual void write(std::string_view bytes) = 0;
    // The user SID, as text, of the token of the connected client.
    virtual std::expected<std::string, std::string> caller_sid() = 0;
    virtual std::expected<std::uint32_t, std::string> client_pid() = 0;
    // Opens a process with synchronise access.
    virtual std::expected<std::unique_ptr<Process>, std::string> open_process(
        std::uint32_t pid) = 0;
};

using platform::Clock;

// At most `limit` bytes from the end of a file; empty when the file cannot be opened. Bytes read
// before a read failure are kept; when the length is unknown the read starts at the beginning.
std::string read_file_tail(const std::filesystem::path& file, std::size_t limit);

}  // namespace vemla::service
