#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace vemla::win {

// Fills the buffer from the system's generator: ProcessPrng where the system exports it, else
// BCryptGenRandom with the system-preferred generator. When neither gives bits the failure is
// the operating system's text; nothing weaker ever stands in for them.
std::expected<void, std::string> fill_system_random(std::span<std::uint8_t> buffer);

}  // namespace vemla::win
