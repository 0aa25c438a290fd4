#include "tun_recovery/win/windows_recovery_system.h"

#include <windows.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cwchar>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include "json/result.h"
#include "tun_recovery/windows_networks.h"
#include "win32/launch.h"
#include "win32/system_random.h"
#include "win32/unique_object.h"
#include "win32/win32_text.h"

namespace vemla::tun_recovery {
namespace {

using win::UniqueHandle;

struct EnvironmentTraits {
    using Value = wchar_t*;
    static Value empty() { return nullptr; }
    static bool is_valid(Value value) { return value != nullptr; }
    static void close(Value value) { ::FreeEnvironmentStringsW(value); }
};
using UniqueEnvironment = win::UniqueObject<EnvironmentTraits>;

// One byte more than an inventory may have, so that a longer output is still known to be too
// long; the rest is read and dropped.
constexpr std::size_t kKeptBytes = kMaxInventoryBytes + 1;

// What the reader hands over at the join.
struct CapturedOutput {
    std::string bytes;
    bool failed = false;
};

// Reads until every holder of the write end has closed it, so that PowerShell never blocks on a
// full pipe, however much it writes.
void drain(HANDLE pipe, CapturedOutput& captured) noexcept {
    try {
        std::vector<char> buffer(65536);
        for (;;) {
            DWORD read = 0;
            if (!::ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                            nullptr)) {
                captured.failed = ::GetLastError() != ERROR_BROKEN_PIPE;
                return;
            }
            const std::size_t room = kKeptBytes - std::min(kKeptBytes, captured.bytes.size());
            captured.bytes.append(buffer.data(), std::min<std::size_t>(read, room));
        }
    } catch (...) {
        // Only allocation can throw here; the output is lost either way.
        captured.failed = true;
    }
}

class WindowsQuery final : public QueryProcess {
public:
    WindowsQuery(win::LaunchedProcess launched, UniqueHandle output)
        : launched_(std::move(launched)), output_(std::move(output)) {}
    WindowsQuery(const WindowsQuery&) = delete;
    WindowsQuery& operator=(const WindowsQuery&) = delete;
    ~WindowsQuery() override { end_reader(); }

    std::expected<void, std::string> start_reader() {
        try {
            reader_ = std::thread(drain, output_.get(), std::ref(captured_));
            return {};
        } catch (const std::exception& error) {
            // No thread could be created (std::system_error), or no memory for it.
            return std::unexpected(std::string(error.what()));
        }
    }

    QueryPoll poll() override {
        switch (::WaitForSingleObject(launched_.process.get(), 0)) {
            case WAIT_TIMEOUT:
                return {QueryPoll::State::running, 0};
            case WAIT_OBJECT_0: {
                DWORD code = 0;
                if (::GetExitCodeProcess(launched_.process.get(), &code)) {
                    return {QueryPoll::State::exited, code};
                }
                return {QueryPoll::State::failed, 0};
            }
            default:
                return {QueryPoll::State::failed, 0};
        }
    }

    void kill() override {
        ::TerminateProcess(launched_.process.get(), 1);
        launched_.job.reset();
    }

    void wait() override { ::WaitForSingleObject(launched_.process.get(), INFINITE); }

    std::optional<std::string> finish() override {
        end_reader();
        if (captured_.failed) {
            return std::nullopt;
        }
        return std::move(captured_.bytes);
    }

private:
    // Closing the kill-on-close job ends whatever PowerShell started that may still hold the
    // write end, so the reader always comes to the end of the output.
    void end_reader() {
        launched_.job.reset();
        if (reader_.joinable()) {
            reader_.join();
        }
        output_.reset();
    }

    win::LaunchedProcess launched_;
    UniqueHandle output_;  // the read end; the reader uses it until the join
    std::thread reader_;
    CapturedOutput captured_;  // written by the reader only, read after the join
};

// PowerShell is a part of Windows and needs the system's environment, as a child that inherited
// the service's would have; the launcher passes on only what it is given.
std::vector<std::string> own_environment() {
    const UniqueEnvironment block(::GetEnvironmentStringsW());
    std::vector<std::string> entries;
    for (const wchar_t* entry = block.get(); entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
        entries.push_back(win::to_utf8(entry));
    }
    return entries;
}

UniqueHandle open_null_device() {
    return UniqueHandle(::CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
}

class WindowsRecoverySystem final : public RecoverySystem {
public:
    std::optional<std::filesystem::path> system_root() override {
        std::wstring value(MAX_PATH, L'\0');
        for (;;) {
            ::SetLastError(ERROR_SUCCESS);
            const DWORD length = ::GetEnvironmentVariableW(L"SystemRoot", value.data(),
                                                           static_cast<DWORD>(value.size()));
            if (length == 0 && ::GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            if (length < value.size()) {
                value.resize(length);
                return std::filesystem::path(value);
            }
            value.resize(length);  // the size it needs, terminator included
        }
    }

    std::expected<std::unique_ptr<QueryProcess>, std::string> start_query(
        const std::filesystem::path& program, const std::vector<std::string>& arguments) override;

    std::expected<std::uint32_t, std::string> random32() override {
        std::array<std::uint8_t, sizeof(std::uint32_t)> bytes{};
        if (auto filled = win::fill_system_random(bytes); !filled) {
            return failure_of(filled);
        }
        return std::bit_cast<std::uint32_t>(bytes);
    }
};

std::expected<std::unique_ptr<QueryProcess>, std::string> WindowsRecoverySystem::start_query(
    const std::filesystem::path& program, const std::vector<std::string>& arguments) {
    const UniqueHandle null_device = open_null_device();
    if (!null_device) {
        return std::unexpected(win::last_error_text());
    }
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!::CreatePipe(&read_end, &write_end, nullptr, 0)) {
        return std::unexpected(win::last_error_text());
    }
    UniqueHandle output(read_end);
    // Closed once PowerShell has its copy, so that the output ends when PowerShell and what it
    // started are gone.
    UniqueHandle child_output(write_end);
    const win::LaunchSpec spec{.program = program,
                               .arguments = arguments,
                               .working_directory = {},
                               .environment = own_environment(),
                               .standard_input = null_device.get(),
                               .standard_output = child_output.get(),
                               .standard_error = null_device.get()};
    auto launched = win::launch_in_job(spec);
    if (!launched) {
        return std::unexpected(std::move(launched.error().text));
    }
    child_output.reset();
    auto query = std::make_unique<WindowsQuery>(std::move(*launched), std::move(output));
    if (auto reader = query->start_reader(); !reader) {
        query->kill();
        query->wait();
        return failure_of(reader);
    }
    return std::unique_ptr<QueryProcess>(std::move(query));
}

}  // namespace

std::unique_ptr<RecoverySystem> make_windows_recovery_system() {
    return std::make_unique<WindowsRecoverySystem>();
}

}  // namespace vemla::tun_recovery
