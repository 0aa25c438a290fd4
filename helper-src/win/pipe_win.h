#pragma once

#include <windows.h>

#include <expected>
#include <filesystem>
#include <string>

#include "platform.h"
#include "win32/unique_object.h"

namespace vemla::service::win {

using ::vemla::win::UniqueHandle;

// The owner SID from `owner.sid` in the data directory.
std::expected<std::string, std::string> read_owner_sid(const std::filesystem::path& data_dir);

// The service's pipe, open to the local system account and the owner only. The SID must have
// the shape of an installation owner's, since it is written into the pipe's security descriptor.
std::expected<UniqueHandle, std::string> create_pipe(const std::string& owner_sid);

// The server end of the pipe as the serving loop sees it. Does not own the pipe handle.
class Win32Pipe final : public Pipe {
public:
    explicit Win32Pipe(HANDLE pipe) : pipe_(pipe) {}

    ConnectState connect() override;
    void disconnect() override;
    PipeRead read(std::span<char> buffer) override;
    void write(std::string_view bytes) override;
    std::expected<std::string, std::string> caller_sid() override;
    std::expected<std::uint32_t, std::string> client_pid() override;

private:
    HANDLE pipe_;
};

}  // namespace vemla::service::win
