#pragma once

#include <windows.h>

#include "platform.h"
#include "win32/unique_object.h"

namespace vemla::service::win {

using ::vemla::win::UniqueHandle;
using ::vemla::win::UniqueLocal;

// A process held by its handle and, for a process the service created, its primary thread.
class Win32Process final : public Process {
public:
    Win32Process(UniqueHandle process, UniqueHandle thread, DWORD pid)
        : process_(std::move(process)), thread_(std::move(thread)), pid_(pid) {}

    std::uint32_t pid() const override { return pid_; }
    bool has_ended() override;
    std::expected<std::optional<std::uint32_t>, std::string> exit_code() override;
    std::expected<void, std::string> terminate(std::uint32_t code) override;
    std::expected<void, std::string> wait() override;

    HANDLE handle() const { return process_.get(); }

private:
    UniqueHandle process_;
    UniqueHandle thread_;
    DWORD pid_;
};

// A job object; closing it ends what runs in it when it was made kill-on-close.
class Win32Job final : public OwnedObject {
public:
    explicit Win32Job(UniqueHandle job) : job_(std::move(job)) {}
    HANDLE handle() const { return job_.get(); }

private:
    UniqueHandle job_;
};

// Opens a process by id with the given access; the failure is the operating system's error text.
std::expected<std::unique_ptr<Win32Process>, std::string> open_process(DWORD pid, DWORD access);

}  // namespace vemla::service::win
