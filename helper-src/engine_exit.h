#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vemla::service {

inline constexpr std::size_t kEngineLogTailBytes = 4096;
inline constexpr std::size_t kEngineLogLineCharacters = 1000;

// The message for the user when the engine has ended: the code, then the last non-blank line of
// the log tail.
std::string engine_exit_message_from_log(std::string_view log_tail,
                                         std::optional<std::uint32_t> exit_code);

// Reads the tail of `engine.log` in the data directory.
std::string engine_exit_message(const std::filesystem::path& data_dir,
                                std::optional<std::uint32_t> exit_code);

}  // namespace vemla::service
