#include "tun_recovery/recovery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tun_recovery/tests/powershell_arguments.h"

namespace vemla::tun_recovery {
namespace {

using namespace std::chrono_literals;
using State = QueryPoll::State;

constexpr const char* kAnswer =
    R"({"names":["Ethernet","VemlaVPN-0000002a"],"networks":["192.168.1.20/24"]})";

std::filesystem::path windows_directory() {
#ifdef _WIN32
    return "C:\\Windows";
#else
    return "/windows";
#endif
}

// Time that moves only when the code under test pauses.
class FakeClock final : public platform::Clock {
public:
    std::chrono::steady_clock::time_point now() override { return start_ + elapsed; }
    void pause(std::chrono::milliseconds duration) override {
        pauses.push_back(duration);
        elapsed += duration;
    }

    std::chrono::milliseconds elapsed{0};
    std::vector<std::chrono::milliseconds> pauses;

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// What the fake system does, and what the code under test did to it.
struct Script {
    std::optional<std::filesystem::path> root = windows_directory();
    bool start_fails = false;
    std::vector<QueryPoll> polls;  // one per poll; the last one repeats
    std::optional<std::string> output = kAnswer;
    std::uint32_t random = 0;
    std::optional<std::string> random_failure;  // the system's text when it gives no bits

