#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

#include "helper_client/client_system.h"

// The proof, before any byte is written, that the pipe's server is the running instance of the
// helper service and that the service is registered with the installed executable.
namespace vemla::helper_client {

// Judges the binary path (UTF-8) that the service control manager holds for the service: success
// only when it is exactly the protected installed executable. The caller supplies it, because
// where the installation lies and what counts as protected belong to the service, not to this
// module; the service passes its own installation check (check_installed_service_path).
using ServicePathCheck =
    std::function<std::expected<void, std::string>(std::string_view configured_binary_path)>;

// The service configuration the manager reports must need this many bytes.
inline constexpr std::uint32_t kMinConfigurationBytes = 64;
inline constexpr std::uint32_t kMaxConfigurationBytes = 65536;

// The buffer size for a configuration that needs `needed` bytes: rounded up to a multiple of 8,
// so that the manager may align its pointers in it. Fails outside the bounds above.
std::expected<std::size_t, std::string> configuration_buffer_size(std::uint32_t needed);

// The binary path text of a queried configuration: `path_address` (the configuration's pointer)
// must lie inside `buffer`, 2-aligned, and point to UTF-16 text ended by a NUL inside `buffer`.
// Returns that text as UTF-8.
std::expected<std::string, std::string> read_binary_path(std::span<const std::byte> buffer,
                                                         std::uintptr_t path_address);

// The whole proof: the pipe's server process is the service's process, and `check` accepts the
// service's binary path. Every handle of the service control manager is closed when it returns.
std::expected<void, std::string> verify_server(PipeEnd& pipe, ClientSystem& system,
                                               const ServicePathCheck& check);

}  // namespace vemla::helper_client
