#pragma once

#include <windows.h>

#include "platform.h"
#include "win32/unique_object.h"

namespace vemla::service::win {

using ::vemla::win::UniqueHandle;

// A process held by its handle and, for a process the service created, its primary thread.
class Win32Process final : public Process {
public:
    Win32Process(UniqueHandle process, UniqueHandle thread, DWORD pid)
        : process_(std::move(process)), thread_(std::move(thread)), pid_(pid) {}

    std::uint32_t pid() const override { return pid_; }
    bool has_ended() override;
    std::expected<std::optional<std::uint32_t>, std::string> exit_code() override;
    std::expected<void, std::string> terminate(std::uint32_t code) override;
    std::expected<bool, std::string> wait(std::optional<std::chrono::milliseconds> limit) override;
    std::expected<std::string, std::string> user_sid() override;
    std::expected<std::uint64_t, std::string> creation_time() override;

    HANDLE handle() const { return process_.get(); }

private:
    UniqueHandle process_;
    UniqueHandle thread_;
    DWORD pid_;
};

// A kill-on-close job object.
class Win32Job final : public Job {
public:
    explicit Win32Job(UniqueHandle job) : job_(std::move(job)) {}
    HANDLE handle() const { return job_.get(); }

private:
    UniqueHandle job_;
};

// Opens a process by id with the given access; the failure is the operating system's error text.
std::expected<std::unique_ptr<Win32Process>, std::string> open_process(DWORD pid, DWORD access);

// The SID of the token's user, as text.
std::expected<std::string, std::string> token_user_sid_text(HANDLE token);

// The SID, as text, of the account this process runs as.
std::expected<std::string, std::string> process_user_sid();

}  // namespace vemla::service::win
