#pragma once
// TEMPORARY placeholder until the installation checks land.
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
namespace vemla::service {
inline constexpr std::uint32_t kFullWriteMask = 0x500D0156;
inline constexpr std::uint32_t kAncestorWriteMask = 0x500D0040;
class InstallationChecks {
public:
    virtual ~InstallationChecks() = default;
    virtual std::expected<void, std::string> check_protected_path(const std::filesystem::path& path,
                                                                  std::uint32_t mask) const = 0;
};
}  // namespace vemla::service
