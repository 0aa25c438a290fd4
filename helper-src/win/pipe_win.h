#pragma once

#include <windows.h>

#include <expected>
#include <filesystem>
#include <string>

#include "platform.h"
#include "win32/unique_object.h"

namespace vemla::service::win {

using ::vemla::win::UniqueHandle;
using ::vemla::win::UniqueLocal;

// The owner SID from `owner.sid` in the data directory.
std::expected<std::string, std::string> read_owner_sid(const std::filesystem::path& data_dir);

// The service's pipe, open to the local system account and the owner only.
std::expected<UniqueHandle, std::string> create_pipe(const std::string& owner_sid);

// The SID of the token's user, as text.
std::expected<std::string, std::string> token_user_sid_text(HANDLE token);

// The server end of the pipe as the serving loop sees it. Does not own the pipe handle.
class Win32Pipe final : public Pipe {
public:
    explicit Win32Pipe(HANDLE pipe) : pipe_(pipe) {}

    ConnectState connect() override;
    void disconnect() override;
    std::expected<std::size_t, PipeError> read(std::span<char> buffer) override;
    void write(std::string_view bytes) override;
    std::expected<std::string, std::string> caller_sid() override;
    std::expected<std::uint32_t, std::string> client_pid() override;
    std::expected<std::unique_ptr<Process>, std::string> open_process(std::uint32_t pid) override;

private:
    HANDLE pipe_;
};

}  // namespace vemla::service::win