    std::vector<std::string> events;  // start, kill, wait, finish, random
    int poll_count = 0;
    std::optional<std::chrono::milliseconds> killed_at;
    std::filesystem::path program;
    std::vector<std::string> arguments;
};

class FakeQuery final : public QueryProcess {
public:
    FakeQuery(Script& script, FakeClock& clock) : script_(script), clock_(clock) {}
    QueryPoll poll() override {
        const std::size_t index = static_cast<std::size_t>(script_.poll_count++);
        return script_.polls.at(std::min(index, script_.polls.size() - 1));
    }
    void kill() override {
        script_.events.push_back("kill");
        script_.killed_at = clock_.elapsed;
    }
    void wait() override { script_.events.push_back("wait"); }
    std::optional<std::string> finish() override {
        script_.events.push_back("finish");
        return script_.output;
    }

private:
    Script& script_;
    FakeClock& clock_;
};

class FakeSystem final : public RecoverySystem {
public:
    FakeSystem(Script& script, FakeClock& clock) : script_(script), clock_(clock) {}
    std::optional<std::filesystem::path> system_root() override { return script_.root; }
    std::expected<std::unique_ptr<QueryProcess>, std::string> start_query(
        const std::filesystem::path& program, const std::vector<std::string>& arguments) override {
        script_.events.push_back("start");
        script_.program = program;
        script_.arguments = arguments;
        if (script_.start_fails) {
            return std::unexpected("The system cannot find the file specified. (os error 2)");
        }
        return std::make_unique<FakeQuery>(script_, clock_);
    }
    std::expected<std::uint32_t, std::string> random32() override {
        script_.events.push_back("random");
        if (script_.random_failure) {
            return std::unexpected(*script_.random_failure);
        }
        return script_.random;
    }

private:
    Script& script_;
    FakeClock& clock_;
};

QueryPoll running() {
    return {State::running, 0};
}
QueryPoll exited(std::uint32_t code) {
    return {State::exited, code};
}
QueryPoll poll_failed() {
    return {State::failed, 0};
}

std::vector<QueryPoll> running_then(int running_polls, QueryPoll last) {
    std::vector<QueryPoll> polls(static_cast<std::size_t>(running_polls), running());
    polls.push_back(last);
    return polls;
}

TEST(QueryWindowsNetworks, RunsPowerShellFromTheSystemRootWithTheQueryScript) {
    Script script;
    script.polls = {exited(0)};
    FakeClock clock;
    FakeSystem system(script, clock);
    const auto inventory = query_windows_networks(system, clock);
    ASSERT_TRUE(inventory.has_value()) << inventory.error();
    EXPECT_EQ(inventory->names, (std::vector<std::string>{"Ethernet", "VemlaVPN-0000002a"}));
    EXPECT_EQ(script.program,
              windows_directory() / "System32" / "WindowsPowerShell" / "v1.0" / "powershell.exe");
    EXPECT_EQ(script.arguments, testing_support::expected_powershell_arguments());
    EXPECT_EQ(script.events, (std::vector<std::string>{"start", "finish"}));
}

TEST(QueryWindowsNetworks, PollsEvery20msForAtMost3Seconds) {
    const char* const timed_out =
        "Проверка адресов Windows не ответила вовремя. Повторите подключение.";
    struct Case {
        const char* label;
        std::vector<QueryPoll> polls;
        int poll_count;
        const char* message;  // nullptr: the inventory
        std::vector<std::string> events;
    };
    const Case cases[] = {
        {"exits_at_once", {exited(0)}, 1, nullptr, {"start", "finish"}},
        {"exits_after_a_while", running_then(5, exited(0)), 6, nullptr, {"start", "finish"}},
        // The poll at exactly 3 s sees the exit before the time is checked.
        {"exits_at_the_last_poll", running_then(150, exited(0)), 151, nullptr, {"start", "finish"}},
        {"never_exits", {running()}, 151, timed_out, {"start", "kill", "wait", "finish"}},
        {"non_zero_exit",
         running_then(3, exited(1)),
         4,
         "Windows не позволила проверить адреса адаптеров",
         {"start", "finish"}},
        {"exit_code_above_int_max",
         {exited(0xC0000005u)},
         1,
         "Windows не позволила проверить адреса адаптеров",
         {"start", "finish"}},
        {"poll_fails",
         running_then(2, poll_failed()),
         3,
         "Ошибка проверки адресов Windows",
         {"start", "kill", "wait", "finish"}},
    };
    for (const Case& c : cases) {
        Script script;
        script.polls = c.polls;
        FakeClock clock;
        FakeSystem system(script, clock);
        const auto inventory = query_windows_networks(system, clock);
        if (c.message == nullptr) {
            EXPECT_TRUE(inventory.has_value()) << c.label << ": " << inventory.error();
        } else {
            ASSERT_FALSE(inventory.has_value()) << c.label;
            EXPECT_EQ(inventory.error(), c.message) << c.label;
        }
        EXPECT_EQ(script.poll_count, c.poll_count) << c.label;
        EXPECT_EQ(script.events, c.events) << c.label;
        EXPECT_EQ(clock.pauses, std::vector<std::chrono::milliseconds>(
                                    static_cast<std::size_t>(c.poll_count - 1), 20ms))
            << c.label;
    }
}

TEST(QueryWindowsNetworks, KillsAtThreeSecondsFromTheFirstPoll) {
    Script script;
    script.polls = {running()};
    FakeClock clock;
    FakeSystem system(script, clock);
    ASSERT_FALSE(query_windows_networks(system, clock).has_value());
    ASSERT_TRUE(script.killed_at.has_value());
    EXPECT_EQ(*script.killed_at, 3000ms);
}

TEST(QueryWindowsNetworks, ReportsTheFirstFailingStep) {
    struct Case {
        const char* label;
        Script script;
        const char* message;
        std::vector<std::string> events;
    };
    Script no_root;
    no_root.root.reset();
    Script relative_root;
    relative_root.root = "Windows";
    Script start_fails;
    start_fails.start_fails = true;
    Script read_fails;
    read_fails.polls = {exited(0)};
    read_fails.output.reset();
    Script read_fails_after_time_out;
    read_fails_after_time_out.polls = {running()};
    read_fails_after_time_out.output.reset();
    Script refused_with_bad_output;
    refused_with_bad_output.polls = {exited(1)};
    refused_with_bad_output.output = std::string(600000, 'x');
    Script oversized;
    oversized.polls = {exited(0)};
    oversized.output = std::string(524289, ' ');
    Script not_json;
    not_json.polls = {exited(0)};
    not_json.output = "Get-NetAdapter : Access denied";

    const Case cases[] = {
        {"no_system_root", no_root, "Не найден каталог Windows", {}},
        {"relative_system_root", relative_root, "Не найден каталог Windows", {}},
        {"start_fails", start_fails, "Не удалось проверить адреса Windows", {"start"}},
        {"read_fails", read_fails, "Не удалось прочитать адреса Windows", {"start", "finish"}},
        {"read_failure_outranks_time_out",
         read_fails_after_time_out,
         "Не удалось прочитать адреса Windows",
         {"start", "kill", "wait", "finish"}},
        {"exit_code_outranks_output",
         refused_with_bad_output,
         "Windows не позволила проверить адреса адаптеров",
         {"start", "finish"}},
        {"output_too_large",
         oversized,
         "Список адресов Windows слишком большой",
         {"start", "finish"}},
        {"output_not_json",
         not_json,
         "Windows вернула неполный список адресов",
         {"start", "finish"}},
    };
    for (const Case& c : cases) {
        Script script = c.script;
        FakeClock clock;
        FakeSystem system(script, clock);
        const auto inventory = query_windows_networks(system, clock);
        ASSERT_FALSE(inventory.has_value()) << c.label;
        EXPECT_EQ(inventory.error(), c.message) << c.label;
        EXPECT_EQ(script.events, c.events) << c.label;
    }
}

constexpr const char* kConfiguration =
    R"({"inbounds":[{"type":"tun","tag":"tun-in","interface_name":"VemlaVPN",)"
    R"("address":["172.19.0.1/30"],"mtu":1500}],"outbounds":[]})";

TEST(RecoverTunAdapter, WalksFromARandomStartPastWhatWindowsReports) {
    Script script;
    script.polls = {exited(0)};
    script.random = 0x2a;  // "VemlaVPN-0000002a" is taken
    FakeClock clock;
    FakeSystem system(script, clock);
    const auto recovered = recover_tun_adapter(Json::parse(kConfiguration), system, clock);
    ASSERT_TRUE(recovered.has_value()) << recovered.error();
    EXPECT_EQ(*recovered, Json::parse(R"({"inbounds":[{"type":"tun","tag":"tun-in",)"
                                      R"("interface_name":"VemlaVPN-0000002b",)"
                                      R"("address":["172.19.43.1/30"],"mtu":1500}],)"
                                      R"("outbounds":[]})"));
    EXPECT_EQ(script.events, (std::vector<std::string>{"start", "finish", "random"}));
}

// Without the system's bits there is no start to walk from: the recovery fails with the
// system's text rather than walk from a guess, and before it looks at the configuration.
TEST(RecoverTunAdapter, FailsWithTheSystemsTextWhenNoRandomBitsCome) {
    const char* const no_bits = "Provider DLL failed to initialize correctly. (os error 1114)";
    struct Case {
        const char* label;
        Json configuration;
    };
    const Case cases[] = {
        {"recoverable_configuration", Json::parse(kConfiguration)},
        {"no_tun_inbound", Json::object()},
    };
    for (const Case& c : cases) {
        Script script;
        script.polls = {exited(0)};
        script.random_failure = no_bits;
        FakeClock clock;
        FakeSystem system(script, clock);
        const auto recovered = recover_tun_adapter(c.configuration, system, clock);
        ASSERT_FALSE(recovered.has_value()) << c.label;
        EXPECT_EQ(recovered.error(), no_bits) << c.label;
        EXPECT_EQ(script.events, (std::vector<std::string>{"start", "finish", "random"}))
            << c.label;
    }
}

TEST(RecoverTunAdapter, AsksWindowsBeforeItLooksAtTheConfiguration) {
    Script script;
    script.polls = {exited(1)};
    FakeClock clock;
    FakeSystem system(script, clock);
    const auto recovered = recover_tun_adapter(Json::object(), system, clock);
    ASSERT_FALSE(recovered.has_value());
    EXPECT_EQ(recovered.error(), "Windows не позволила проверить адреса адаптеров");
    EXPECT_EQ(script.events, (std::vector<std::string>{"start", "finish"}));

    script.polls = {exited(0)};
    script.events.clear();
    const auto refused = recover_tun_adapter(Json::object(), system, clock);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(refused.error(), "Нет конфигурации TUN");
}

}  // namespace
}  // namespace vemla::tun_recovery
