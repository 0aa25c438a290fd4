#pragma once

#include <windows.h>

#include <expected>
#include <filesystem>
#include <string>
#include <vector>

#include "install_checks.h"

namespace vemla::service::win {

// The owner and DACL of a security descriptor as the installation checks judge them. A DACL
// entry that does not lie wholly inside its ACL ends the walk with the OS error text in
// `unreadable_ace`; a SID that does not convert keeps its OS error text in its record. Fails
// with the OS error text only when the descriptor itself, or its owner or DACL field, cannot be
// read.
std::expected<PathSecurity, std::string> security_from_descriptor(PSECURITY_DESCRIPTOR descriptor);

// The file system through the Win32 API.
class Win32PathInspector final : public PathInspector {
public:
    std::expected<bool, std::string> is_reparse_point(const std::filesystem::path& path) override;
    std::expected<PathSecurity, std::string> read_security(
        const std::filesystem::path& path) override;
    std::expected<std::vector<DirectoryEntry>, std::string> list_directory(
        const std::filesystem::path& directory) override;
};

// The install directory under the program files folder and the data directory under the common
// application data folder, both from the 64-bit registry view; or the OS error text.
std::expected<InstallPaths, std::string> resolve_install_paths();

}  // namespace vemla::service::win
