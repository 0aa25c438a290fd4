#pragma once

#include <windows.h>

#include "helper_client/client_system.h"
#include "win32/unique_object.h"

// The pipe client's system calls through Win32: each method is one call, its failure the
// operating system's text.
namespace vemla::helper_client::win {

using ::vemla::win::UniqueHandle;
using ::vemla::win::UniqueServiceHandle;

class Win32PipeEnd final : public PipeEnd {
public:
    explicit Win32PipeEnd(UniqueHandle pipe) : pipe_(std::move(pipe)) {}

    std::expected<std::uint32_t, std::string> server_pid() override;
    std::expected<void, std::string> make_nonblocking() override;
    std::expected<std::size_t, std::string> write(std::string_view bytes) override;
    PipeRead read(std::span<char> buffer) override;

private:
    UniqueHandle pipe_;
};

class Win32ServiceControl final : public ServiceControl {
public:
    std::expected<void, std::string> connect() override;
    std::expected<void, std::string> open_service() override;
    std::expected<std::uint32_t, std::string> process_id() override;
    std::uint32_t configuration_size() override;
    std::expected<std::uintptr_t, std::string> read_configuration(
        std::span<std::uint64_t> buffer) override;

private:
    // Declared first, so that the service's handle is closed before the manager's.
    UniqueServiceHandle manager_;
    UniqueServiceHandle service_;
};

class Win32ClientSystem final : public ClientSystem {
public:
    std::expected<std::unique_ptr<PipeEnd>, OpenFailure> open_pipe() override;
    std::unique_ptr<ServiceControl> service_control() override;
};

}  // namespace vemla::helper_client::win
