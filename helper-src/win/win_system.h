#pragma once

#include "platform.h"

namespace vemla::service::win {

// The system as the service meets it on Windows.
class Win32System final : public System {
public:
    std::expected<std::unique_ptr<Process>, std::string> open_for_monitoring(
        std::uint32_t pid) override;
    std::optional<ProcessLineage> inspect_process(std::uint32_t pid) override;
    std::expected<std::unique_ptr<Process>, std::string> open_owner(std::uint32_t pid) override;
    std::expected<std::string, std::string> read_file(const std::filesystem::path& path,
                                                      std::size_t limit) override;
    std::expected<std::string, std::string> read_file_from(const std::filesystem::path& path,
                                                           std::uint64_t offset,
                                                           std::size_t limit) override;
    std::expected<std::unique_ptr<OpenFile>, std::string> open_own_file(
        const std::filesystem::path& path, const std::string& descriptor, Sharing sharing) override;
    std::expected<LaunchedEngine, EngineLaunchFailure> launch_engine(const EngineCommand& command,
                                                                     OpenFile& log) override;
    std::optional<std::string> environment(std::string_view name) override;
    bool connect_loopback(std::uint16_t port, std::chrono::milliseconds limit) override;
};

}  // namespace vemla::service::win
