#include "helper_client/server_identity.h"
#include "json/result.h"

#include <cstring>
#include <optional>
#include <vector>

namespace vemla::helper_client {
namespace {

constexpr std::string_view kServerPidFailed = "Pipe server PID: ";
constexpr std::string_view kManagerFailed = "SCM connect: ";
constexpr std::string_view kServiceOpenFailed = "Helper service query configuration/status: ";
constexpr std::string_view kStatusFailed = "Helper SCM status: ";
constexpr std::string_view kServerMismatch =
    "Pipe server does not match the running installed service";
constexpr std::string_view kBadConfigurationLength = "Invalid helper service configuration length";
constexpr std::string_view kConfigurationFailed = "Helper SCM configuration: ";
constexpr std::string_view kBadPathPointer = "Invalid helper service executable path";
constexpr std::string_view kUnterminatedPath = "Unterminated service executable path";
constexpr std::string_view kInvalidUtf16 = "Invalid UTF-16 service path";
// Not a situation the service can cause: a caller that forgot to say how to judge the path.
constexpr std::string_view kNoPathCheck = "No check of the helper service executable was given";

std::unexpected<std::string> fail(std::string_view message) {
    return std::unexpected(std::string(message));
}

std::unexpected<std::string> fail(std::string_view prefix, const std::string& text) {
    return std::unexpected(std::string(prefix) + text);
}

void append_utf8(std::string& out, char32_t c) {
    const auto byte = [&out](char32_t value) { out.push_back(static_cast<char>(value)); };
    if (c < 0x80) {
        byte(c);
    } else if (c < 0x800) {
        byte(0xC0 | (c >> 6));
        byte(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        byte(0xE0 | (c >> 12));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    } else {
        byte(0xF0 | (c >> 18));
        byte(0x80 | ((c >> 12) & 0x3F));
        byte(0x80 | ((c >> 6) & 0x3F));
        byte(0x80 | (c & 0x3F));
    }
}

bool is_high_surrogate(char16_t unit) {
    return unit >= 0xD800 && unit <= 0xDBFF;
}

bool is_low_surrogate(char16_t unit) {
    return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Strict: an unpaired surrogate is no text at all.
std::optional<std::string> utf16_to_utf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char16_t unit = units[i];
        if (is_high_surrogate(unit) && i + 1 < units.size() && is_low_surrogate(units[i + 1])) {
            const char16_t low = units[++i];
            append_utf8(out,
                        0x10000 + ((char32_t{unit} - 0xD800) << 10) + (char32_t{low} - 0xDC00));
        } else if (is_high_surrogate(unit) || is_low_surrogate(unit)) {
            return std::nullopt;
        } else {
            append_utf8(out, unit);
        }
    }
    return out;
}

std::expected<std::string, std::string> configured_binary_path(ServiceControl& service) {
    const auto size = configuration_buffer_size(service.configuration_size());
    if (!size) {
        return failure_of(size);
    }
    std::vector<std::uint64_t> buffer(*size / sizeof(std::uint64_t));
    const auto address = service.read_configuration(buffer);
    if (!address) {
        return fail(kConfigurationFailed, address.error());
    }
    return read_binary_path(std::as_bytes(std::span(buffer)), *address);
}

// The manager's side of the proof, with its handles open only here.
std::expected<std::string, std::string> service_binary_path(ClientSystem& system,
                                                            std::uint32_t server_pid) {
    const auto service = system.service_control();
    if (auto connected = service->connect(); !connected) {
        return fail(kManagerFailed, connected.error());
    }
    if (auto opened = service->open_service(); !opened) {
        return fail(kServiceOpenFailed, opened.error());
    }
    const auto running = service->process_id();
    if (!running) {
        return fail(kStatusFailed, running.error());
    }
    // A stopped service runs in process 0, which never serves a pipe.
    if (*running != server_pid) {
        return fail(kServerMismatch);
    }
    return configured_binary_path(*service);
}

}  // namespace

std::expected<std::size_t, std::string> configuration_buffer_size(std::uint32_t needed) {
    if (needed < kMinConfigurationBytes || needed > kMaxConfigurationBytes) {
        return fail(kBadConfigurationLength);
    }
    return (std::size_t{needed} + 7) / 8 * 8;
}

std::expected<std::string, std::string> read_binary_path(std::span<const std::byte> buffer,
                                                         std::uintptr_t path_address) {
    const auto begin = reinterpret_cast<std::uintptr_t>(buffer.data());
    if (path_address == 0 || path_address < begin || path_address - begin >= buffer.size() ||
        path_address % alignof(char16_t) != 0) {
        return fail(kBadPathPointer);
    }
    const std::size_t offset = path_address - begin;
    const std::size_t room = (buffer.size() - offset) / sizeof(char16_t);
    std::u16string units;
    for (std::size_t i = 0; i < room; ++i) {
        char16_t unit = 0;
        std::memcpy(&unit, buffer.data() + offset + i * sizeof(char16_t), sizeof unit);
        if (unit == 0) {
            auto text = utf16_to_utf8(units);
            if (!text) {
                return fail(kInvalidUtf16);
            }
            return std::move(*text);
        }
        units.push_back(unit);
    }
    return fail(kUnterminatedPath);
}

std::expected<void, std::string> verify_server(PipeEnd& pipe, ClientSystem& system,
                                               const ServicePathCheck& check) {
    const auto server_pid = pipe.server_pid();
    if (!server_pid) {
        return fail(kServerPidFailed, server_pid.error());
    }
    const auto configured = service_binary_path(system, *server_pid);
    if (!configured) {
        return failure_of(configured);
    }
    if (!check) {
        return fail(kNoPathCheck);
    }
    return check(*configured);
}

}  // namespace vemla::helper_client
