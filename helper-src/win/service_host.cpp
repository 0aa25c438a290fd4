#include "win/service_host.h"

#include <windows.h>

#include "json/result.h"
#include "win/path_security.h"
#include "win/pipe_win.h"
#include "win/registration_win.h"
#include "win32/win32_text.h"

namespace vemla::service::win {
namespace {

using ::vemla::win::last_error_text;

// The pipe and its handle: destroying it closes the pipe.
class OwnedPipe final : public Pipe {
public:
    explicit OwnedPipe(UniqueHandle handle) : handle_(std::move(handle)), pipe_(handle_.get()) {}

    ConnectState connect() override { return pipe_.connect(); }
    void disconnect() override { pipe_.disconnect(); }
    PipeRead read(std::span<char> buffer) override { return pipe_.read(buffer); }
    void write(std::string_view bytes) override { pipe_.write(bytes); }
    std::expected<std::string, std::string> caller_sid() override { return pipe_.caller_sid(); }
    std::expected<std::uint32_t, std::string> client_pid() override { return pipe_.client_pid(); }

private:
    UniqueHandle handle_;
    Win32Pipe pipe_;
};

}  // namespace

std::expected<void, std::string> restrict_dll_loading() {
    if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return std::unexpected(last_error_text());
    }
    return {};
}

std::expected<InstallPaths, std::string> Win32ServiceHost::resolve_install_paths() {
    return win::resolve_install_paths();
}

std::expected<std::filesystem::path, std::string> Win32ServiceHost::running_executable() {
    return running_executable_path();
}

std::expected<std::string, std::string> Win32ServiceHost::read_owner_sid(
    const std::filesystem::path& data_dir) {
    return win::read_owner_sid(data_dir);
}

std::expected<void, std::string> Win32ServiceHost::restrict_dll_loading() {
    return win::restrict_dll_loading();
}

std::expected<std::unique_ptr<Pipe>, std::string> Win32ServiceHost::create_pipe(
    const std::string& owner_sid) {
    auto handle = win::create_pipe(owner_sid);
    if (!handle) {
        return failure_of(handle);
    }
    return std::make_unique<OwnedPipe>(std::move(*handle));
}

}  // namespace vemla::service::win
