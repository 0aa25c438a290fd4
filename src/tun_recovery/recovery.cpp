#include "tun_recovery/recovery.h"

#include <chrono>
#include <optional>

#include "json/result.h"
#include "tun_recovery/adapter_choice.h"

namespace vemla::tun_recovery {
namespace {

constexpr std::string_view kNoSystemRoot = "Не найден каталог Windows";
constexpr std::string_view kCannotStart = "Не удалось проверить адреса Windows";
constexpr std::string_view kPollFailed = "Ошибка проверки адресов Windows";
constexpr std::string_view kQueryRefused = "Windows не позволила проверить адреса адаптеров";
constexpr std::string_view kTimedOut =
    "Проверка адресов Windows не ответила вовремя. Повторите подключение.";
constexpr std::string_view kReadFailed = "Не удалось прочитать адреса Windows";

constexpr std::string_view kPowerShellPath = "System32/WindowsPowerShell/v1.0/powershell.exe";

// Prints one compact JSON object: the names of all adapters, hidden ones included, then every
// IPv4 interface address and every IPv4 route destination as "address/prefix". Any cmdlet
// failure ends PowerShell with a non-zero code instead of printing a partial list.
constexpr std::string_view kQueryScript =
    "$ErrorActionPreference='Stop';[Console]::OutputEncoding=[Text.UTF8Encoding]::new();"
    "$names=@(Get-NetAdapter -IncludeHidden -ErrorAction Stop|"
    "Select-Object -ExpandProperty Name);"
    "$networks=@(Get-NetIPAddress -AddressFamily IPv4 -ErrorAction Stop|"
    "ForEach-Object{$_.IPAddress+'/'+$_.PrefixLength})+"
    "@(Get-NetRoute -AddressFamily IPv4 -ErrorAction Stop|"
    "Select-Object -ExpandProperty DestinationPrefix);"
    "@{names=$names;networks=$networks}|ConvertTo-Json -Compress";

constexpr std::chrono::seconds kQueryTimeLimit{3};
constexpr std::chrono::milliseconds kPollInterval{20};

void end_process(QueryProcess& process) {
    process.kill();
    process.wait();
}

// Polls until the process exits or its time is up. The message the query must fail with, if
// any.
std::optional<std::string_view> await_query(QueryProcess& process, platform::Clock& clock) {
    const auto started = clock.now();
    for (;;) {
        const QueryPoll poll = process.poll();
        if (poll.state == QueryPoll::State::failed) {
            end_process(process);
            return kPollFailed;
        }
        if (poll.state == QueryPoll::State::exited) {
            return poll.exit_code == 0 ? std::nullopt : std::optional(kQueryRefused);
        }
        if (clock.now() - started >= kQueryTimeLimit) {
            end_process(process);
            return kTimedOut;
        }
        clock.pause(kPollInterval);
    }
}

std::unexpected<std::string> failure(std::string_view message) {
    return std::unexpected(std::string(message));
}

}  // namespace

std::expected<NetworkInventory, std::string> query_windows_networks(RecoverySystem& system,
                                                                    platform::Clock& clock) {
    // A relative root would make the service run whatever powershell.exe its working directory
    // holds, so it counts as no root at all.
    const std::optional<std::filesystem::path> root = system.system_root();
    if (!root || !root->is_absolute()) {
        return failure(kNoSystemRoot);
    }
    std::filesystem::path program = *root / kPowerShellPath;
    program.make_preferred();
    auto process = system.start_query(program, {"-NoLogo", "-NoProfile", "-NonInteractive",
                                                "-Command", std::string(kQueryScript)});
    if (!process) {
        return failure(kCannotStart);
    }
    const std::optional<std::string_view> remembered = await_query(**process, clock);
    // Joined before anything looks at the output; a read failure outranks what the poll found.
    const std::optional<std::string> output = (*process)->finish();
    if (!output) {
        return failure(kReadFailed);
    }
    if (remembered) {
        return failure(*remembered);
    }
    return parse_network_inventory(*output);
}

std::expected<Json, std::string> recover_tun_adapter(const Json& configuration,
                                                     RecoverySystem& system,
                                                     platform::Clock& clock) {
    const std::expected<NetworkInventory, std::string> inventory =
        query_windows_networks(system, clock);
    if (!inventory) {
        return failure_of(inventory);
    }
    const std::expected<std::uint32_t, std::string> start = system.random32();
    if (!start) {
        return failure_of(start);
    }
    return choose_tun_adapter(configuration, *inventory, *start);
}

}  // namespace vemla::tun_recovery
