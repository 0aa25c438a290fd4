#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

// What the pipe client asks of the operating system, one call per Win32 call, so that every
// decision around those calls is plain C++. The Windows library puts handle owners behind these
// interfaces; the native tests put scripted fakes.
namespace vemla::helper_client {

// The outcome of one read on the client's end of the pipe.
struct PipeRead {
    enum class Kind { data, nothing, failed };
    Kind kind = Kind::nothing;
    std::size_t size = 0;  // bytes read, for `data`
    std::string error;     // the operating system's text, for `failed`
};

// The client's end of the pipe. Destroying it closes the handle.
class PipeEnd {
public:
    virtual ~PipeEnd() = default;
    // The process id of the process that serves the pipe; failure: the operating system's text.
    virtual std::expected<std::uint32_t, std::string> server_pid() = 0;
    // Byte reads, and reads and writes that return at once.
    virtual std::expected<void, std::string> make_nonblocking() = 0;
    // One write of at most `bytes`; how many it wrote (perhaps none), or the operating system's
    // text.
    virtual std::expected<std::size_t, std::string> write(std::string_view bytes) = 0;
    // One read into `buffer`; no data yet is `nothing`, not a failure.
    virtual PipeRead read(std::span<char> buffer) = 0;
};

// Why the pipe could not be opened: every instance busy with another client, or anything else.
enum class OpenFailure { busy, other };

// One conversation with the service control manager about the helper service. Each failure is
// the operating system's text. Destroying it closes every handle it opened.
class ServiceControl {
public:
    virtual ~ServiceControl() = default;
    // The local manager, for connecting only.
    virtual std::expected<void, std::string> connect() = 0;
    // The helper service, for querying its configuration and status.
    virtual std::expected<void, std::string> open_service() = 0;
    // The process id the service runs in; 0 while it is not running.
    virtual std::expected<std::uint32_t, std::string> process_id() = 0;
    // The bytes the configuration needs, as a query without a buffer reports them (0 when it
    // reports none).
    virtual std::uint32_t configuration_size() = 0;
    // Queries the configuration into `buffer` and returns the address its binary path pointer
    // holds, unchecked.
    virtual std::expected<std::uintptr_t, std::string> read_configuration(
        std::span<std::uint64_t> buffer) = 0;
};

class ClientSystem {
public:
    virtual ~ClientSystem() = default;
    // Opens the helper's pipe for reading and writing, identification only.
    virtual std::expected<std::unique_ptr<PipeEnd>, OpenFailure> open_pipe() = 0;
    // A new conversation; nothing is opened until it is asked to.
    virtual std::unique_ptr<ServiceControl> service_control() = 0;
};

}  // namespace vemla::helper_client
